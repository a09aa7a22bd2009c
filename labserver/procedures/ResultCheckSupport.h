#pragma once

#include "labrules/ResultFlags.h"
#include "labrules/ResultValue.h"
#include "labserver/procedures/ProcedureSupport.h"

#include <QDateTime>
#include <QList>
#include <QString>

class LabStore;

namespace ProcedureSupport {
// One exam item of a request with what its result is judged by: the item's
// limits, the patient's previous verified result, and what was recorded of
// the saved result (its value, the critical call, the delta acknowledgement).
struct ItemCheck {
    QString itemId;
    QString examName;
    QString unit;
    ItemLimits limits;
    std::optional<double> cMin;
    std::optional<double> cMax;
    QString previousUnit;
    QString previousRequest;
    bool saved = false;
    QString value; // the saved result (SI result, or a cut-off's value)
    bool verified = false;
    QString calledTo;
    QDateTime calledAt;
    QString acknowledgedBy;
    QString correctedFrom;

    QString flag() const { return ResultFlags::flag(value, limits); }
    bool deltaExceeded() const;
};

// The items of the request's exam and of its saved results, in the exam's
// order; empty for an unknown request. Two queries whatever the count.
QList<ItemCheck> itemChecks(LabStore& store, const QString& requestNum);

// A stored date-time as it comes from either engine; invalid for Null.
QDateTime storedMoment(const QVariant& value);

// A value a save hands in, as the laboratory takes it: fails, naming the
// item, the request and the form to use, when it is none of the forms a
// result may take.
ResultValue::Read acceptedValue(const QString& value, const ExamItem& item,
                                const QString& requestNum);

// A saved result as it stood before a save changes it.
struct PriorResult {
    bool exists = false;
    QString value;
    bool verified = false;
    QString verifiedBy;
    QVariant verifiedAt;
};
PriorResult priorResult(LabStore& store, const QString& requestNum, const QString& itemId);

// What a result upsert sets besides the value when the value changes
// (the row's old value against excluded.<valueColumn>): the employee of the
// save entered it, typed, at this workstation; the critical call and delta
// acknowledgement of the old value no longer hold; a verified value replaced
// is kept as corrected. The columns an insert gives for the same, with
// their binds, after the value's own.
QString entryOnChange(const QString& valueColumn);
const QString& entryColumns();
QVariantList entryValues(const QString& employee);

// Appends a row to the audit trail of results.
void audit(LabStore& store, const QString& requestNum, const QString& itemId, const QString& field,
           const QString& oldValue, const QString& newValue, const QString& by,
           const QString& workstation = {});
// This workstation's name, as the audit trail records it.
QString workstation();
} // namespace ProcedureSupport
