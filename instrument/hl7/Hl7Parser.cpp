#include "Hl7Parser.h"

#include "instrument/hl7/Hl7Segments.h"
#include "platform/Clock.h"

#include <QStringDecoder>
#include <algorithm>
#include <cctype>
#include <optional>

using namespace Qt::StringLiterals;

using namespace Hl7;

namespace {

std::optional<QByteArray> fromHex(Bytes digits)
{
    if (digits.isEmpty() || digits.size() % 2)
        return std::nullopt;
    for (const char c : digits) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return std::nullopt;
    }
    return QByteArray::fromHex(digits.toByteArray());
}

// The message's texts: unescaped, then decoded.
struct Reader {
    Delimiters d;
    bool latin1 = false;

    QString text(Bytes raw) const
    {
        if (d.escape != kUnused && raw.contains(char(d.escape)))
            return decode(unescape(raw));
        return decode(raw);
    }

    QString decode(Bytes bytes) const
    {
        const bool ascii = std::all_of(bytes.begin(), bytes.end(),
                                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
        if (!ascii && !latin1) {
            QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
            QString s = utf8.decode(bytes);
            if (!utf8.hasError())
                return s;
        }
        return QString::fromLatin1(bytes);
    }

    QByteArray unescape(Bytes raw) const
    {
        const char e = char(d.escape);
        QByteArray out;
        out.reserve(raw.size());
        qsizetype i = 0;
        while (i < raw.size()) {
            const qsizetype open = raw.indexOf(e, i);
            const qsizetype close = open < 0 ? -1 : raw.indexOf(e, open + 1);
            if (close < 0) {
                out += raw.sliced(i);
                break;
            }
            out += raw.sliced(i, open - i);
            if (const std::optional<QByteArray> r =
                    replacement(raw.sliced(open + 1, close - open - 1)))
                out += *r;
            else
                out += raw.sliced(open, close - open + 1); // kept as sent
            i = close + 1;
        }
        return out;
    }

    std::optional<QByteArray> replacement(Bytes code) const
    {
        if (code.startsWith('X'))
            return fromHex(code.sliced(1));
        if (code.size() != 1)
            return std::nullopt;
        const int c = code[0] == 'F'   ? d.field
                      : code[0] == 'S' ? d.component
                      : code[0] == 'T' ? d.subcomponent
                      : code[0] == 'R' ? d.repeat
                      : code[0] == 'E' ? d.escape
                                       : kUnused;
        return c == kUnused ? std::nullopt : std::optional(QByteArray(1, char(c)));
    }
};

// One segment's fields, field n at index n (the name at 0).
struct Segment {
    const Reader* r;
    Pieces fields;

