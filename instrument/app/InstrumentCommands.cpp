#include "InstrumentCommands.h"
#include "Clock.h"
#include "DateText.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"
#include "LisError.h"
#include "Reception.h"
#include "ScopedTransaction.h"
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
#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {
const QString kSettings = QStringLiteral("LIS Instruments");

[[noreturn]] void badUsage(const QString& why)
{
    throw LisError(ErrNo::InvalidArgument,
                   QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

struct InstrumentSetup {
    Importer::Instrument instrument;
    quint16 port = 0;
    QString address;
    QString serial;
    qint32 baud = 9600;
    int idleSeconds = 300; // a TCP connection this long silent is closed; 0: never
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
    if (const QString t = setting(id, "IdleTimeout"); !t.isEmpty()) {
        s.idleSeconds = t.toInt(&ok);
        if (!ok || s.idleSeconds < 0)
            badUsage(QStringLiteral("IdleTimeout of [%1] in %2.ini is \"%3\"; it is a number of "
                                    "seconds, 0 for none")
                         .arg(id, kSettings, t));
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

ConnectionString laboratoryAddress()
{
    return ConnectionString::parse(ConnectionString::ofWorkstation(QStringLiteral("LABORATORY")));
}

std::unique_ptr<LabStore> laboratory()
{
    return openLaboratory(laboratoryAddress());
}

// Opens the laboratory on a writer's own thread, as often as it is lost.
MessageWriter::Opener opener()
{
    return [address = laboratoryAddress()] { return openLaboratory(address); };
}

// Waits that double from 1 s up to 30 s, for a line or port to come back.
class Backoff {
public:
    int next()
    {
        const int ms = m_ms;
        m_ms = std::min(m_ms * 2, 30'000);
        return ms;
    }
    void reset() { m_ms = 1000; }

private:
    int m_ms = 1000;
};

// Takes the connections of a listening server itself: Qt's own loop, once
// an accept has failed for want of descriptors after any other failure, no
// longer reports it and spins. A failure is logged and accepting waits.
class Acceptor : public QObject {
public:
    Acceptor(QTcpServer* server, std::function<void(QTcpSocket*)> take,
             std::function<void(const QString&)> log)
        : QObject(server)
        , m_server(server)
        , m_fd(int(server->socketDescriptor()))
        , m_notifier(m_fd, QSocketNotifier::Read)
        , m_take(std::move(take))
        , m_log(std::move(log))
    {
        server->pauseAccepting();
        connect(&m_notifier, &QSocketNotifier::activated, this, &Acceptor::acceptAll);
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, [this] {
            m_notifier.setEnabled(true);
            acceptAll();
        });
    }

private:
    void acceptAll()
    {
        for (;;) {
            const int fd = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return;
                const QString why = QString::fromLocal8Bit(std::strerror(errno));
                m_notifier.setEnabled(false);
                const int wait = m_backoff.next();
                m_log(QStringLiteral("cannot accept a connection (%1): trying again in %2 s")
                          .arg(why)
                          .arg(wait / 1000));
                m_retry.start(wait);
                return;
            }
            m_backoff.reset();
            auto* socket = new QTcpSocket(m_server);
            if (!socket->setSocketDescriptor(fd)) {
                ::close(fd);
                delete socket;
                continue;
            }
            m_take(socket);
        }
    }

    QTcpServer* m_server;
    int m_fd;
    QSocketNotifier m_notifier;
    std::function<void(QTcpSocket*)> m_take;
    std::function<void(const QString&)> m_log;
    QTimer m_retry;
    Backoff m_backoff;
};

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
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("The program cannot watch for its stop signal."));
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
    Line(QIODevice* device, const MessageWriter::Opener& open,
         const Importer::Instrument& instrument, QTextStream& out)
        : m_device(device)
        , m_reception(open, instrument)
    {
        m_timer.setSingleShot(true);
        connect(&m_reception, &Reception::send, device, [this](const QByteArray& b) {
            m_device->write(b);
            arm(); // an answer written late (the laboratory's) starts the link's timers
        });
        connect(&m_reception, &Reception::logLine, this, [&out](const QString& l) { say(out, l); });
        connect(device, &QIODevice::readyRead, this, [this] {
            const QByteArray bytes = m_device->readAll();
            if (bytes.isEmpty())
                return;
            if (m_idle.interval() > 0)
                m_idle.start();
            m_reception.feed(bytes);
            arm();
        });
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_reception.tick();
            arm();
        });
        m_idle.setSingleShot(true);
    }
    Reception& reception() { return m_reception; }
    // Calls `close` after this many seconds without a byte from the analyser.
    void closeWhenIdle(int seconds, std::function<void()> close)
    {
        if (seconds <= 0)
            return;
        m_idle.setInterval(seconds * 1000);
        connect(&m_idle, &QTimer::timeout, this, std::move(close));
        m_idle.start();
    }

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
    QTimer m_idle;
};

