#pragma once

#include "platform/db/DbDriver.h"

#include <QDateTime>
#include <QList>
#include <QStringList>
#include <optional>

// The control results of one instrument and item as sp_QCChartData hands
// them over, grouped by level and lot, with each lot's statistics for the
// period worked out in decimal and printed as text.
struct QcPoint {
    QDateTime measuredAt;
    QString lotNo;
    QString value;           // as received or entered
    std::optional<double> z; // SD index against the lot's target
    QStringList rules;
    QString verdict; // accepted, warning, rejected
};

struct QcLot {
    QString lotNo;
    QString material;
    QString unit;
    QString targetMean; // as the lot states them
    QString targetSd;
    int runs = 0;
    int rejected = 0; // left out of the observed statistics
    // Of the runs not rejected; "" where there is too little to say
    // (no SD of one run, no CV of a zero mean).
    QString mean;
    QString sd;
    QString cv;
};

struct QcLevel {
    int level = 0;
    QList<QcLot> lots;     // in the order they were first measured
    QList<QcPoint> points; // in time order
};

struct QcChartData {
    QString itemName;
    QList<QcLevel> levels;

    // Error 3265 naming a column the rows lack.
    static QcChartData fromRows(const ResultSet& rows);
};

// Statistics of decimal values, each printed rounded half away from zero
// from the exact sums, so a mean of 12.345 prints 12.35 whatever binary
// doubles would make of it.
struct QcStatistics {
    QString mean;
    QString sd; // with n - 1
    QString cv; // per cent of the mean
    static QcStatistics of(const QStringList& values);
};
