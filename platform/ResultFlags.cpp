#include "ResultFlags.h"
#include "Numeric.h"

#include <cmath>

QString ResultFlags::flag(const QString& value, const ItemLimits& l)
{
    const std::optional<double> v = numeric(value);
    if (!v)
        return QString();
    if (l.criticalLow && *v < *l.criticalLow)
        return QStringLiteral("LL");
    if (l.criticalHigh && *v > *l.criticalHigh)
        return QStringLiteral("HH");
    if (l.min && *v < *l.min)
        return QStringLiteral("L");
    if (l.max && *v > *l.max)
        return QStringLiteral("H");
    return QString();
}

bool ResultFlags::isCritical(const QString& flag)
{
    return flag == QLatin1String("LL") || flag == QLatin1String("HH");
}

bool ResultFlags::implausible(const QString& value, const ItemLimits& l)
{
    const std::optional<double> v = numeric(value);
    return v && ((l.plausibleLow && *v < *l.plausibleLow) ||
                 (l.plausibleHigh && *v > *l.plausibleHigh));
}

bool ResultFlags::deltaExceeded(const QString& value, const ItemLimits& l, const QDateTime& at)
{
    const std::optional<double> v = numeric(value);
    const std::optional<double> before = numeric(l.previous);
    if (!v || !before || !l.deltaLimit)
        return false;
    if (l.deltaDays > 0 && l.previousAt.isValid() && l.previousAt.daysTo(at) > l.deltaDays)
        return false;
    const double change = std::fabs(*v - *before);
    if (!l.deltaPercent)
        return change > *l.deltaLimit;
    if (*before == 0)
        return change > 0;
    return change / std::fabs(*before) * 100.0 > *l.deltaLimit;
}
