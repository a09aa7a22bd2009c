#include "SettingsFile.h"
#include "platform/LisError.h"

#include <QHash>
#include <QStringDecoder>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {
const QString kMarkerTag = QStringLiteral("velquor-lis plain settings");

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}

bool isControl(QChar c)
{
    return (c.unicode() < 0x20 && c != u'\t') || c.unicode() == 0x7f;
}

// Only spaces and tabs: any other character, a no-break space included, is
// part of the value.
QString trimBlanks(QStringView s)
{
    qsizetype from = 0;
    qsizetype to = s.size();
    while (from < to && isBlank(s[from]))
        ++from;
    while (to > from && isBlank(s[to - 1]))
        --to;
    return s.mid(from, to - from).toString();
}

LisError unreadable(const QString& path, int line, const QString& what)
{
    return LisError(ErrNo::FileAccess,
                    QStringLiteral("The settings file %1 cannot be read: line %2 %3.")
                        .arg(path, QString::number(line), what));
}

// Cuts the line that begins at start off data, without its ending; returns
// where the next one begins.
qsizetype cutLine(const QByteArray& data, qsizetype start, QByteArray& raw, QByteArray& eol)
{
    const qsizetype nl = data.indexOf('\n', start);
    raw = data.mid(start, nl < 0 ? -1 : nl - start);
    if (nl >= 0) {
        eol = "\n";
        if (raw.endsWith('\r')) {
            raw.chop(1);
            eol = "\r\n";
        }
    }
    return nl < 0 ? data.size() : nl + 1;
}

QString decodedLine(const QString& path, int number, const QByteArray& raw)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                  QStringDecoder::Flag::ConvertInitialBom);
    const QString text = utf8(raw);
    if (utf8.hasError())
        throw unreadable(path, number,
                         QStringLiteral("is not UTF-8 text: correct or remove that line, or "
                                        "save the file as UTF-8"));
    for (const QChar c : text) {
        if (isControl(c))
            throw unreadable(path, number,
                             QStringLiteral("holds a control character (code %1): correct or "
                                            "remove that line")
                                 .arg(c.unicode()));
    }
    return text;
}

// The name of a "[Name]" line.
QString sectionName(const QString& t, const QString& path, int number)
{
    const qsizetype close = t.indexOf(u']');
    if (close < 0)
        throw unreadable(path, number,
                         QStringLiteral("opens a section without closing its bracket: "
                                        "write it as [Name] or remove that line"));
    if (!trimBlanks(QStringView(t).mid(close + 1)).isEmpty())
        throw unreadable(path, number,
                         QStringLiteral("has text after its section's closing bracket: "
                                        "a comment needs a line of its own"));
    const QString name = trimBlanks(QStringView(t).mid(1, close - 1));
    if (name.isEmpty())
        throw unreadable(path, number,
                         QStringLiteral("names no section between its brackets: write "
                                        "the name or remove that line"));
    return name;
}

// The key and value of a "key=value" line, as written.
std::pair<QString, QString> keyAndValue(const QString& t, const QString& path, int number)
{
    const qsizetype eq = t.indexOf(u'=');
    if (eq < 0)
        throw unreadable(path, number,
                         QStringLiteral("is neither blank, a comment (; or #), a [Section] "
                                        "nor key=value: correct or remove that line"));
    std::pair<QString, QString> kv{trimBlanks(QStringView(t).left(eq)),
                                   trimBlanks(QStringView(t).mid(eq + 1))};
    if (kv.first.isEmpty())
        throw unreadable(path, number,
                         QStringLiteral("has no key before its \"=\": write the key or "
                                        "remove that line"));
    return kv;
}

QString plainValue(const QString& written)
{
    if (written.size() >= 2 && written.front() == u'"' && written.back() == u'"')
        return written.mid(1, written.size() - 2);
    return written;
}

