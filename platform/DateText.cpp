#include "DateText.h"
#include "LisError.h"

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
} // namespace

QString DateText::general(const QDateTime& moment)
{
    const QString day = cLocale().toString(moment.date(), QStringLiteral("M/d/yyyy"));
    if (moment.time() == QTime(0, 0))
        return day;
    return day + QLatin1Char(' ') + cLocale().toString(moment.time(), QStringLiteral("h:mm:ss AP"));
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
    return cLocale().toString(moment, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

namespace {
// "yyyy-MM-dd" or "yyyy-MM-dd HH:mm:ss", read without a locale: every date
// the database hands out passes here, so it must be quick.
std::optional<QDateTime> parseStorage(const QString& t)
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
    const QDate date(y, mo, d);
    const QTime time(h, mi, se);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return QDateTime(date, time);
}
} // namespace

std::optional<QDateTime> DateText::parse(const QString& text)
{
    const QString t = text.trimmed();
    if (t.isEmpty())
        return std::nullopt;
    if (auto stored = parseStorage(t))
        return stored;
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
