#include "ResultFlags.h"
#include "labrules/LabLogic.h"
#include "labrules/ResultValue.h"

using LabLogic::Decimal;

namespace {
std::optional<Decimal> decimal(std::optional<double> v)
{
    return v ? std::optional(Decimal(*v)) : std::nullopt;
}

// The flag of a value (read) against limits in its own unit system.
QString flagOf(const ResultValue::Read& v, std::optional<Decimal> min, std::optional<Decimal> max,
               std::optional<Decimal> criticalLow, std::optional<Decimal> criticalHigh)
{
    if (!v.hasNumber())
        return QString();
    if (criticalLow && ResultValue::allBelow(v, *criticalLow))
        return QStringLiteral("LL");
    if (criticalHigh && ResultValue::allAbove(v, *criticalHigh))
        return QStringLiteral("HH");
    if (min && ResultValue::allBelow(v, *min))
        return QStringLiteral("L");
    if (max && ResultValue::allAbove(v, *max))
        return QStringLiteral("H");
    return QString();
}

bool sameUnit(const QString& a, const QString& b)
{
    return a.trimmed().compare(b.trimmed(), Qt::CaseInsensitive) == 0;
}
} // namespace

QString ResultFlags::flag(const QString& value, const ItemLimits& l)
{
    return flagOf(ResultValue::read(value, {}, true), decimal(l.min), decimal(l.max),
                  decimal(l.criticalLow), decimal(l.criticalHigh));
}

QString ResultFlags::conventionalFlag(const QString& value, std::optional<double> min,
                                      std::optional<double> max, const ItemLimits& l)
{
    const auto converted = [&l](std::optional<double> si) -> std::optional<Decimal> {
        if (!si || !l.factor)
            return std::nullopt;
        const Decimal exact = Decimal(*si) * Decimal(*l.factor);
        return l.conventionalDecimals < 0 ? exact
                                          : *Decimal::parse(exact.fixed(l.conventionalDecimals));
    };
    return flagOf(ResultValue::read(value, {}, true), decimal(min), decimal(max),
                  converted(l.criticalLow), converted(l.criticalHigh));
}

bool ResultFlags::isCritical(const QString& flag)
{
    return flag == QLatin1String("LL") || flag == QLatin1String("HH");
}

bool ResultFlags::implausible(const QString& value, const ItemLimits& l)
{
    const ResultValue::Read v = ResultValue::read(value, {}, true);
    return v.hasNumber() &&
           ((l.plausibleLow && ResultValue::allBelow(v, Decimal(*l.plausibleLow))) ||
            (l.plausibleHigh && ResultValue::allAbove(v, Decimal(*l.plausibleHigh))));
}

std::optional<double> ResultFlags::previousInUnit(const ItemLimits& l)
{
    const ResultValue::Read p = ResultValue::read(l.previous, {}, true);
    if (p.form != ResultValue::Form::Number)
        return std::nullopt;
    const double before = LabLogic::number(p.number.text()).value_or(0);
    if (l.previousUnit.trimmed().isEmpty() || l.unit.trimmed().isEmpty() ||
        sameUnit(l.previousUnit, l.unit))
        return before;
    if (l.factor && *l.factor != 0 && sameUnit(l.previousUnit, l.conventionalUnit))
        return before / *l.factor;
    return std::nullopt;
}

bool ResultFlags::deltaExceeded(const QString& value, const ItemLimits& l, const QDateTime& at)
{
    const ResultValue::Read now = ResultValue::read(value, {}, true);
    const std::optional<double> before = previousInUnit(l);
    if (now.form != ResultValue::Form::Number || !before || !l.deltaLimit)
        return false;
    if (l.deltaDays > 0 && l.previousAt.isValid() && l.previousAt.daysTo(at) > l.deltaDays)
        return false;
    const Decimal change = (now.number - Decimal(*before)).abs();
    if (!l.deltaPercent)
        return change > Decimal(*l.deltaLimit);
    if (*before == 0)
        return !change.isZero();
    // change / |before| x 100 > limit, without dividing.
    return change * Decimal(100.0) > Decimal(*l.deltaLimit) * Decimal(*before).abs();
}

QString ResultFlags::deltaNotCompared(const ItemLimits& l)
{
    if (l.previous.trimmed().isEmpty() || !l.deltaLimit || previousInUnit(l))
        return QString();
    if (ResultValue::read(l.previous, {}, true).form != ResultValue::Form::Number)
        return QStringLiteral("The previous result %1 is not a number: not compared.")
            .arg(l.previous);
    return QStringLiteral("The previous result is in %1, which cannot be converted to %2: not "
                          "compared.")
        .arg(l.previousUnit, l.unit);
}
