#include "ReferenceRange.h"

namespace {
bool covers(const ReferenceRange& r, std::optional<int> ageDays)
{
    if (!ageDays)
        return r.ageFromDays <= 0 && !r.ageToDays;
    return *ageDays >= r.ageFromDays && (!r.ageToDays || *ageDays < *r.ageToDays);
}

// Completed months from birth to the day.
int monthsBetween(const QDate& birth, const QDate& on)
{
    int months = (on.year() - birth.year()) * 12 + on.month() - birth.month();
    if (on.day() < birth.day())
        --months;
    return months;
}
} // namespace

std::optional<ReferenceRange> ReferenceRanges::applicable(const QList<ReferenceRange>& ranges,
                                                          const QString& sex,
                                                          std::optional<int> ageDays)
{
    const QString own = sex.trimmed().toUpper();
    const ReferenceRange* best = nullptr;
    const auto width = [](const ReferenceRange& r) {
        return r.ageToDays ? qint64(*r.ageToDays) - r.ageFromDays : qint64(1) << 40;
    };
    for (const ReferenceRange& r : ranges) {
        const QString wanted = r.sex.trimmed().toUpper();
        if ((!wanted.isEmpty() && wanted != own) || !covers(r, ageDays))
            continue;
        if (!best) {
            best = &r;
            continue;
        }
        const bool ownSex = !wanted.isEmpty();
        const bool bestOwnSex = !best->sex.trimmed().isEmpty();
        if (width(r) != width(*best) ? width(r) < width(*best) : ownSex && !bestOwnSex)
            best = &r;
    }
    return best ? std::optional(*best) : std::nullopt;
}

std::optional<int> ReferenceRanges::ageInDays(const QDate& birth, const QDate& on)
{
    if (!birth.isValid() || !on.isValid() || birth > on)
        return std::nullopt;
    return int(birth.daysTo(on));
}

QString ReferenceRanges::ageText(const QDate& birth, const QDate& on)
{
    const std::optional<int> days = ageInDays(birth, on);
    if (!days)
        return QString();
    const int months = monthsBetween(birth, on);
    const auto count = [](int n, const char* one, const char* many) {
        return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
    };
    if (months >= 24)
        return count(months / 12, "year", "years");
    if (months >= 1)
        return count(months, "month", "months");
    return count(*days, "day", "days");
}
