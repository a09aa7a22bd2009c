#pragma once

#include <QString>
#include <optional>

// The laboratory's own rules, kept apart from storage so they can be
// checked on their own.
namespace LabLogic {
// A value as the hospital's staff and instruments write numbers: blanks
// around it allowed, a decimal point, no thousands separators.
std::optional<double> number(const QString& text);

struct CutOffRule {
    double cutOff = 0;
    bool reactiveAtOrAbove = true; // otherwise reactive at or below the cut-off
    QString positiveLabel = QStringLiteral("POSITIVE");
    QString negativeLabel = QStringLiteral("NEGATIVE");
    double greyZone = 0; // values within this distance of the cut-off are equivocal
};

// The interpretation of a value: the label pair of the rule for a number,
// "EQUIVOCAL" inside the grey zone, the text itself when it is no number.
QString interpret(const QString& value, const CutOffRule& rule);

// A number with a fixed count of decimals, as reports print it.
QString fixed(double value, int decimals);
// "min - max"; a missing limit is left out ("< max", "> min"), none gives "".
QString range(std::optional<double> min, std::optional<double> max, int decimals);
// The conventional value of an SI value: SI x factor, rounded to decimals.
// Empty when the SI value is no number or there is no factor.
QString toConventional(const QString& siValue, std::optional<double> factor, int decimals);
} // namespace LabLogic
