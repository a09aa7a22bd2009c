#pragma once

#include "labrules/LabLogic.h"
#include "labrules/ReferenceRange.h"
#include "labserver/ProcedureRegistry.h"

#include <QDateTime>
#include <QHash>
#include <optional>

class LabStore;

// Shared by the stored procedures: the server's clock, stored dates, and
// the exam items with their interpretation and normal values.
namespace ProcedureSupport {
// The server's time in storage form.
QString now();
// A date-time as stored: Null when invalid.
QVariant stored(const QDateTime& moment);
// Fails unless the request exists; the key without trailing blanks. A
// writing transaction locks the request first.
QString existingRequest(const ProcedureContext& ctx, int argument);
// Fails when the argument is empty.
QString required(const ProcedureContext& ctx, int argument, const QString& name);
// A stored number; nullopt for Null.
std::optional<double> optionalNumber(const QVariant& v);
// Midnight of the day and of the next, for "on this day" conditions.
QVariantList dayRange(const QDateTime& day);

struct ExamItem {
    QString id;
    QString name;
    QString formType;
    QString siUnit;
    std::optional<double> siMin;
    std::optional<double> siMax;
    int siDecimals = 1;
    QString cUnit;
    std::optional<double> factor;
    int cDecimals = 0;
    std::optional<double> cutOff;
    bool reactiveAtOrAbove = true;
    QString positiveLabel;
    QString negativeLabel;
    double greyZone = 0;
    QString normalValues;

    QString siNormal() const;
    std::optional<double> conventional(std::optional<double> si) const;
    // The interpretation of a value against the given cut-off, or the
    // item's own when none is given; a value without a cut-off stays as is.
    QString interpret(const QString& value, std::optional<double> cutOff = std::nullopt) const;
};

// Why a verified result is corrected: the optional argument of a save, as
// the audit trail keeps it; empty when not sent.
QString amendmentReason(const ProcedureContext& ctx, int argument);

// The normal ranges that apply to the patient of one request: by the
// patient's sex and age on the day of the request, from the laboratory's
// ranges by sex and age band; an item none of them covers keeps its own.
class PatientRanges {
public:
    PatientRanges(LabStore& store, const QString& requestNum);
    std::optional<ReferenceRange> of(const QString& itemId) const;
    // The item with the patient's range in place of its own.
    ExamItem applied(ExamItem item) const;
    // The conventional limits of the patient's range: the laboratory's own,
    // else the SI ones converted.
    static std::pair<std::optional<double>, std::optional<double>>
    conventional(const ReferenceRange& range, const ExamItem& item);

private:
    QString m_sex;
    std::optional<int> m_ageDays;
    QHash<QString, QList<ReferenceRange>> m_ranges; // by item, lower case
};

// The saved cut-off results of a request in row order: ItemID, ExamName,
// PatientValue, Result, RequestNum, CutOffValue, Remarks.
ResultSet savedCutOffResults(LabStore& store, const QString& requestNum);

// nullopt when the item is not known.
std::optional<ExamItem> examItem(LabStore& store, const QString& itemId);
// The columns an item is read from, in order, each prefixed with "alias."
// when one is given; examItemAt reads them from a row, starting at `first`
// (nullopt when the item's columns are Null, as after an outer join).
const QString& examItemColumns(const QString& alias = {});
std::optional<ExamItem> examItemAt(const QVariantList& row, int first);
ExamItem existingExamItem(const ProcedureContext& ctx, int argument);

// The items of one procedure call, each looked up once.
class ItemCache {
public:
    explicit ItemCache(LabStore& store)
        : m_store(store)
    {
    }
    const std::optional<ExamItem>& operator[](const QString& id);

private:
    LabStore& m_store;
    QHash<QString, std::optional<ExamItem>> m_items;
};
} // namespace ProcedureSupport