// A serial line that may go away (the adaptor pulled, the far end closed):
// closed at its first error and opened again with backoff, each loss and
// recovery logged; the reception forgets the half message it had.
class SerialLine : public QObject {
public:
    SerialLine(const InstrumentSetup& s, QTextStream& out)
        : m_setup(s)
        , m_out(out)
        , m_line(&m_port, opener(), s.instrument, out)
    {
        m_port.setPortName(s.serial);
        m_retry.setSingleShot(true);
        connect(&m_retry, &QTimer::timeout, this, &SerialLine::open);
        connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            if (e != QSerialPort::NoError && e != QSerialPort::TimeoutError && m_port.isOpen())
                lose(m_port.errorString());
        });
    }
    // False when the first opening fails: the program's settings are wrong.
    bool start(QString* why)
    {
        if (tryOpen())
            return true;
        *why = m_port.errorString();
        return false;
    }

private:
    bool tryOpen()
    {
        if (!m_port.open(QIODevice::ReadWrite))
            return false;
        m_port.setBaudRate(m_setup.baud);
        m_port.clearError();
        m_backoff.reset();
        return true;
    }
    void open()
    {
        if (tryOpen()) {
            say(m_out, QStringLiteral("%1 line %2 open again").arg(m_setup.instrument.id,
                                                                   m_setup.serial));
            return;
        }
        const int wait = m_backoff.next();
        say(m_out, QStringLiteral("%1 cannot open %2 (%3): next try in %4 s")
                       .arg(m_setup.instrument.id, m_setup.serial, m_port.errorString())
                       .arg(wait / 1000));
        m_retry.start(wait);
    }
    void lose(const QString& why)
    {
        m_port.close();
        m_line.reception().reset();
        const int wait = m_backoff.next();
        say(m_out, QStringLiteral("%1 line %2 lost (%3): reopening in %4 s")
                       .arg(m_setup.instrument.id, m_setup.serial, why)
                       .arg(wait / 1000));
        m_retry.start(wait);
    }

    InstrumentSetup m_setup;
    QTextStream& m_out;
    QSerialPort m_port;
    Line m_line;
    QTimer m_retry;
    Backoff m_backoff;
};
} // namespace

