#include "MessageWriter.h"
#include "instrument/astm/E1394Parser.h"
#include "instrument/hl7/Hl7Parser.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/LisError.h"

#include <QThread>
#include <algorithm>
#include <variant>

namespace {
constexpr qint64 kFirstRetryMs = 1000;
constexpr qint64 kLastRetryMs = 60'000;

const QString kBusy = QStringLiteral("database busy, send again");
} // namespace

// The threaded writer's side: lives on its thread, owns the connection.
class MessageWriter::Worker : public QObject {
public:
    Worker(MessageWriter::Opener open, Importer::Instrument instrument, MessageWriter* writer)
        : m_open(std::move(open))
        , m_instrument(std::move(instrument))
        , m_writer(writer)
    {
    }

    void write(quint64 id, const QByteArray& text, InstrumentMessage::Protocol protocol)
    {
        Verdict verdict;
        verdict.answer = kBusy;
        const QDateTime received = Clock::now();
        if (LabStore* store = laboratory()) {
            verdict = MessageWriter::store(*store, m_instrument, text, protocol,
                                           [this](const QString& l) { log(l); });
            if (verdict.kind != Verdict::Kind::Busy)
                archiveWaiting(*store);
            else if (lost(*store))
                drop(QStringLiteral("the connection to the laboratory was lost"));
        } else {
            log(QStringLiteral("refused a message, it is not stored: no connection to the "
                               "laboratory"));
        }
        if (verdict.kind == Verdict::Kind::Busy)
            wait({protocol, text, received});
        QMetaObject::invokeMethod(
            m_writer, [w = m_writer, id, verdict] { emit w->done(id, verdict); },
            Qt::QueuedConnection);
    }

    // Closed on its own thread, where it was opened.
    void close() { m_store.reset(); }

private:
    LabStore* laboratory()
    {
        if (m_store)
            return m_store.get();
        if (m_retryAt.isValid() && Clock::now() < m_retryAt)
            return nullptr;
        try {
            m_store = m_open();
            if (m_retryAt.isValid())
                log(QStringLiteral("connected to the laboratory again"));
            m_retryAt = {};
            m_waitMs = kFirstRetryMs;
            return m_store.get();
        } catch (const LisError& e) {
            log(QStringLiteral("cannot reach the laboratory (%1); next try in %2 s at the earliest")
                    .arg(e.description().trimmed().isEmpty() ? QStringLiteral("no reason given")
                                                             : e.description().trimmed())
                    .arg(m_waitMs / 1000));
            backOff();
            return nullptr;
        }
    }

    // A store that answers no statement at all has lost its connection.
    static bool lost(LabStore& store)
    {
        try {
            store.query(QStringLiteral("SELECT 1"));
            return false;
        } catch (const LisError&) {
            return true;
        }
    }

    // A message refused because the laboratory could not take it is
    // archived with that verdict once the laboratory takes writes again
    // (the last kWaiting of them; the analyser sends each again anyway).
    struct Waiting {
        InstrumentMessage::Protocol protocol;
        QByteArray text;
        QDateTime received;
    };
    static constexpr qsizetype kWaiting = 100;
    void wait(Waiting w)
    {
        if (m_waiting.size() == kWaiting)
            m_waiting.removeFirst();
        m_waiting.append(std::move(w));
    }
    void archiveWaiting(LabStore& store)
    {
        while (!m_waiting.isEmpty() &&
               Importer::archiveRefused(
                   store, m_instrument.id, m_waiting.first().protocol, m_waiting.first().text, {},
                   QStringLiteral("refused: ") + kBusy, [this](const QString& l) { log(l); },
                   m_waiting.first().received))
            m_waiting.removeFirst();
    }

    void drop(const QString& why)
    {
        log(why + QStringLiteral(": connecting again with the next message"));
        m_store.reset();
        m_retryAt = Clock::now();
    }

    void backOff()
    {
        m_retryAt = Clock::now().addMSecs(m_waitMs);
        m_waitMs = std::min(m_waitMs * 2, kLastRetryMs);
    }

    void log(const QString& line)
    {
        QMetaObject::invokeMethod(
            m_writer, [w = m_writer, line] { emit w->logLine(line); }, Qt::QueuedConnection);
    }

    MessageWriter::Opener m_open;
    Importer::Instrument m_instrument;
    MessageWriter* m_writer;
    std::unique_ptr<LabStore> m_store;
    QList<Waiting> m_waiting;
    QDateTime m_retryAt; // invalid: never lost
    qint64 m_waitMs = kFirstRetryMs;
};

MessageWriter::MessageWriter(LabStore& store, Importer::Instrument instrument, QObject* parent)
    : QObject(parent)
    , m_store(&store)
    , m_instrument(std::move(instrument))
{
}

MessageWriter::MessageWriter(Opener open, Importer::Instrument instrument, QObject* parent)
    : QObject(parent)
    , m_instrument(instrument)
    , m_thread(new QThread)
    , m_worker(new Worker(std::move(open), std::move(instrument), this))
{
    m_worker->moveToThread(m_thread);
    m_thread->setObjectName(QStringLiteral("writer ") + m_instrument.id);
    m_thread->start();
}

MessageWriter::~MessageWriter()
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker] { w->close(); }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
    delete m_worker;
    delete m_thread;
}

