#include "LabLogic.h"
#include "Numeric.h"

#include <QLocale>
#include <cmath>

std::optional<double> LabLogic::number(const QString& text)
{
    return numeric(text);
}

QString LabLogic::interpret(const QString& value, const CutOffRule& rule)
{
    const auto v = number(value);
    if (!v)
        return value;
    if (rule.greyZone > 0 && std::fabs(*v - rule.cutOff) <= rule.greyZone)
        return QStringLiteral("EQUIVOCAL");
    const bool reactive = rule.reactiveAtOrAbove ? *v >= rule.cutOff : *v <= rule.cutOff;
    return reactive ? rule.positiveLabel : rule.negativeLabel;
}

QString LabLogic::fixed(double value, int decimals)
{
    // Rounded half away from zero, as laboratories round, then printed.
    const double scale = std::pow(10.0, decimals);
    double rounded = std::round(value * scale) / scale;
    if (rounded == 0)
        rounded = 0; // no "-0"
    return QLocale::c().toString(rounded, 'f', decimals);
}

QString LabLogic::range(std::optional<double> min, std::optional<double> max, int decimals)
{
    if (min && max)
        return fixed(*min, decimals) + QStringLiteral(" - ") + fixed(*max, decimals);
    if (max)
        return QStringLiteral("< ") + fixed(*max, decimals);
    if (min)
        return QStringLiteral("> ") + fixed(*min, decimals);
    return QString();
}

QString LabLogic::toConventional(const QString& siValue, std::optional<double> factor, int decimals)
{
    const auto v = number(siValue);
    if (!v || !factor)
        return QString();
    return fixed(*v * *factor, decimals);
}