void InstrumentCommands::usage(QTextStream& out)
{
    out << "Usage:\n"
           "  lis-instrument listen [INSTRUMENT...]   TCP, each instrument on its Port\n"
           "  lis-instrument serial INSTRUMENT        the instrument's Serial line at its Baud\n"
           "  lis-instrument import INSTRUMENT FILE   a captured session or message file\n"
           "  lis-instrument serve INSTRUMENT         its Serial line if it has one, else its Port\n"
           "  lis-instrument held [INSTRUMENT]        results held: codes not mapped, corrections\n"
           "  lis-instrument map INSTRUMENT CODE ITEM the instrument's code is the laboratory item\n"
           "  lis-instrument replay MESSAGE-ID        an archived message stored again (as a resend)\n"
           "  lis-instrument status [INSTRUMENT...]   each instrument's line, last message, the day\n"
           "Instruments are sections of LIS Instruments.ini (Port, Address, Serial, Baud,\n"
           "ItemComponent, IdleTimeout); results go to the laboratory the workstation's\n"
           "settings name.\n";
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
    laboratory(); // a laboratory that cannot be opened at all is a setup error
    // Read once: with its descriptors used up the program could not read
    // its settings for each connection.
    const MessageWriter::Opener open = opener();
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
            throw LisError(ErrNo::InvalidArgument, QStringLiteral("%1 cannot listen on port %2: %3")
                                                       .arg(s.instrument.id)
                                                       .arg(s.port)
                                                       .arg(server->errorString()));
        new Acceptor(
            server.get(),
            [s, &out, open](QTcpSocket* socket) {
                say(out, QStringLiteral("%1 connected from %2")
                             .arg(s.instrument.id, socket->peerAddress().toString()));
                auto* line = new Line(socket, open, s.instrument, out);
                line->setParent(socket);
                line->closeWhenIdle(s.idleSeconds, [socket, s, &out] {
                    say(out, QStringLiteral("%1 connection idle for %2 s: closed")
                                 .arg(s.instrument.id)
                                 .arg(s.idleSeconds));
                    socket->abort();
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, [socket, line, s, &out] {
                    line->reception().reset();
                    say(out, QStringLiteral("%1 disconnected").arg(s.instrument.id));
                    socket->deleteLater();
                });
            },
            [s, &out](const QString& line) { say(out, s.instrument.id + QLatin1Char(' ') + line); });
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
    laboratory();
    const auto stopper = stopOnSignals();
    SerialLine line(s, out);
    QString why;
    if (!line.start(&why))
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("%1 cannot open %2: %3").arg(s.instrument.id, s.serial, why));
    say(out, QStringLiteral("%1 reading %2 at %3 baud").arg(s.instrument.id, s.serial).arg(s.baud));
    QCoreApplication::exec();
    say(out, QStringLiteral("stopped"));
    return 0;
}

int InstrumentCommands::serve(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        badUsage(QStringLiteral("serve takes one instrument"));
    return setupOf(args.first()).serial.isEmpty() ? listen(args, out) : serial(args, out);
}

int InstrumentCommands::importFile(const QStringList& args, QTextStream& out)
{
    if (args.size() != 2)
        badUsage(QStringLiteral("import takes an instrument and a file"));
    const InstrumentSetup s = setupOf(args.at(0));
    QFile f(args.at(1));
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(ErrNo::FileNotFound,
                       QStringLiteral("%1 cannot be read: %2").arg(args.at(1), f.errorString()));
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
            << h.value << '\t' << h.why << '\n';
    out << "(" << rows.size() << (rows.size() == 1 ? " result held)\n" : " results held)\n");
    return 0;
}

int InstrumentCommands::map(const QStringList& args, QTextStream& out)
{
    if (args.size() != 3)
        badUsage(QStringLiteral("map takes an instrument, its code and a laboratory item"));
    const QString instrument = args.at(0).trimmed(), code = args.at(1).trimmed(),
                  item = args.at(2).trimmed();
    auto store = laboratory();
    int released = 0;
    {
        ScopedTransaction transaction(*store);
        if (store->query(QStringLiteral("SELECT 1 FROM tbLabInstrument WHERE InstrumentID = ?"),
                         {instrument})
                .rows.isEmpty())
            badUsage(QStringLiteral("%1 is not one of the laboratory's instruments").arg(instrument));
        if (store->query(QStringLiteral("SELECT 1 FROM tbLabExamItem WHERE ItemID = ?"), {item})
                .rows.isEmpty())
            badUsage(QStringLiteral("%1 is not one of the laboratory's exam items").arg(item));
        const bool known = !store
                                ->query(QStringLiteral("SELECT 1 FROM tbLabInstrumentExams WHERE "
                                                       "InstrumentID = ? AND InstrumentItem = ?"),
                                        {instrument, code})
                                .rows.isEmpty();
        if (known) {
            store->exec(QStringLiteral("UPDATE tbLabInstrumentExams SET ItemID = ? "
                                       "WHERE InstrumentID = ? AND InstrumentItem = ?"),
                        {item, instrument, code});
        } else {
            released = store
                           ->query(QStringLiteral("SELECT count(*) FROM tbLabInstrumentDLHemaResult "
                                                  "WHERE InstrumentID = ? AND InstrumentItem = ? "
                                                  "AND Posted = 'N' AND Corrects IS NULL"),
                                   {instrument, code})
                           .rows.value(0)
                           .value(0)
                           .toInt();
            store->exec(QStringLiteral("INSERT INTO tbLabInstrumentExams (InstrumentID, "
                                       "InstrumentItem, ItemID) VALUES (?, ?, ?)"),
                        {instrument, code, item});
        }
        transaction.commit();
        out << instrument << ' ' << code << " is " << item
            << (known ? " now (the mapping changed)" : "") << "; " << released
            << (released == 1 ? " held result released\n" : " held results released\n");
    }
    return 0;
}