QString plainText(const QString& value)
{
    const bool quote = !value.isEmpty() && (isBlank(value.front()) || isBlank(value.back()) ||
                                            value.front() == u'"' || value.back() == u'"');
    return quote ? u'"' + value + u'"' : value;
}

bool hasControl(const QString& s)
{
    return std::any_of(s.begin(), s.end(), isControl);
}

bool plainKey(const QString& key)
{
    return !key.isEmpty() && trimBlanks(key) == key && !key.contains(u'=') && !hasControl(key) &&
           !key.startsWith(u'[') && !key.startsWith(u';') && !key.startsWith(u'#');
}

bool plainSection(const QString& section)
{
    return trimBlanks(section) == section && !section.contains(u'[') && !section.contains(u']') &&
           !hasControl(section);
}

// The forms Qt's INI writer gave a text value: the whole value in double
// quotes (when it held , ; = or outer blanks), \\ and \" inside, and a leading
// "@" doubled. Any other backslash is a character, as a hand-written
// SRV1\SQLEXPRESS meant it.
QString legacyValue(const QString& written)
{
    QString body = written;
    if (written.size() >= 2 && written.front() == u'"') {
        for (qsizetype i = 1; i < written.size(); ++i) {
            if (written[i] == u'\\' && i + 1 < written.size()) {
                ++i;
            } else if (written[i] == u'"') {
                if (i == written.size() - 1)
                    body = written.mid(1, written.size() - 2);
                break;
            }
        }
    }
    QString out;
    out.reserve(body.size());
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] == u'\\' && i + 1 < body.size() &&
            (body[i + 1] == u'\\' || body[i + 1] == u'"'))
            ++i;
        out += body[i];
    }
    if (out.startsWith(QStringLiteral("@@")))
        out.remove(0, 1);
    return out;
}

// Qt wrote a name's characters other than letters, digits, "_", "-" and "."
// as %XX or %UXXXX, "/" as "\", and a section called General as [%General].
// A name the plain form cannot hold stays as it was written.
QString legacyName(const QString& written, bool section)
{
    if (section && written == u"%General")
        return QStringLiteral("General");
    const auto hex = [&](qsizetype from, int digits, char16_t& code) {
        if (from + digits > written.size())
            return false;
        code = 0;
        for (int k = 0; k < digits; ++k) {
            const char16_t c = written[from + k].unicode();
            const int d = c >= u'0' && c <= u'9'   ? c - u'0'
                          : c >= u'a' && c <= u'f' ? c - u'a' + 10
                          : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                                   : -1;
            if (d < 0)
                return false;
            code = char16_t(code * 16 + d);
        }
        return true;
    };
    QString out;
    for (qsizetype i = 0; i < written.size(); ++i) {
        char16_t code = 0;
        if (written[i] == u'\\') {
            out += u'/';
        } else if (written[i] == u'%' && hex(i + 1, 2, code)) {
            out += QChar(code);
            i += 2;
        } else if (written[i] == u'%' && i + 1 < written.size() && written[i + 1] == u'U' &&
                   hex(i + 2, 4, code)) {
            out += QChar(code);
            i += 5;
        } else {
            out += written[i];
        }
    }
    // Qt escaped each UTF-16 unit, so a pair of %U escapes makes one emoji.
    const bool ok =
        out.isValidUtf16() && (section ? !out.isEmpty() && plainSection(out) : plainKey(out));
    return ok ? out : written;
}
} // namespace

QString SettingsFile::markerLine()
{
    return QStringLiteral("; ") + kMarkerTag +
           QStringLiteral(": every value is taken exactly as written after \"=\"; double quotes "
                          "around a whole value keep its outer blanks");
}

void SettingsFile::checkWritable(const QString& section, const QString& key, const QString& value)
{
    if (!plainSection(section))
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument: the settings section "
                                      "\"%1\" holds a bracket, a control character or outer "
                                      "blanks")
                           .arg(section));
    if (!plainKey(key))
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument: the settings key \"%1\" "
                                      "is empty, holds \"=\" or a control character, has outer "
                                      "blanks or starts with [ ; or #")
                           .arg(key));
    if (hasControl(value))
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument: a settings value "
                                      "cannot hold line breaks or other control characters"));
}

