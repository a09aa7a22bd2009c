#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <optional>

// A normal range an item may have for one sex and one age band, beside the
// item's own range (which holds for everyone no such range covers).
struct ReferenceRange {
    QString sex;                  // "F", "M"; empty: either
    int ageFromDays = 0;          // inclusive
    std::optional<int> ageToDays; // exclusive; none: no upper end
    std::optional<double> min;    // SI
    std::optional<double> max;
    std::optional<double> conventionalMin; // the laboratory's own; none: converted
    std::optional<double> conventionalMax;
};

namespace ReferenceRanges {
// The range that applies to a patient of this sex and age: the narrowest
// age band, one for the patient's sex before one for either. A
// patient of unknown sex gets only a range for either sex, one of unknown
// age only a range that covers every age. nullopt: the item's own range.
std::optional<ReferenceRange> applicable(const QList<ReferenceRange>& ranges, const QString& sex,
                                         std::optional<int> ageDays);
// Whole days from birth to the day; nullopt for an unknown or later birth.
std::optional<int> ageInDays(const QDate& birth, const QDate& on);
// "34 years", "8 months", "12 days": years from two on, months below.
QString ageText(const QDate& birth, const QDate& on);
} // namespace ReferenceRanges
