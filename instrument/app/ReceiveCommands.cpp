#include "instrument/Reception.h"
#include "instrument/app/InstrumentCommands.h"
#include "instrument/app/InstrumentSettings.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/LisError.h"

#include <QCoreApplication>
#include <QSerialPort>
#include <QSocketNotifier>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

// The sub-commands that receive from analysers: TCP ports and serial lines,
// each connection a Reception, until a stop signal.

using namespace InstrumentSettings;

namespace {
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
            say(m_out,
                QStringLiteral("%1 line %2 open again").arg(m_setup.instrument.id, m_setup.serial));
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
// An analyser's TCP connection, received until it closes or stays silent.
void take(QTcpSocket* socket, const InstrumentSetup& s, const MessageWriter::Opener& open,
          QTextStream& out)
{
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
}
} // namespace

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
            server.get(), [s, &out, open](QTcpSocket* socket) { take(socket, s, open, out); },
            [s, &out](const QString& line) {
                say(out, s.instrument.id + QLatin1Char(' ') + line);
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
        badUsage(
            QStringLiteral("[%1] in %2.ini has no Serial line").arg(s.instrument.id, kSettings));
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