    Pieces repeats(int n) const { return split(fields.value(n), r->d.repeat); }
    Bytes firstRepeat(int n) const { return piece(fields.value(n), r->d.repeat); }
    Pieces components(int n) const { return split(firstRepeat(n), r->d.component); }
    QString component(Bytes raw) const { return r->text(piece(raw, r->d.subcomponent)); }
    // The first subcomponent of component c of the first repeat, as text.
    QString value(int n, int c = 0) const
    {
        return component(piece(firstRepeat(n), r->d.component, c));
    }
};

bool allDigits(QStringView s)
{
    return std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

// YYYY[MM[DD[HH[MM[SS[.S[S[S[S]]]]]]]]][+/-ZZZZ]; the offset is dropped.
// Empty (or the null value "") is an invalid date-time; nullopt is no date.
std::optional<QDateTime> dateTime(const QString& sent)
{
    const QString text = sent.trimmed();
    if (text.isEmpty() || text == u"\"\"")
        return QDateTime();
    QStringView body = text;
    const qsizetype sign = std::max(body.indexOf(u'+'), body.indexOf(u'-'));
    if (sign >= 0) {
        const QStringView zone = body.mid(sign + 1);
        if (zone.size() != 4 || !allDigits(zone) || zone.mid(2).toInt() > 59)
            return std::nullopt;
        body = body.left(sign);
    }
    int ms = 0;
    if (const qsizetype dot = body.indexOf(u'.'); dot >= 0) {
        const QStringView fraction = body.mid(dot + 1);
        if (dot != 14 || fraction.isEmpty() || fraction.size() > 4 || !allDigits(fraction))
            return std::nullopt;
        ms = (fraction.toString() + u"00"_s).left(3).toInt();
        body = body.left(dot);
    }
    if (body.size() < 4 || body.size() > 14 || body.size() % 2 || !allDigits(body))
        return std::nullopt;
    const auto part = [&](int at, int fallback) {
        return body.size() > at ? body.mid(at, at ? 2 : 4).toInt() : fallback;
    };
    const QDate date(part(0, 0), part(4, 1), part(6, 1));
    const QTime time(part(8, 0), part(10, 0), part(12, 0), ms);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    // A clock time skipped when summer time starts (an analyser not yet
    // moved on) has no local date-time of its own: it is read as the same
    // span after midnight, an hour later on the clock, rather than as none.
    const QDateTime moment(date, time);
    return moment.isValid() ? moment
                            : QDateTime(date, QTime(0, 0)).addMSecs(time.msecsSinceStartOfDay());
}

// "FAMILY, GIVEN MIDDLE" from family^given^middle (family's first subcomponent).
QString personName(const Segment& pid)
{
    const Pieces name = pid.components(5);
    QStringList rest;
    for (int c : {1, 2}) {
        if (const QString part = pid.component(name.value(c)).trimmed(); !part.isEmpty())
            rest.append(part);
    }
    const QString family = pid.component(name.value(0)).trimmed();
    if (family.isEmpty() || rest.isEmpty())
        return family + rest.join(u' ');
    return family + u", "_s + rest.join(u' ');
}

// OBX-5 as sent, one text per repeat: structured numbers joined ("<^10"
// reads "<10", "^1^:^128" reads "1:128"), coded values their code (else
// their text), anything else its first component.
QString observationValue(const Segment& obx)
{
    const QString type = obx.value(2).trimmed().toUpper();
    QStringList values;
    for (const Bytes repeat : obx.repeats(5)) {
        const Pieces parts = split(repeat, obx.r->d.component);
        QString v;
        if (type == u"SN") {
            for (const Bytes p : parts)
                v += obx.r->text(p);
        } else if (type == u"CE" || type == u"CWE" || type == u"CNE") {
            v = obx.component(parts.value(0));
            if (v.isEmpty())
                v = obx.component(parts.value(1));
        } else {
            v = obx.r->text(parts.constFirst());
        }
        values.append(v);
    }
    return values.join(u' ');
}

MessageError error(qsizetype at, const QString& reason)
{
    return MessageError{int(at), reason};
}

QString dateError(const char* field)
{
    return QString::fromLatin1(field) + u" is no date-time of the form YYYYMMDDHHMMSS"_s;
}

// Anything but a result message is refused as not taken.
std::optional<MessageError> typeError(const Segment& msh)
{
    const QString type = msh.value(9, 0).trimmed();
    const QString trigger = msh.value(9, 1).trimmed();
    if (type.isEmpty())
        return error(1, u"MSH-9 message type is empty"_s);
    if (type != u"ORU" || trigger != u"R01") {
        const QString sent = (trigger.isEmpty() ? type : type + u'^' + trigger).left(24);
        MessageError e =
            error(1, u"message type "_s + sent + u" is not a result message (ORU^R01)"_s);
        e.unsupported = true;
        return e;
    }
    return std::nullopt;
}

// An OBX's result; nullopt when its OBX-14 is no date-time.
std::optional<InstrumentResult> resultOf(const Segment& s)
{
    InstrumentResult r;
    for (const Bytes c : s.components(3))
        r.testId.append(s.component(c));
    r.value = observationValue(s);
    r.units = s.value(6);
    r.referenceRange = s.r->text(s.firstRepeat(7));
    QStringList flags;
    for (const Bytes repeat : s.repeats(8)) {
        if (const QString f = s.component(piece(repeat, s.r->d.component)); !f.isEmpty())
            flags.append(f);
    }
    r.flags = flags.join(u' ');
    r.status = s.value(11).trimmed();
    const std::optional<QDateTime> completed = dateTime(s.value(14));
    if (!completed)
        return std::nullopt;
    r.completed = *completed;
    return r;
}

// An NTE's words, its repeats joined.
QString noteOf(const Segment& s)
{
    QStringList words;
    for (const Bytes repeat : s.repeats(3))
        if (const QString w = s.r->text(repeat).trimmed(); !w.isEmpty())
            words << w;
    return words.join(u' ');
}
// Where the reading of the segments after MSH stands.
struct Reading {
    QString patient;
    bool inOrder = false;         // an OBR since the last PID
    bool controlSpecimen = false; // an SPM before its OBR marked it a control
    Bytes last;                   // the segment an NTE is a note on
};

// The specimen of the order before it (ORU), or of the next (OUL).
void readSpecimen(const Segment& spm, Reading& at, InstrumentMessage& m)
{
    const bool control = spm.value(11).trimmed().compare(u"Q", Qt::CaseInsensitive) == 0;
    if (at.inOrder && !m.samples.isEmpty())
        m.samples.last().control = m.samples.last().control || control;
    else
        at.controlSpecimen = control;
}

// A note on the observation or the order just before it.
void readNote(const Segment& s, const Reading& at, InstrumentMessage& m)
{
    const QString note = noteOf(s);
    QString* to = at.last == "OBX"   ? &m.samples.last().results.last().comment
                  : at.last == "OBR" ? &m.samples.last().remarks
                                     : nullptr;
    if (to && !note.isEmpty())
        *to += (to->isEmpty() ? QString() : u"; "_s) + note;
}

std::optional<MessageError> readOrder(const Segment& s, qsizetype i, Reading& at,
                                      InstrumentMessage& m)
{
    InstrumentSample sample;
    sample.specimenId = s.value(3).trimmed();
    if (sample.specimenId.isEmpty())
        sample.specimenId = s.value(2).trimmed();
    if (sample.specimenId.isEmpty())
        return error(i + 1, u"OBR has no specimen id (OBR-3 and OBR-2 are empty)"_s);
    sample.patientName = at.patient;
    sample.control =
        at.controlSpecimen || s.value(11).trimmed().compare(u"Q", Qt::CaseInsensitive) == 0;
    at.controlSpecimen = false;
    m.samples.append(sample);
    at.inOrder = true;
    return std::nullopt;
}

// The segments after MSH into the message's samples and results.
std::optional<MessageError> readSegments(const Pieces& lines, const Reader& reader,
                                         InstrumentMessage& m)
{
    Reading at;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const Bytes name = piece(lines[i], reader.d.field);
        if (name == "SPM") {
            readSpecimen(Segment{&reader, split(lines[i], reader.d.field)}, at, m);
            at.last = {};
            continue;
        }
        if (name != "MSH" && name != "PID" && name != "OBR" && name != "OBX" && name != "NTE") {
            at.last = {};
            continue;
        }
        const Segment s{&reader, split(lines[i], reader.d.field)};
        if (name == "NTE") {
            readNote(s, at, m);
            continue;
        }
        at.last = name;
        if (name == "MSH")
            return error(i + 1, u"a second MSH segment: one message at a time"_s);
        if (name == "PID") {
            at.patient = personName(s);
            at.inOrder = false;
        } else if (name == "OBR") {
            if (auto e = readOrder(s, i, at, m))
                return e;
        } else if (name == "OBX") {
            if (!at.inOrder)
                return error(i + 1, u"OBX before any OBR"_s);
            const std::optional<InstrumentResult> r = resultOf(s);
            if (!r)
                return error(i + 1, dateError("OBX-14"));
            m.samples.last().results.append(*r);
        }
    }
    return std::nullopt;
}
} // namespace

