#include "InstrumentCommands.h"
#include "Clock.h"
#include "DateText.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"
#include "LisError.h"
#include "Reception.h"
#include "SettingsStore.h"

#include <QCoreApplication>
#include <QFile>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kSettings = QStringLiteral("LIS Instruments");

[[noreturn]] void badUsage(const QString& why)
{
    throw LisError(5, QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

struct InstrumentSetup {
    Importer::Instrument instrument;
    quint16 port = 0;
    QString address;
    QString serial;
    qint32 baud = 9600;
};

QString setting(const QString& id, const char* key)
{
    return SettingsStore::get(kSettings, id, QLatin1String(key)).trimmed();
}

InstrumentSetup setupOf(const QString& id)
{
    InstrumentSetup s;
    s.instrument.id = id;
    bool ok = true;
    if (const QString c = setting(id, "ItemComponent"); !c.isEmpty()) {
        s.instrument.itemComponent = c.toInt(&ok);
        if (!ok || s.instrument.itemComponent < 1 || s.instrument.itemComponent > 20)
            badUsage(QStringLiteral("ItemComponent of [%1] in %2.ini is \"%3\"; it is a "
                                    "component number from 1 to 20")
                         .arg(id, kSettings, c));
    }
    if (const QString p = setting(id, "Port"); !p.isEmpty()) {
        const int port = p.toInt(&ok);
        if (!ok || port < 1 || port > 65535)
            badUsage(QStringLiteral("Port of [%1] in %2.ini is \"%3\"; a port is a number from "
                                    "1 to 65535")
                         .arg(id, kSettings, p));
        s.port = quint16(port);
    }
    s.address = setting(id, "Address");
    s.serial = setting(id, "Serial");
    if (const QString b = setting(id, "Baud"); !b.isEmpty()) {
        s.baud = b.toInt(&ok);
        if (!ok || s.baud <= 0)
            badUsage(QStringLiteral("Baud of [%1] in %2.ini is \"%3\"").arg(id, kSettings, b));
    }
    return s;
}

QStringList instrumentIds()
{
    QStringList ids;
    for (const SettingsStore::Entry& e : SettingsStore::all())
        if (e.application.compare(kSettings, Qt::CaseInsensitive) == 0 &&
            !ids.contains(e.section, Qt::CaseInsensitive))
            ids << e.section;
    return ids;
}

std::unique_ptr<LabStore> laboratory()
{
    return openLaboratory(
        ConnectionString::parse(ConnectionString::ofWorkstation(QStringLiteral("LABORATORY"))));
}

void say(QTextStream& out, const QString& line)
{
    out << DateText::storage(Clock::now()) << ' ' << line << '\n';
    out.flush();
}

// SIGTERM and SIGINT end the event loop between two messages: a message is
// stored and acknowledged whole before the program looks at the signal.
int g_signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &c, 1);
}

std::unique_ptr<QSocketNotifier> stopOnSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, g_signalPipe) != 0)
        throw LisError(5, QStringLiteral("The program cannot watch for its stop signal."));
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    auto notifier = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(notifier.get(), &QSocketNotifier::activated, [] {
        char c;
        [[maybe_unused]] const ssize_t n = ::read(g_signalPipe[0], &c, 1);
        QCoreApplication::quit();
    });
    return notifier;
}

// One reception on one device, its timer re-armed to the link's next due time.
class Line : public QObject {
public:
    Line(QIODevice* device, LabStore& store, const Importer::Instrument& instrument,
         QTextStream& out)
        : m_device(device)
        , m_reception(store, instrument)
    {
        m_timer.setSingleShot(true);
        connect(&m_reception, &Reception::send, device,
                [device](const QByteArray& b) { device->write(b); });
        connect(&m_reception, &Reception::logLine, this, [&out](const QString& l) { say(out, l); });
        connect(device, &QIODevice::readyRead, this, [this] {
            m_reception.feed(m_device->readAll());
            arm();
        });
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_reception.tick();
            arm();
        });
    }
    Reception& reception() { return m_reception; }

private:
    void arm()
    {
        const QDateTime due = m_reception.nextDue();
        if (!due.isValid()) {
            m_timer.stop();
            return;
        }
        m_timer.start(int(std::clamp<qint64>(Clock::now().msecsTo(due), 0, 3600000)));
    }

    QIODevice* m_device;
    Reception m_reception;
    QTimer m_timer;
};
} // namespace

void InstrumentCommands::usage(QTextStream& out)
{
    out << "Usage:\n"
           "  lis-instrument listen [INSTRUMENT...]   TCP, each instrument on its Port\n"
           "  lis-instrument serial INSTRUMENT        the instrument's Serial line at its Baud\n"
           "  lis-instrument import INSTRUMENT FILE   a captured session or message file\n"
           "  lis-instrument held [INSTRUMENT]        results whose codes are not mapped\n"
           "Instruments are sections of LIS Instruments.ini (Port, Address, Serial, Baud,\n"
           "ItemComponent); results go to the laboratory the workstation's settings name.\n";
}