SettingsFile SettingsFile::parse(const QString& path, const QByteArray& bytes)
{
    SettingsFile f;
    QByteArray data = bytes;
    if (data.startsWith("\xEF\xBB\xBF")) {
        f.m_bom = data.left(3);
        data.remove(0, 3);
    }
    qsizetype start = 0;
    while (start < data.size()) {
        Line l;
        start = cutLine(data, start, l.raw, l.eol);
        const int number = int(f.m_lines.size()) + 1;
        classify(l, trimBlanks(decodedLine(path, number, l.raw)), path, number);
        f.m_marked = f.m_marked || l.marker;
        f.m_lines.append(l);
    }
    f.m_legacy = !f.m_marked;
    f.index(path);
    return f;
}

void SettingsFile::classify(Line& l, const QString& t, const QString& path, int number)
{
    if (t.isEmpty()) {
        l.kind = Kind::Blank;
    } else if (t.front() == u';' || t.front() == u'#') {
        l.kind = Kind::Comment;
        l.marker = trimBlanks(QStringView(t).mid(1)).startsWith(kMarkerTag, Qt::CaseInsensitive);
    } else if (t.front() == u'[') {
        l.kind = Kind::Section;
        l.rawName = sectionName(t, path, number);
    } else {
        l.kind = Kind::Key;
        std::tie(l.rawName, l.rawValue) = keyAndValue(t, path, number);
    }
}

void SettingsFile::index(const QString& path)
{
    QHash<QString, int> seen;
    int header = -1;
    for (int i = 0; i < m_lines.size(); ++i) {
        Line& l = m_lines[i];
        if (l.kind == Kind::Section) {
            l.name = m_legacy ? legacyName(l.rawName, true) : l.rawName;
            header = i;
        } else if (l.kind == Kind::Key) {
            l.name = m_legacy ? legacyName(l.rawName, false) : l.rawName;
            l.value = m_legacy ? legacyValue(l.rawValue) : plainValue(l.rawValue);
            l.header = header;
            const QString section = header < 0 ? QString() : m_lines[header].name;
            const QString id = section.toCaseFolded() + u'\n' + l.name.toCaseFolded();
            const auto first = seen.constFind(id);
            if (first != seen.constEnd())
                throw unreadable(
                    path, i + 1,
                    QStringLiteral("sets %1 again (line %2 sets it already): remove one of them")
                        .arg(section.isEmpty() ? l.name
                                               : QStringLiteral("[%1] %2").arg(section, l.name),
                             QString::number(*first + 1)));
            seen.insert(id, i);
        }
    }
}

int SettingsFile::find(const QString& section, const QString& key) const
{
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line& l = m_lines[i];
        if (l.kind != Kind::Key || l.name.compare(key, Qt::CaseInsensitive) != 0)
            continue;
        const QString in = l.header < 0 ? QString() : m_lines[l.header].name;
        if (in.compare(section, Qt::CaseInsensitive) == 0)
            return i;
    }
    return -1;
}

std::optional<QString> SettingsFile::value(const QString& section, const QString& key) const
{
    const int at = find(section, key);
    if (at < 0)
        return std::nullopt;
    return m_lines[at].value;
}

QList<SettingsFile::Value> SettingsFile::values() const
{
    QList<Value> out;
    for (const Line& l : m_lines) {
        if (l.kind == Kind::Key)
            out.append({l.header < 0 ? QString() : m_lines[l.header].name, l.name, l.value});
    }
    return out;
}