std::variant<InstrumentMessage, MessageError> Hl7Parser::parse(const QByteArray& text)
{
    const Pieces lines = segments(text);
    if (lines.isEmpty())
        return error(0, u"empty message"_s);
    if (lines.constFirst().startsWith("FHS") || lines.constFirst().startsWith("BHS")) {
        MessageError e = error(1, u"batches (FHS, BHS) are not taken: send each message alone"_s);
        e.unsupported = true;
        return e;
    }
    const auto header = readHeader(lines.constFirst());
    if (const QString* wrong = std::get_if<QString>(&header))
        return error(1, *wrong);
    const Header& h = std::get<Header>(header);

    Reader reader{h.d};
    const Segment msh{&reader, Pieces{Bytes()} + h.fields};
    reader.latin1 = msh.value(18).trimmed() == u"8859/1";

    if (const std::optional<MessageError> e = typeError(msh))
        return *e;

    InstrumentMessage m;
    m.protocol = InstrumentMessage::Protocol::Hl7;
    m.raw = text;
    m.sender = msh.value(3);
    m.controlId = reader.text(msh.firstRepeat(10));
    if (m.controlId.isEmpty())
        return error(1, u"MSH-10 message control id is empty"_s);
    const std::optional<QDateTime> sent = dateTime(msh.value(7));
    if (!sent)
        return error(1, dateError("MSH-7"));
    m.sent = *sent;

    if (const std::optional<MessageError> e = readSegments(lines, reader, m))
        return *e;
    return m;
}