int InstrumentCommands::listen(const QStringList& args, QTextStream& out)
{
    const QStringList ids = args.isEmpty() ? instrumentIds() : args;
    QList<InstrumentSetup> setups;
    for (const QString& id : ids) {
        InstrumentSetup s = setupOf(id);
        if (s.port == 0) {
            if (!args.isEmpty())
                badUsage(QStringLiteral("[%1] in %2.ini has no Port").arg(id, kSettings));
            continue;
        }
        setups << s;
    }
    if (setups.isEmpty())
        badUsage(QStringLiteral("no instrument in %1.ini has a Port to listen on").arg(kSettings));
    auto store = laboratory();
    const auto stopper = stopOnSignals();
    std::vector<std::unique_ptr<QTcpServer>> servers;
    for (const InstrumentSetup& s : setups) {
        auto server = std::make_unique<QTcpServer>();
        const QHostAddress address =
            s.address.isEmpty() ? QHostAddress(QHostAddress::Any) : QHostAddress(s.address);
        if (address.isNull())
            badUsage(QStringLiteral("Address of [%1] in %2.ini is \"%3\", not an address")
                         .arg(s.instrument.id, kSettings, s.address));
        if (!server->listen(address, s.port))
            throw LisError(5, QStringLiteral("%1 cannot listen on port %2: %3")
                                  .arg(s.instrument.id)
                                  .arg(s.port)
                                  .arg(server->errorString()));
        QTcpServer* raw = server.get();
        QObject::connect(raw, &QTcpServer::newConnection, raw, [raw, &store, s, &out] {
            while (QTcpSocket* socket = raw->nextPendingConnection()) {
                say(out, QStringLiteral("%1 connected from %2")
                             .arg(s.instrument.id, socket->peerAddress().toString()));
                auto* line = new Line(socket, *store, s.instrument, out);
                line->setParent(socket);
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, line, s, &out] {
                    line->reception().reset();
                    say(out, QStringLiteral("%1 disconnected").arg(s.instrument.id));
                    socket->deleteLater();
                });
            }
        });
        say(out, QStringLiteral("%1 listening on port %2").arg(s.instrument.id).arg(s.port));
        servers.push_back(std::move(server));
    }
    QCoreApplication::exec();
    servers.clear(); // and the connections with them; every stored message was answered
    say(out, QStringLiteral("stopped"));
    return 0;
}

int InstrumentCommands::serial(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        badUsage(QStringLiteral("serial takes one instrument"));
    const InstrumentSetup s = setupOf(args.first());
    if (s.serial.isEmpty())
        badUsage(QStringLiteral("[%1] in %2.ini has no Serial line").arg(s.instrument.id, kSettings));
    auto store = laboratory();
    const auto stopper = stopOnSignals();
    QSerialPort port(s.serial);
    port.setBaudRate(s.baud);
    if (!port.open(QIODevice::ReadWrite))
        throw LisError(5, QStringLiteral("%1 cannot open %2: %3")
                              .arg(s.instrument.id, s.serial, port.errorString()));
    Line line(&port, *store, s.instrument, out);
    say(out, QStringLiteral("%1 reading %2 at %3 baud").arg(s.instrument.id, s.serial).arg(s.baud));
    QCoreApplication::exec();
    say(out, QStringLiteral("stopped"));
    return 0;
}

int InstrumentCommands::importFile(const QStringList& args, QTextStream& out)
{
    if (args.size() != 2)
        badUsage(QStringLiteral("import takes an instrument and a file"));
    const InstrumentSetup s = setupOf(args.at(0));
    QFile f(args.at(1));
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(53, QStringLiteral("%1 cannot be read: %2").arg(args.at(1), f.errorString()));
    const QByteArray bytes = f.readAll();
    auto store = laboratory();
    Reception reception(*store, s.instrument);
    QObject::connect(&reception, &Reception::logLine, [&out](const QString& l) { say(out, l); });
    const QByteArray start = bytes.trimmed().left(4);
    if (start.startsWith("H") || start.startsWith("MSH")) {
        // Bare records or segments, as analysers' export files hold them: one
        // message from each H or MSH on, handed over as its framing would.
        const bool hl7 = start.startsWith("MSH");
        QByteArray text = bytes;
        text.replace("\r\n", "\r").replace('\n', '\r');
        const QByteArray head = hl7 ? QByteArray("MSH") : QByteArray("H");
        QList<QByteArray> messages;
        for (const QByteArray& record : text.split('\r')) {
            if (record.isEmpty())
                continue;
            if (record.startsWith(head) || messages.isEmpty())
                messages.append(QByteArray());
            messages.last() += record + '\r';
        }
        for (const QByteArray& m : messages)
            reception.take(m, hl7 ? InstrumentMessage::Protocol::Hl7
                                  : InstrumentMessage::Protocol::Astm);
    } else {
        reception.feed(bytes);
    }
    out << reception.stored() << (reception.stored() == 1 ? " message" : " messages")
        << " stored, " << reception.refused() << " refused\n";
    return reception.refused() ? 1 : 0;
}

int InstrumentCommands::held(const QStringList& args, QTextStream& out)
{
    if (args.size() > 1)
        badUsage(QStringLiteral("held takes at most one instrument"));
    auto store = laboratory();
    const auto rows = Importer::held(*store, args.value(0));
    for (const Importer::HeldResult& h : rows)
        out << h.instrument << '\t' << h.sample << '\t' << h.resultDate << '\t' << h.item << '\t'
            << h.value << '\n';
    out << "(" << rows.size() << (rows.size() == 1 ? " result held)\n" : " results held)\n");
    return 0;
}
