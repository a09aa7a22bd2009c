#include "DateText.h"
#include "platform/LisError.h"

#include <QLocale>

namespace {
const QLocale& cLocale()
{
    static const QLocale c = QLocale::c();
    return c;
}

const QStringList& dateTimeFormats()
{
    static const QStringList formats = {
        QStringLiteral("M/d/yyyy h:mm:ss AP"), QStringLiteral("M/d/yyyy h:mm AP"),
        QStringLiteral("M/d/yyyy H:mm:ss"),    QStringLiteral("M/d/yyyy H:mm"),
        QStringLiteral("yyyy-MM-dd HH:mm:ss"), QStringLiteral("yyyy-MM-ddTHH:mm:ss"),
        QStringLiteral("yyyy-MM-dd HH:mm"),    QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"),
    };
    return formats;
}

const QStringList& dateFormats()
{
    static const QStringList formats = {QStringLiteral("M/d/yyyy"), QStringLiteral("yyyy-MM-dd")};
    return formats;
}

// A date and time as numbers, on its way between texts.
struct Fields {
    int year, month, day, hour = 0, minute = 0, second = 0;

    bool valid() const
    {
        return QDate::isValid(year, month, day) && QTime::isValid(hour, minute, second);
    }
    QDateTime moment() const
    {
        return QDateTime(QDate(year, month, day), QTime(hour, minute, second));
    }
};

// The general date, written by hand into one buffer: every date column of
// every record read passes here.
QString writeGeneral(const Fields& f)
{
    char16_t buf[32];
    int n = 0;
    const auto put = [&](int value, int minDigits) {
        char16_t digits[8];
        int count = 0;
        do {
            digits[count++] = char16_t(u'0' + value % 10);
            value /= 10;
        } while (value > 0 && count < 8);
        while (count < minDigits)
            digits[count++] = u'0';
        while (count > 0)
            buf[n++] = digits[--count];
    };
    put(f.month, 1);
    buf[n++] = u'/';
    put(f.day, 1);
    buf[n++] = u'/';
    put(f.year, 4);
    if (f.hour != 0 || f.minute != 0 || f.second != 0) {
        buf[n++] = u' ';
        put(f.hour % 12 == 0 ? 12 : f.hour % 12, 1);
        buf[n++] = u':';
        put(f.minute, 2);
        buf[n++] = u':';
        put(f.second, 2);
        buf[n++] = u' ';
        buf[n++] = f.hour < 12 ? u'A' : u'P';
        buf[n++] = u'M';
    }
    return QString(reinterpret_cast<const QChar*>(buf), n);
}
} // namespace

QString DateText::general(const QDateTime& moment)
{
    const QDate day = moment.date();
    const QTime time = moment.time();
    return writeGeneral(
        {day.year(), day.month(), day.day(), time.hour(), time.minute(), time.second()});
}

QString DateText::monthDayYear(const QDate& day)
{
    return cLocale().toString(day, QStringLiteral("MM/dd/yyyy"));
}

QString DateText::time12(const QTime& time)
{
    return cLocale().toString(time, QStringLiteral("hh:mm AP"));
}

QString DateText::time12WithSeconds(const QTime& time)
{
    return cLocale().toString(time, QStringLiteral("hh:mm:ss AP"));
}