int InstrumentCommands::replay(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        badUsage(QStringLiteral("replay takes the number of an archived message"));
    auto store = laboratory();
    const ResultSet rs = store->query(QStringLiteral("SELECT InstrumentID, Protocol, Message FROM "
                                                     "tbLabInstrumentMessage WHERE MessageID = ?"),
                                      {args.first().trimmed().toLongLong()});
    if (rs.rows.isEmpty())
        badUsage(QStringLiteral("no archived message has the number %1").arg(args.first()));
    const QVariantList& m = rs.rows.first();
    const InstrumentSetup s = setupOf(m[0].toString());
    Reception reception(*store, s.instrument);
    QObject::connect(&reception, &Reception::logLine, [&out](const QString& l) { say(out, l); });
    // Taken as a resend: what is already stored is stored once.
    const bool stored = reception.take(
        m[2].toString().toUtf8(), m[1].toString() == QLatin1String("HL7")
                                      ? InstrumentMessage::Protocol::Hl7
                                      : InstrumentMessage::Protocol::Astm);
    out << (stored ? "message stored\n" : "message refused\n");
    return stored ? 0 : 1;
}

int InstrumentCommands::status(const QStringList& args, QTextStream& out)
{
    const QStringList ids = args.isEmpty() ? instrumentIds() : args;
    auto store = laboratory();
    const QString today = DateText::storage(QDateTime(Clock::now().date(), QTime(0, 0)));
    for (const QString& id : ids) {
        const InstrumentSetup s = setupOf(id);
        const QString line = s.port ? QStringLiteral("port %1").arg(s.port)
                             : !s.serial.isEmpty() ? QStringLiteral("serial %1").arg(s.serial)
                                                   : QStringLiteral("no line");
        const QVariantList last =
            store
                ->query(QStringLiteral("SELECT max(ReceivedAt) FROM tbLabInstrumentMessage "
                                       "WHERE InstrumentID = ?"),
                        {id}, {QStringLiteral("max")})
                .rows.value(0);
        const QVariantList day =
            store
                ->query(QStringLiteral("SELECT count(*), coalesce(sum(CASE WHEN Verdict LIKE "
                                       "'refused%' THEN 1 ELSE 0 END), 0), coalesce(sum(Results), "
                                       "0), coalesce(sum(Duplicates), 0), coalesce(sum(Held), 0) "
                                       "FROM tbLabInstrumentMessage WHERE InstrumentID = ? AND "
                                       "ReceivedAt >= ?"),
                        {id, today})
                .rows.value(0);
        out << id << '\t' << line << "\tlast message "
            << (last.value(0).isNull() ? QStringLiteral("never") : last.value(0).toString())
            << "\ttoday " << day.value(0).toInt() << " messages, " << day.value(1).toInt()
            << " refused, " << day.value(2).toInt() << " results, " << day.value(3).toInt()
            << " duplicates, " << day.value(4).toInt() << " held\n";
    }
    return 0;
}