namespace {
// What an acknowledgement answers with, from the message it answers.
struct Answered {
    QByteArray header; // the header's bytes, which h's fields point into
    Header h;
    QByteArray encoding = "^~\\&";
    QByteArray trigger;
    QByteArray processing = "P";
    QByteArray version = "2.3";
    QByteArray control;
    bool readable = false;
    QString unreadable; // why not
};

Answered answered(const QByteArray& original)
{
    const Pieces lines = segments(original, true);
    // A batch header has the applications where MSH has them and its
    // control id in field 11; it names no trigger, processing or version.
    const bool batch = !lines.isEmpty() && (lines.constFirst().startsWith("FHS") ||
                                            lines.constFirst().startsWith("BHS"));
    Answered a;
    a.header = lines.isEmpty() ? QByteArray()
               : batch         ? "MSH" + lines.constFirst().sliced(3).toByteArray()
                               : lines.constFirst().toByteArray();
    const auto header =
        lines.isEmpty() ? std::variant<Header, QString>(QString()) : readHeader(a.header);
    const Header* read = std::get_if<Header>(&header);
    if (!read) {
        a.unreadable = std::get<QString>(header);
        return a;
    }
    a.readable = true;
    a.h = *read;
    a.encoding = a.h.field(2).toByteArray();
    a.control = a.h.field(batch ? 11 : 10).toByteArray();
    if (!batch) {
        a.trigger = piece(a.h.field(9), a.h.d.component, 1).toByteArray();
        a.processing = a.h.field(11).toByteArray();
        a.version = a.h.field(12).toByteArray();
    }
    return a;
}

// The reason as MSA-3 says it: the sender's delimiters escaped, control
// characters in hex; blanks for both when the sender has no escape.
QByteArray escapedReason(const QString& why, const Header& h)
{
    const Delimiters& d = h.d;
    const bool latin1 = piece(h.field(18), d.repeat) == "8859/1";
    const QByteArray bytes = latin1 ? why.toLatin1() : why.toUtf8();
    QByteArray escaped;
    const QByteArray e(1, char(d.escape));
    for (const char c : bytes) {
        const int b = static_cast<unsigned char>(c);
        const char* code = b == d.field          ? "F"
                           : b == d.component    ? "S"
                           : b == d.subcomponent ? "T"
                           : b == d.repeat       ? "R"
                           : b == d.escape       ? "E"
                                                 : nullptr;
        if (d.escape == kUnused && (code || b < 0x20))
            escaped += ' ';
        else if (code)
            escaped += e + code + e;
        else if (b < 0x20)
            escaped += e + 'X' + QByteArray(1, c).toHex().toUpper() + e;
        else
            escaped += c;
    }
    return escaped;
}
} // namespace

QByteArray Hl7Parser::reply(const QByteArray& original, QByteArrayView code, const QString& reason)
{
    const Answered a = answered(original);
    // Without a readable MSH there are no delimiters, applications or
    // control id to answer with: the answer takes the default delimiters
    // and an empty control id, and is always an AE, so the sender at
    // least learns that its message was not taken.
    const bool accepted = code == "AA" && a.readable;
    const QString why = reason.isEmpty() && !a.readable ? a.unreadable : reason;
    const Header& h = a.h;
    const Delimiters& d = h.d;

    QByteArray type = "ACK";
    if (!a.trigger.isEmpty())
        type += char(d.component) + a.trigger;
    // The message structure component came with version 2.3.1.
    static const QByteArrayList before231 = {"2.1", "2.2", "2.3"};
    if (!a.trigger.isEmpty() &&
        !before231.contains(piece(a.version, d.component).trimmed().toByteArray()))
        type += char(d.component) + QByteArray("ACK");
    // The time sent, to the second, and to the millisecond our control id.
    const QByteArray stamp = Clock::now().toString(u"yyyyMMddHHmmsszzz"_s).toLatin1();
    const QList<QByteArray> msh = {"MSH",
                                   a.encoding,
                                   h.field(5).toByteArray(),
                                   h.field(6).toByteArray(),
                                   h.field(3).toByteArray(),
                                   h.field(4).toByteArray(),
                                   stamp.left(14),
                                   {},
                                   type,
                                   stamp,
                                   a.processing,
                                   a.version};
    QList<QByteArray> msa = {"MSA",
                             accepted       ? QByteArray("AA")
                             : code == "AR" ? QByteArray("AR")
                                            : QByteArray("AE"),
                             a.control};
    if (!accepted && !why.isEmpty())
        msa.append(escapedReason(why, h));
    const QByteArray separator(1, d.field);
    return msh.join(separator) + '\r' + msa.join(separator) + '\r';
}
