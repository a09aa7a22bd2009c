#include "Reception.h"
#include "E1381Link.h"
#include "E1394Parser.h"
#include "Hl7Parser.h"
#include "LisError.h"
#include "MllpLink.h"

#include <algorithm>
#include <variant>

namespace {
constexpr char kEnq = 0x05;
constexpr char kVt = 0x0b;

QString shown(const QByteArray& bytes)
{
    QString text;
    for (char c : bytes.left(16))
        text += c >= 0x20 && c < 0x7f ? QString(QLatin1Char(c))
                                      : QStringLiteral("<%1>").arg(uchar(c), 2, 16, QLatin1Char('0'));
    return text;
}
} // namespace

Reception::Reception(LabStore& store, Importer::Instrument instrument, QObject* parent)
    : QObject(parent)
    , m_store(store)
    , m_instrument(std::move(instrument))
{
}

Reception::~Reception() = default;

void Reception::log(const QString& what)
{
    emit logLine(m_instrument.id + QLatin1Char(' ') + what);
}

void Reception::feed(const QByteArray& bytes)
{
    if (!m_link) {
        // Analysers idle with blanks or line ends between sessions.
        qsizetype start = 0;
        while (start < bytes.size() && (bytes[start] == '\r' || bytes[start] == '\n'))
            ++start;
        if (start == bytes.size())
            return;
        const char first = bytes[start];
        if (first == kEnq)
            m_link = std::make_unique<E1381Link>();
        else if (first == kVt) {
            m_link = std::make_unique<MllpLink>();
            m_hl7 = true;
        } else {
            ++m_refused;
            log(QStringLiteral("refused bytes that start neither an ASTM session (ENQ) nor an "
                               "HL7 message (VT): %1")
                    .arg(shown(bytes.mid(start))));
            return;
        }
        connect(m_link.get(), &MessageLink::send, this, &Reception::send);
        connect(m_link.get(), &MessageLink::event, this, &Reception::log);
        connect(m_link.get(), &MessageLink::messageReceived, this, &Reception::received);
        log(m_hl7 ? QStringLiteral("speaks HL7 over MLLP") : QStringLiteral("speaks ASTM"));
        m_link->feed(bytes.mid(start));
        return;
    }
    m_link->feed(bytes);
}

void Reception::received(const QByteArray& text)
{
    QStringList queries;
    const QString refusal = store(
        text, m_hl7 ? InstrumentMessage::Protocol::Hl7 : InstrumentMessage::Protocol::Astm,
        &queries);
    if (!refusal.isEmpty()) {
        m_link->refuse(refusal);
        return;
    }
    m_link->accept();
    answer(queries);
}

void Reception::answer(const QStringList& queries)
{
    auto* astm = qobject_cast<E1381Link*>(m_link.get());
    if (!astm)
        return;
    for (const QString& specimen : queries) {
        try {
            const QByteArrayList reply = Importer::answerRecords(m_store, m_instrument.id, specimen);
            const qsizetype orders = std::count_if(reply.begin(), reply.end(), [](const QByteArray& r) { return r.startsWith("O|"); });
            astm->sendMessage(reply);
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

bool Reception::take(const QByteArray& text, InstrumentMessage::Protocol protocol)
{
    return store(text, protocol).isEmpty();
}

QString Reception::store(const QByteArray& text, InstrumentMessage::Protocol protocol,
                         QStringList* queries)
{
    const bool hl7 = protocol == InstrumentMessage::Protocol::Hl7;
    const auto parsed = hl7 ? Hl7Parser::parse(text) : E1394Parser::parse(text);
    if (const auto* error = std::get_if<MessageError>(&parsed)) {
        ++m_refused;
        const QString why = error->at > 0 ? QStringLiteral("%1 %2: %3")
                                                 .arg(hl7 ? QStringLiteral("segment")
                                                          : QStringLiteral("record"))
                                                 .arg(error->at)
                                                 .arg(error->reason)
                                           : error->reason;
        log(QStringLiteral("refused a message: ") + why);
        return why;
    }
    const InstrumentMessage& message = std::get<InstrumentMessage>(parsed);
    QStringList samples;
    for (const InstrumentSample& s : message.samples)
        samples << s.specimenId;
    try {
        const Importer::Outcome o = Importer(m_store, m_instrument).import(message);
        ++m_stored;
        if (queries)
            *queries += message.queries;
        if (message.samples.isEmpty() && !message.queries.isEmpty())
            log(QStringLiteral("stored a query for sample %1")
                    .arg(message.queries.join(QStringLiteral(", "))));
        else
            log(QStringLiteral("stored a message%1: sample %2, %3 new results, %4 already stored, "
                           "%5 held for want of a mapping")
                .arg(message.controlId.isEmpty() ? QString()
                                                 : QStringLiteral(" (%1)").arg(message.controlId),
                     samples.join(QStringLiteral(", ")))
                .arg(o.stored)
                .arg(o.duplicates)
                .arg(o.held));
        return {};
    } catch (const LisError& e) {
        ++m_refused;
        log(QStringLiteral("refused a message (sample %1), it is not stored: %2")
                .arg(samples.join(QStringLiteral(", ")), e.description()));
        return e.description();
    }
}

void Reception::tick()
{
    if (m_link)
        m_link->tick();
}

QDateTime Reception::nextDue() const
{
    return m_link ? m_link->nextDue() : QDateTime();
}

void Reception::reset()
{
    if (m_link)
        m_link->reset();
}