QString DateText::storage(const QDateTime& moment)
{
    // Written by hand: a save writes several a row, and the locale's
    // formatter costs as much as a small statement.
    const QDate d = moment.date();
    const QTime t = moment.time();
    if (!moment.isValid() || d.year() < 1000 || d.year() > 9999)
        return cLocale().toString(moment, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    char16_t text[19];
    const auto put = [&](int at, int value, int width) {
        for (int i = width - 1; i >= 0; --i, value /= 10)
            text[at + i] = char16_t(u'0' + value % 10);
    };
    put(0, d.year(), 4);
    text[4] = u'-';
    put(5, d.month(), 2);
    text[7] = u'-';
    put(8, d.day(), 2);
    text[10] = u' ';
    put(11, t.hour(), 2);
    text[13] = u':';
    put(14, t.minute(), 2);
    text[16] = u':';
    put(17, t.second(), 2);
    return QString(reinterpret_cast<const QChar*>(text), 19);
}

namespace {
// "yyyy-MM-dd" or "yyyy-MM-dd HH:mm:ss", read without a locale: every date
// the database hands out passes here, so it must be quick.
std::optional<Fields> parseStorage(QStringView t)
{
    const auto digits = [&](int from, int count, int& value) {
        value = 0;
        for (int i = from; i < from + count; ++i) {
            const char16_t c = t.at(i).unicode();
            if (c < u'0' || c > u'9')
                return false;
            value = value * 10 + (c - u'0');
        }
        return true;
    };
    if ((t.size() != 10 && t.size() != 19) || t.at(4) != u'-' || t.at(7) != u'-')
        return std::nullopt;
    int y, mo, d, h = 0, mi = 0, se = 0;
    if (!digits(0, 4, y) || !digits(5, 2, mo) || !digits(8, 2, d))
        return std::nullopt;
    if (t.size() == 19 && (t.at(10) != u' ' || t.at(13) != u':' || t.at(16) != u':' ||
                           !digits(11, 2, h) || !digits(14, 2, mi) || !digits(17, 2, se)))
        return std::nullopt;
    const Fields f{y, mo, d, h, mi, se};
    return f.valid() ? std::optional(f) : std::nullopt;
}

// The general date as this component writes it, "M/d/yyyy" or
// "M/d/yyyy h:mm:ss AM", read without a locale: every date argument of a
// command passes here. Other spellings go to the locale's parser.
std::optional<Fields> parseGeneral(QStringView t)
{
    int at = 0;
    const auto number = [&](int minDigits, int maxDigits, int& value) {
        value = 0;
        int count = 0;
        while (at < t.size() && count < maxDigits && t.at(at) >= u'0' && t.at(at) <= u'9') {
            value = value * 10 + (t.at(at).unicode() - u'0');
            ++at;
            ++count;
        }
        return count >= minDigits;
    };
    const auto literal = [&](QStringView text) {
        if (!t.mid(at).startsWith(text))
            return false;
        at += int(text.size());
        return true;
    };
    int mo, d, y, h = 0, mi = 0, se = 0;
    if (!number(1, 2, mo) || !literal(u"/") || !number(1, 2, d) || !literal(u"/") ||
        !number(4, 4, y))
        return std::nullopt;
    if (at < t.size()) {
        if (!literal(u" ") || !number(1, 2, h) || !literal(u":") || !number(2, 2, mi) ||
            !literal(u":") || !number(2, 2, se) || !literal(u" ") || h < 1 || h > 12)
            return std::nullopt;
        if (literal(u"PM"))
            h = h % 12 + 12;
        else if (literal(u"AM"))
            h = h % 12;
        else
            return std::nullopt;
        if (at != t.size())
            return std::nullopt;
    }
    const Fields f{y, mo, d, h, mi, se};
    return f.valid() ? std::optional(f) : std::nullopt;
}
} // namespace

std::optional<QDateTime> DateText::parse(const QString& text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    if (auto stored = parseStorage(t))
        return stored->moment();
    if (auto written = parseGeneral(t))
        return written->moment();
    for (const QString& f : dateTimeFormats()) {
        QDateTime dt = cLocale().toDateTime(t, f);
        if (dt.isValid())
            return dt;
    }
    for (const QString& f : dateFormats()) {
        QDate d = cLocale().toDate(t, f);
        if (d.isValid())
            return QDateTime(d, QTime(0, 0));
    }
    return std::nullopt;
}

QString DateText::asGeneral(const QString& text)
{
    if (auto stored = parseStorage(text))
        return writeGeneral(*stored);
    if (auto dt = parse(text))
        return general(*dt);
    return text;
}

QDateTime DateText::toDateTime(const QVariant& value)
{
    if (value.isNull())
        throw LisError(ErrNo::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    if (value.typeId() == QMetaType::QDateTime)
        return value.toDateTime();
    if (value.typeId() == QMetaType::QDate)
        return QDateTime(value.toDate(), QTime(0, 0));
    if (auto dt = parse(value.toString()))
        return *dt;
    throw LisError(ErrNo::TypeMismatch, QStringLiteral("Type mismatch"));
}
