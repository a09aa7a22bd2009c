#pragma once

#include <QDateTime>
#include <QString>
#include <optional>

// What the laboratory knows of one exam item to judge a result by: its
// normal range and critical limits (SI units), the limits outside which a
// value is taken for a typing slip, and the delta check against the
// patient's previous verified result. Every limit is optional.
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
};

// The rules a result is judged by, one place for the windows (as values are
// typed) and the laboratory's procedures (on save, verification and print).
// A value that is no number (a word, "< 0.5") is never flagged.
namespace ResultFlags {
// "LL" below the critical low limit, "HH" above the critical high one,
// else "L" below the normal range, "H" above it, else "".
QString flag(const QString& value, const ItemLimits& limits);
bool isCritical(const QString& flag);
// Outside the plausible limits.
bool implausible(const QString& value, const ItemLimits& limits);
// The value differs from the previous result, taken no longer than the
// item's delta days before `at`, by more than the delta limit.
bool deltaExceeded(const QString& value, const ItemLimits& limits, const QDateTime& at);
} // namespace ResultFlags