// Where a new key of `section` goes: after the last key of its last
// occurrence, so comments and blank lines before the next section stay there;
// -1 when the section is not in the file.
int SettingsFile::insertionPoint(const QString& section) const
{
    int header = -1;
    int marker = -1;
    int firstHeader = int(m_lines.size());
    for (int i = 0; i < m_lines.size(); ++i) {
        const Line& l = m_lines[i];
        if (l.kind == Kind::Section) {
            firstHeader = std::min(firstHeader, i);
            if (l.name.compare(section, Qt::CaseInsensitive) == 0)
                header = i;
        } else if (l.marker && marker < 0) {
            marker = i;
        }
    }
    if (section.isEmpty()) {
        int after = marker < firstHeader ? marker + 1 : 0;
        for (int i = 0; i < firstHeader; ++i) {
            if (m_lines[i].kind == Kind::Key)
                after = i + 1;
        }
        return after;
    }
    if (header < 0)
        return -1;
    int after = header + 1;
    for (int i = header + 1; i < m_lines.size() && m_lines[i].kind != Kind::Section; ++i) {
        if (m_lines[i].kind == Kind::Key)
            after = i + 1;
    }
    return after;
}

void SettingsFile::insertLine(int at, const QByteArray& raw)
{
    // New lines end as the file's first line does.
    QByteArray eol = "\n";
    for (const Line& l : std::as_const(m_lines)) {
        if (!l.eol.isEmpty()) {
            eol = l.eol;
            break;
        }
    }
    if (at == m_lines.size() && at > 0 && m_lines.last().eol.isEmpty())
        m_lines.last().eol = eol;
    Line l;
    l.raw = raw;
    l.eol = eol;
    m_lines.insert(at, l);
}

// Rewrites only the lines whose meaning differs under the plain rules; all
// others are kept byte for byte.
void SettingsFile::convertLegacy()
{
    for (Line& l : m_lines) {
        if (l.kind == Kind::Section && l.name != l.rawName)
            l.raw = '[' + l.name.toUtf8() + ']';
        else if (l.kind == Kind::Key && (l.name != l.rawName || plainValue(l.rawValue) != l.value))
            l.raw = l.name.toUtf8() + '=' + plainText(l.value).toUtf8();
    }
}

bool SettingsFile::set(const QString& section, const QString& key, const QString& value)
{
    checkWritable(section, key, value);
    const int existing = find(section, key);
    if (m_marked && existing >= 0 && m_lines[existing].value == value)
        return false;
    if (!m_marked) {
        if (m_legacy)
            convertLegacy();
        insertLine(0, markerLine().toUtf8());
        *this = parse(QString(), bytes());
    }

    const QByteArray text = plainText(value).toUtf8();
    const int at = find(section, key);
    if (at >= 0 && m_lines[at].value == value) {
        // Only the marker was missing: the line stays as written.
    } else if (at >= 0) {
        // Keep the key as written and the blanks around its "=".
        QByteArray& raw = m_lines[at].raw;
        qsizetype from = raw.indexOf('=') + 1;
        while (!text.isEmpty() && from < raw.size() && (raw[from] == ' ' || raw[from] == '\t'))
            ++from;
        raw = raw.left(from) + text;
    } else if (const int after = insertionPoint(section); after >= 0) {
        insertLine(after, key.toUtf8() + '=' + text);
    } else {
        if (!m_lines.isEmpty() && m_lines.last().kind != Kind::Blank)
            insertLine(int(m_lines.size()), QByteArray());
        insertLine(int(m_lines.size()), '[' + section.toUtf8() + ']');
        insertLine(int(m_lines.size()), key.toUtf8() + '=' + text);
    }

    // Never hand back a file that would read differently from what was set.
    *this = parse(QString(), bytes());
    if (this->value(section, key) != value)
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("The settings value of [%1] %2 cannot be written so that it "
                                      "reads back unchanged")
                           .arg(section, key));
    return true;
}

QByteArray SettingsFile::bytes() const
{
    QByteArray out = m_bom;
    for (const Line& l : m_lines)
        out += l.raw + l.eol;
    return out;
}