void MessageWriter::write(quint64 id, const QByteArray& text, InstrumentMessage::Protocol protocol)
{
    if (m_worker) {
        QMetaObject::invokeMethod(
            m_worker, [w = m_worker, id, text, protocol] { w->write(id, text, protocol); },
            Qt::QueuedConnection);
        return;
    }
    emit done(id, store(*m_store, m_instrument, text, protocol,
                        [this](const QString& l) { emit logLine(l); }));
}

namespace {
using Log = std::function<void(const QString&)>;

// A message that does not read as its protocol: refused, and archived so.
Verdict refuseUnreadable(LabStore& store, const Importer::Instrument& instrument,
                         const QByteArray& text, InstrumentMessage::Protocol protocol,
                         const MessageError& error, const Log& log)
{
    const bool hl7 = protocol == InstrumentMessage::Protocol::Hl7;
    Verdict verdict;
    verdict.kind = error.unsupported ? Verdict::Kind::Rejected : Verdict::Kind::Invalid;
    verdict.answer = error.at > 0
                         ? QStringLiteral("%1 %2: %3")
                               .arg(hl7 ? QStringLiteral("segment") : QStringLiteral("record"))
                               .arg(error.at)
                               .arg(error.reason)
                         : error.reason;
    log(QStringLiteral("refused a message: ") + verdict.answer);
    Importer::archiveRefused(store, instrument.id, protocol, text, {},
                             QStringLiteral("refused: ") + verdict.answer, log);
    return verdict;
}

void logStored(const InstrumentMessage& message, const QStringList& samples,
               const Importer::Outcome& o, const Log& log)
{
    const QString id =
        message.controlId.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(message.controlId);
    if (o.resent)
        log(QStringLiteral("message%1 stored before: acknowledged again, nothing stored").arg(id));
    else if (message.samples.isEmpty() && !message.queries.isEmpty())
        log(QStringLiteral("stored a query for sample %1")
                .arg(message.queries.join(QStringLiteral(", "))));
    else
        log(QStringLiteral("stored a message%1: sample %2, %3 new results, %4 already stored, "
                           "%5 held for want of a mapping%6")
                .arg(id, samples.join(QStringLiteral(", ")))
                .arg(o.stored)
                .arg(o.duplicates)
                .arg(o.held)
                .arg(o.changed > 0 ? QStringLiteral(", %1 changed by status").arg(o.changed)
                                   : QString()));
}

// The orders each queried sample has, as replies; a query that cannot be
// answered is logged and the message stays stored.
void answerQueries(LabStore& store, const Importer::Instrument& instrument,
                   const QStringList& queries, Verdict& verdict, const Log& log)
{
    for (const QString& specimen : queries) {
        try {
            const QByteArrayList reply = Importer::answerRecords(store, instrument.id, specimen);
            const qsizetype orders = std::count_if(
                reply.begin(), reply.end(), [](const QByteArray& r) { return r.startsWith("O|"); });
            verdict.replies.append(reply);
            log(orders > 0 ? QStringLiteral("query for sample %1: %2 order(s) to send")
                                 .arg(specimen)
                                 .arg(orders)
                           : QStringLiteral("query for sample %1: no orders, answered "
                                            "\"no information\"")
                                 .arg(specimen));
        } catch (const LisError& e) {
            log(QStringLiteral("query for sample %1 not answered: %2")
                    .arg(specimen, e.description()));
        }
    }
}
} // namespace

Verdict MessageWriter::store(LabStore& store, const Importer::Instrument& instrument,
                             const QByteArray& text, InstrumentMessage::Protocol protocol,
                             const std::function<void(const QString&)>& log)
{
    const bool hl7 = protocol == InstrumentMessage::Protocol::Hl7;
    const auto parsed = hl7 ? Hl7Parser::parse(text) : E1394Parser::parse(text);
    if (const auto* error = std::get_if<MessageError>(&parsed))
        return refuseUnreadable(store, instrument, text, protocol, *error, log);
    Verdict verdict;
    const InstrumentMessage& message = std::get<InstrumentMessage>(parsed);
    QStringList samples;
    for (const InstrumentSample& s : message.samples)
        samples << s.specimenId;
    try {
        const Importer::Outcome o = Importer(store, instrument).import(message);
        verdict.kind = Verdict::Kind::Stored;
        logStored(message, samples, o, log);
        answerQueries(store, instrument, message.queries, verdict, log);
    } catch (const ImportRefusal& e) {
        verdict.kind = Verdict::Kind::Invalid;
        verdict.answer = e.answer();
        log(QStringLiteral("refused a message (sample %1), it is not stored: %2")
                .arg(samples.join(QStringLiteral(", ")), e.description()));
        Importer::archiveRefused(store, instrument.id, protocol, text, message.controlId,
                                 QStringLiteral("refused: ") + e.description(), log);
    } catch (const LisError& e) {
        // Whatever the reason (busy, a lost connection with no text at
        // all), nothing was committed: the analyser sends it again.
        verdict.kind = Verdict::Kind::Busy;
        verdict.answer = kBusy;
        log(QStringLiteral("refused a message (sample %1), it is not stored: %2")
                .arg(samples.join(QStringLiteral(", ")), e.description().trimmed().isEmpty()
                                                             ? QStringLiteral("the laboratory gave "
                                                                              "no reason")
                                                             : e.description()));
    }
    return verdict;
}
