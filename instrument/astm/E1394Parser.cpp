#include "E1394Parser.h"

#include <QStringDecoder>
#include <optional>

namespace {
struct Delimiters {
    QChar field, repeat, component, escape;
};

QString unescaped(QStringView text, const Delimiters& d)
{
    if (!text.contains(d.escape))
        return text.toString();
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == d.escape && i + 2 < text.size() && text[i + 2] == d.escape) {
            const QChar code = text[i + 1];
            const QChar meant = code == u'F'   ? d.field
                                : code == u'S' ? d.component
                                : code == u'R' ? d.repeat
                                : code == u'E' ? d.escape
                                               : QChar();
            if (!meant.isNull()) {
                out += meant;
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// One record split into its fields, numbered as the record layouts number
// them: field 1 is the record type.
class Record {
public:
    Record(const QString& text, const Delimiters& d)
        : m_fields(text.split(d.field))
        , m_d(d)
    {
    }

    QString type() const { return m_fields.value(0); }
    // The whole field, unescaped.
    QString text(int n) const { return unescaped(m_fields.value(n - 1), m_d); }
    QStringList repeats(int n) const
    {
        QStringList out;
        for (const QString& r : m_fields.value(n - 1).split(m_d.repeat))
            out.append(unescaped(r, m_d));
        return out;
    }
    // The components of the field's first repeat.
    QStringList components(int n) const { return componentsOf(m_fields.value(n - 1).section(m_d.repeat, 0, 0)); }
    // The components of each repeat.
    QList<QStringList> repeatComponents(int n) const
    {
        QList<QStringList> out;
        for (const QString& r : m_fields.value(n - 1).split(m_d.repeat))
            out.append(componentsOf(r));
        return out;
    }

private:
    QStringList componentsOf(const QString& repeat) const
    {
        QStringList out;
        for (const QString& c : repeat.split(m_d.component))
            out.append(unescaped(c, m_d));
        return out;
    }

    QStringList m_fields;
    Delimiters m_d;
};

// Empty text gives an invalid date-time; text of no known form, nothing.
std::optional<QDateTime> dateTime(const QString& text)
{
    if (text.isEmpty())
        return QDateTime();
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    if (text.size() != 8 && text.size() != 12 && text.size() != 14)
        return std::nullopt;
    // Read digit by digit: a message carries a time per result.
    const auto number = [&](int at, int digits) {
        int n = 0;
        for (int i = at; i < at + digits; ++i)
            n = n * 10 + (text[i].unicode() - u'0');
        return n;
    };
    const QTime time(text.size() > 8 ? number(8, 2) : 0, text.size() > 8 ? number(10, 2) : 0,
                     text.size() > 12 ? number(12, 2) : 0);
    const QDate day(number(0, 4), number(4, 2), number(6, 2));
    if (!day.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(day, time);
}

QString patientName(const QStringList& parts)
{
    const QString last = parts.value(0).trimmed();
    QStringList given;
    for (const QString& p : {parts.value(1).trimmed(), parts.value(2).trimmed()}) {
        if (!p.isEmpty())
            given.append(p);
    }
    if (given.isEmpty())
        return last;
    return last.isEmpty() ? given.join(u' ') : last + QStringLiteral(", ") + given.join(u' ');
}

QString decoded(const QByteArray& text)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString out = utf8(text);
    if (utf8.hasError())
        out = QString::fromLatin1(text);
    return out;
}

QStringList recordsOf(const QString& text)
{
    QStringList out;
    const QChar* start = text.constData();
    const QChar* const end = start + text.size();
    for (const QChar* p = start;; ++p) {
        const bool last = p == end;
        if (last || *p == u'\r' || *p == u'\n') {
            if (p > start)
                out.append(QString(start, p - start));
            if (last)
                break;
            start = p + 1;
        }
    }
    return out;
}

bool usableDelimiters(const Delimiters& d)
{
    const QChar all[] = {d.field, d.repeat, d.component, d.escape};
    for (int i = 0; i < 4; ++i) {
        if (all[i].isLetterOrNumber() || all[i].isSpace() || all[i].unicode() < 0x20)
            return false;
        for (int j = i + 1; j < 4; ++j) {
            if (all[i] == all[j])
                return false;
        }
    }
    return true;
}

MessageError badDate(int at, const char* which)
{
    return {
        at,
        QStringLiteral("%1 is no date and time (YYYYMMDD[HHMM[SS]])").arg(QLatin1String(which))};
}
// The header's four delimiters, or why they cannot be used.
std::variant<Delimiters, MessageError> delimitersOf(const QString& header)
{
    if (!header.startsWith(u'H'))
        return MessageError{1,
                            QStringLiteral("the message does not start with a header (H) record")};
    if (header.size() < 5)
        return MessageError{1, QStringLiteral("the header record does not declare its delimiters")};
    const Delimiters d{header[1], header[2], header[3], header[4]};
    if (!usableDelimiters(d))
        return MessageError{1, QStringLiteral("the header record declares unusable delimiters "
                                              "(four different, no letters or digits)")};
    return d;
}

// An O record's specimen: the first component of O-3 that is not empty.
QString specimenOf(const Record& record)
{
    for (const QString& part : record.components(3))
        if (!part.isEmpty())
            return part;
    return {};
}

// An R record's result; nullopt when R-13 is no date and time.
std::optional<InstrumentResult> resultOf(const Record& record)
{
    InstrumentResult result;
    result.testId = record.components(3);
    result.value = record.text(4);
    result.units = record.text(5);
    result.referenceRange = record.text(6);
    QStringList flags = record.repeats(7);
    flags.removeAll(QString());
    result.flags = flags.join(u' ');
    result.status = record.text(9);
    const auto completed = dateTime(record.text(13));
    if (!completed)
        return std::nullopt;
    result.completed = *completed;
    return result;
}

// The specimens a Q record asks for: each repeat's second component (or
// its first that is not empty); ALL asks for none in particular.
QStringList queriedSpecimens(const Record& record)
{
    QStringList ids;
    for (const QStringList& parts : record.repeatComponents(3)) {
        QString id = parts.value(1).trimmed();
        for (qsizetype c = 0; c < parts.size() && id.isEmpty(); ++c)
            id = parts.at(c).trimmed();
        if (!id.isEmpty() && id.compare(u"ALL", Qt::CaseInsensitive) != 0)
            ids.append(id);
    }
    return ids;
}
// A C record's words on the record before it: a result or the sample.
void addComment(InstrumentSample& sample, const Record& record, bool onResult)
{
    QStringList words = record.components(4);
    words.removeAll(QString());
    const QString comment = words.join(u' ').trimmed();
    if (comment.isEmpty())
        return;
    QString& to =
        onResult && !sample.results.isEmpty() ? sample.results.last().comment : sample.remarks;
    to += (to.isEmpty() ? QString() : QStringLiteral("; ")) + comment;
}

// The records, header first, into the message.
std::optional<MessageError> readRecords(const QStringList& records, const Delimiters& d,
                                        InstrumentMessage& message)
{
    QString patient;
    bool inSample = false;
    bool commentOnResult = false; // a C record now follows an R, not an O
    bool ended = false;
    for (qsizetype i = 0; i < records.size(); ++i) {
        const int at = int(i + 1);
        if (ended)
            return MessageError{at, QStringLiteral("record after the terminator (L) record")};
        const Record record(records.at(i), d);
        const QString type = record.type();
        if (type != u"C")
            commentOnResult = type == u"R";
        if (type == u"H") {
            if (i > 0)
                return MessageError{at, QStringLiteral("a second header (H) record")};
            message.sender = record.components(5).value(0);
            const auto sent = dateTime(record.text(14));
            if (!sent)
                return badDate(at, "H-14");
            message.sent = *sent;
        } else if (type == u"P") {
            patient = patientName(record.components(6));
            inSample = false;
        } else if (type == u"O") {
            InstrumentSample sample;
            sample.specimenId = specimenOf(record);
            sample.patientName = patient;
            sample.control = record.text(12).trimmed().compare(u"Q", Qt::CaseInsensitive) == 0;
            message.samples.append(sample);
            inSample = true;
        } else if (type == u"R") {
            if (!inSample)
                return MessageError{at, QStringLiteral("result (R) record before any order (O) "
                                                       "record of its patient")};
            const std::optional<InstrumentResult> result = resultOf(record);
            if (!result)
                return badDate(at, "R-13");
            message.samples.last().results.append(*result);
        } else if (type == u"L") {
            ended = true;
        } else if (type == u"Q") {
            message.queries += queriedSpecimens(record);
        } else if (type == u"C") {
            // The patient's and the header's comments are not kept.
            if (inSample)
                addComment(message.samples.last(), record, commentOnResult);
        } else if (type != u"M" && type != u"S") { // manufacturer's and scientific: not read
            const bool shown = type.size() == 1 && type[0] > u' ' && type[0] < QChar(0x7f);
            return MessageError{at, shown ? QStringLiteral("unknown record type '%1'").arg(type)
                                          : QStringLiteral("a record of no known type")};
        }
    }
    if (!ended)
        return MessageError{0, QStringLiteral("the message has no terminator (L) record")};
    return std::nullopt;
}
} // namespace

std::variant<InstrumentMessage, MessageError> E1394Parser::parse(const QByteArray& text)
{
    const QStringList records = recordsOf(decoded(text));
    if (records.isEmpty())
        return MessageError{0, QStringLiteral("the message holds no records")};
    const auto delimiters = delimitersOf(records.first());
    if (const MessageError* e = std::get_if<MessageError>(&delimiters))
        return *e;
    const Delimiters d = std::get<Delimiters>(delimiters);

    InstrumentMessage message;
    message.protocol = InstrumentMessage::Protocol::Astm;
    message.raw = text;
    if (const std::optional<MessageError> e = readRecords(records, d, message))
        return *e;
    return message;
}
