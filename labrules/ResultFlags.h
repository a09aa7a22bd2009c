#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

// What the laboratory knows of one exam item to judge a result by: its
// normal range and critical limits (SI units), the limits outside which a
// value is taken for a typing slip, the delta check against the patient's
// previous verified result, and the units to compare that result in.
// Every limit is optional.
struct ItemLimits {
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> criticalLow;
    std::optional<double> criticalHigh;
    std::optional<double> plausibleLow;
    std::optional<double> plausibleHigh;
    std::optional<double> deltaLimit;
    bool deltaPercent = false; // the delta limit is a percentage of the previous value
    int deltaDays = 0;         // a previous result older than this is not compared; 0: any age
    QString previous;          // the previous verified result, as saved; empty: none
    QDateTime previousAt;
    QString previousUnit;      // empty: the item's SI unit
    QString unit;              // the item's SI unit
    QString conventionalUnit;
    std::optional<double> factor; // SI x factor = conventional
    int conventionalDecimals = -1; // as conventional values print; -1: unrounded
};

// The rules a result is judged by, one place for the windows (as values are
// typed) and the laboratory's procedures (on save, verification and print),
// in decimal. A censored value ("<0.5") is judged by its bound: flagged only
// when every value it stands for would be.
namespace ResultFlags {
// "LL" below the critical low limit, "HH" above the critical high one,
// else "L" below the normal range, "H" above it, else "".
QString flag(const QString& value, const ItemLimits& limits);
// The flag of a conventional value against the conventional range, with
// the critical limits converted by the factor and rounded as conventional
// values print: a printed value carries the flag of what is printed beside
// it, and two SI values printed alike are flagged alike.
QString conventionalFlag(const QString& value, std::optional<double> min,
                         std::optional<double> max, const ItemLimits& limits);
bool isCritical(const QString& flag);
// Outside the plausible limits.
bool implausible(const QString& value, const ItemLimits& limits);
// The previous result in the item's SI unit: converted by the factor when
// it was saved in the conventional unit; nullopt when it is no number or
// its unit cannot be converted.
std::optional<double> previousInUnit(const ItemLimits& limits);
// The value differs from the previous result, taken no more than the
// item's delta days before `at`, by more than the delta limit.
bool deltaExceeded(const QString& value, const ItemLimits& limits, const QDateTime& at);
// Why a previous result is not compared, for the windows to say; empty
// when it is, or when there is none.
QString deltaNotCompared(const ItemLimits& limits);
} // namespace ResultFlags
