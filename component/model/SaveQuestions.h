#pragma once

#include "component/model/ResultChecks.h"

#include <QDateTime>
#include <QList>
#include <QString>

// A row of the normal-values window as its save's checks read it.
struct CheckedRow {
    int gridRow = 0;
    QString request;
    QString item;
    QString name;                       // trimmed
    QString value;                      // the SI result, trimmed
    QString unit;                       // the SI unit, trimmed
    const ItemChecks* checks = nullptr; // none: the request has no checks
    // The value is the one the window read on opening, not empty.
    bool unchanged = false;
};

// What a save asks before it writes anything, in the order it is asked:
// every implausible result first (a typing slip is caught before anyone is
// called about it), then every critical one, then every delta exceeded.
// The window only asks; any answer but Yes saves nothing.
struct SaveQuestion {
    enum Kind { Implausible, Critical, Delta };
    Kind kind = Implausible;
    int gridRow = 0;
    QString text;  // the question; a critical result's is its call's dialog
    QString flag;  // a critical result's flag
    QString exam;  // trimmed
    QString value; // with its unit
};

QList<SaveQuestion> saveQuestions(const QList<CheckedRow>& rows, bool verifying,
                                  const QDateTime& now);

// What the laboratory is told of a row once staff have answered.
namespace CheckCommands {
QString criticalCall(const CheckedRow& row, const QString& reportedTo, const QDateTime& calledAt,
                     const QString& employee, const QString& workstation);
QString deltaAcknowledged(const CheckedRow& row, const QString& employee);
// fromInstrument: the value is the one the instrument sent with sample.
QString resultEntry(const CheckedRow& row, const QString& employee, bool fromInstrument,
                    const QString& instrumentId, const QString& sample, const QString& workstation);
} // namespace CheckCommands
