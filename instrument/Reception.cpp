#include "Reception.h"
#include "instrument/astm/E1381Link.h"
#include "instrument/astm/E1394Parser.h"
#include "instrument/hl7/Hl7Parser.h"
#include "instrument/hl7/MllpLink.h"
#include "platform/Clock.h"
#include "platform/LisError.h"

#include <algorithm>
#include <variant>

namespace {
constexpr char kEnq = 0x05;
constexpr char kVt = 0x0b;

QString shown(const QByteArray& bytes)
{
    QString text;
    for (char c : bytes.left(16))
        text += c >= 0x20 && c < 0x7f
                    ? QString(QLatin1Char(c))
                    : QStringLiteral("<%1>").arg(uchar(c), 2, 16, QLatin1Char('0'));
    return text;
}
} // namespace

Reception::Reception(LabStore& store, Importer::Instrument instrument, QObject* parent)
    : QObject(parent)
    , m_instrument(instrument)
    , m_writer(std::make_unique<MessageWriter>(store, std::move(instrument)))
{
    connectWriter();
}

Reception::Reception(MessageWriter::Opener open, Importer::Instrument instrument, QObject* parent)
    : QObject(parent)
    , m_instrument(std::move(instrument))
    , m_open(std::move(open))
{
}

Reception::~Reception() = default;

void Reception::ensureWriter()
{
    if (m_writer)
        return;
    // Its thread and connection come with the first message: an idle
    // connection holds neither.
    m_writer = std::make_unique<MessageWriter>(m_open, m_instrument);
    connectWriter();
}

void Reception::connectWriter()
{
    connect(m_writer.get(), &MessageWriter::logLine, this, &Reception::log);
    connect(m_writer.get(), &MessageWriter::done, this, &Reception::written);
}

void Reception::log(const QString& what)
{
    emit logLine(m_instrument.id + QLatin1Char(' ') + what);
}

void Reception::linkEvent(const QString& what)
{
    const QDateTime now = Clock::now();
    if (!m_eventMinute.isValid() || m_eventMinute.msecsTo(now) >= 60'000) {
        if (m_eventsLeftOut > 0)
            log(QStringLiteral("%1 more line events in the minute before left out of the log")
                    .arg(m_eventsLeftOut));
        m_eventMinute = now;
        m_events = 0;
        m_eventsLeftOut = 0;
    }
    if (++m_events > kEventsPerMinute) {
        ++m_eventsLeftOut;
        return;
    }
    log(what);
}

void Reception::feed(const QByteArray& bytes)
{
    if (!m_link) {
        // Analysers idle with blanks, line ends or noise between sessions;
        // the session starts at its first ENQ or VT, even in the same read.
        const qsizetype enq = bytes.indexOf(kEnq);
        const qsizetype vt = bytes.indexOf(kVt);
        const qsizetype start = enq < 0 ? vt : vt < 0 ? enq : std::min(enq, vt);
        qsizetype noise = 0;
        while (noise < bytes.size() && (bytes[noise] == '\r' || bytes[noise] == '\n'))
            ++noise;
        if (start < 0) {
            if (noise == bytes.size())
                return;
            ++m_refused;
            log(QStringLiteral("refused bytes that start neither an ASTM session (ENQ) nor an "
                               "HL7 message (VT): %1")
                    .arg(shown(bytes.mid(noise))));
            return;
        }
        if (start > noise)
            log(QStringLiteral("bytes before the first ENQ or VT ignored: %1")
                    .arg(shown(bytes.mid(noise, start - noise))));
        if (bytes[start] == kEnq)
            m_link = std::make_unique<E1381Link>();
        else {
            m_link = std::make_unique<MllpLink>();
            m_hl7 = true;
        }
        connect(m_link.get(), &MessageLink::send, this, &Reception::send);
        connect(m_link.get(), &MessageLink::event, this, &Reception::linkEvent);
        connect(m_link.get(), &MessageLink::messageReceived, this, &Reception::received);
        log(m_hl7 ? QStringLiteral("speaks HL7 over MLLP") : QStringLiteral("speaks ASTM"));
        m_link->feed(bytes.mid(start));
        return;
    }
    m_link->feed(bytes);
}

void Reception::received(const QByteArray& text)
{
    ensureWriter();
    m_pending = ++m_lastId;
    m_answerDue = Clock::now().addMSecs(kAnswerWithinMs);
    m_writer->write(m_pending, text,
                    m_hl7 ? InstrumentMessage::Protocol::Hl7 : InstrumentMessage::Protocol::Astm);
}

void Reception::written(quint64 id, const Verdict& verdict)
{
    m_lastStored = verdict.stored();
    verdict.stored() ? ++m_stored : ++m_refused;
    if (id != m_pending) {
        if (verdict.stored())
            log(QStringLiteral("a message refused for want of time was stored after all: its "
                               "resend will be a duplicate"));
        return;
    }
    m_pending = 0;
    m_answerDue = {};
    if (!m_link)
        return;
    if (!verdict.stored()) {
        m_link->refuse(verdict.answer, verdict.kind != Verdict::Kind::Invalid);
        return;
    }
    m_link->accept();
    auto* astm = qobject_cast<E1381Link*>(m_link.get());
    for (const QByteArrayList& reply : verdict.replies)
        if (astm)
            astm->sendMessage(reply);
}

bool Reception::take(const QByteArray& text, InstrumentMessage::Protocol protocol)
{
    m_lastStored = false;
    ensureWriter();
    m_pending = ++m_lastId;
    m_writer->write(m_pending, text, protocol);
    return m_lastStored;
}

void Reception::tick()
{
    if (m_pending && Clock::now() >= m_answerDue) {
        log(QStringLiteral("refused a message: not stored within %1 s")
                .arg(kAnswerWithinMs / 1000));
        m_pending = 0;
        m_answerDue = {};
        if (m_link)
            m_link->refuse(QStringLiteral("database busy, send again"), true);
    }
    if (m_link)
        m_link->tick();
}

QDateTime Reception::nextDue() const
{
    const QDateTime link = m_link ? m_link->nextDue() : QDateTime();
    if (!link.isValid() || (m_answerDue.isValid() && m_answerDue < link))
        return m_answerDue;
    return link;
}

void Reception::reset()
{
    m_pending = 0;
    m_answerDue = {};
    if (m_link)
        m_link->reset();
}
