// The checks of a result beside the save: limits and the previous result for
// the windows, who entered a value and from where, critical calls, delta
// acknowledgements, and the audit trail they all leave.
#include "CommandExcerpt.h"
#include "DateText.h"
#include "LabStore.h"
#include "LisError.h"
#include "Numeric.h"
#include "ProcedureSupport.h"
#include "Procedures.h"
#include "ResultCheckSupport.h"

using namespace ProcedureSupport;

namespace {
QString numberOrEmpty(std::optional<double> v)
{
    return v ? numberText(*v) : QString();
}

QString generalOrEmpty(const QDateTime& moment)
{
    return moment.isValid() ? DateText::general(moment) : QString();
}

// request. One row per exam item of the request: its normal, critical and
// plausible limits, its delta check, the patient's previous verified result,
// and what was recorded of the saved one. Every column is text, never Null;
// an empty one is not configured.
ResultSet getResultChecks(ProcedureContext& ctx)
{
    ResultSet rs;
    rs.columns = {QStringLiteral("RequestNum"),   QStringLiteral("ItemID"),
                  QStringLiteral("SIMin"),        QStringLiteral("SIMax"),
                  QStringLiteral("CMin"),         QStringLiteral("CMax"),
                  QStringLiteral("CriticalLow"),  QStringLiteral("CriticalHigh"),
                  QStringLiteral("PlausibleLow"), QStringLiteral("PlausibleHigh"),
                  QStringLiteral("DeltaLimit"),   QStringLiteral("DeltaPercent"),
                  QStringLiteral("DeltaDays"),    QStringLiteral("PrevResult"),
                  QStringLiteral("PrevUnit"),     QStringLiteral("PrevDate"),
                  QStringLiteral("PrevRequest"),  QStringLiteral("CriticalCalledTo"),
                  QStringLiteral("CriticalCalledAt"), QStringLiteral("DeltaAcknowledgedBy")};
    const QString req = ctx.key(0);
    for (const ItemCheck& c : itemChecks(ctx.store(), req)) {
        const ItemLimits& l = c.limits;
        rs.rows.append({req, c.itemId, numberOrEmpty(l.min), numberOrEmpty(l.max),
                        numberOrEmpty(c.cMin), numberOrEmpty(c.cMax),
                        numberOrEmpty(l.criticalLow), numberOrEmpty(l.criticalHigh),
                        numberOrEmpty(l.plausibleLow), numberOrEmpty(l.plausibleHigh),
                        numberOrEmpty(l.deltaLimit),
                        l.deltaPercent ? QStringLiteral("Y") : QStringLiteral("N"),
                        QString::number(l.deltaDays), l.previous, c.previousUnit,
                        generalOrEmpty(l.previousAt), c.previousRequest, c.calledTo,
                        generalOrEmpty(c.calledAt), c.acknowledgedBy});
    }
    return rs;
}

// The saved result of an item; fails when there is none.
QVariantList savedResult(const ProcedureContext& ctx, const QString& req, const QString& item)
{
    const ResultSet rs = ctx.store().query(
        QStringLiteral("SELECT ResultKind, coalesce(SIResult, ''), coalesce(PatientValue, ''), "
                       "coalesce(Result, ''), coalesce(Remarks, ''), Verified FROM tbLabResult "
                       "WHERE RequestNum = ? AND ItemID = ?"),
        {req, item});
    if (rs.rows.isEmpty())
        ctx.fail(QStringLiteral("request %1 has no saved result of %2.")
                     .arg(commandExcerpt(req), commandExcerpt(item)));
    return rs.rows.first();
}

// The latest audit row of a field: its id and new value; id 0 when none.
std::pair<qint64, QString> lastAudited(LabStore& s, const QString& req, const QString& item,
                                       const QString& field)
{
    const ResultSet rs = s.query(
        QStringLiteral("SELECT AuditID, NewValue FROM tbLabResultAudit WHERE RequestNum = ? AND "
                       "ItemID = ? AND Field = ? ORDER BY AuditID DESC LIMIT 1"),
        {req, item, field});
    if (rs.rows.isEmpty())
        return {0, QString()};
    return {rs.rows[0][0].toLongLong(), rs.rows[0][1].toString()};
}

// request, item, employee, source ('I' instrument, 'T' typed), instrument,
// sample, workstation; sent after the row's save. Each field of the saved
// result that differs from what the audit trail last recorded is recorded
// with its old and new value; a changed value also records who entered it
// and from where, and drops the critical call and delta acknowledgement of
// the value it replaced. A verified value replaced is kept as corrected.
// Whether the result stands verified is recorded the same way.
ResultSet recordResultEntry(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, 0);
    const QString item = required(ctx, 1, QStringLiteral("@ItemID"));
    const QString employee = required(ctx, 2, QStringLiteral("@EmployeeCode"));
    const QString source = ctx.key(3).trimmed().toUpper();
    if (source != QLatin1String("I") && source != QLatin1String("T"))
        ctx.fail(QStringLiteral("argument 4 (@Source) %1 is neither I nor T.")
                     .arg(commandExcerpt(ctx.text(3))));
    const QString where = ctx.key(6);
    LabStore& s = ctx.store();
    const QVariantList row = savedResult(ctx, req, item);
    const bool normal = row[0].toString() == QLatin1String("N");
    QList<std::pair<QString, QString>> fields = {
        {QStringLiteral("Result"), normal ? row[1].toString() : row[2].toString()}};
    if (!normal)
        fields += {{QStringLiteral("Interpretation"), row[3].toString()},
                   {QStringLiteral("Remarks"), row[4].toString()}};
    fields.append({QStringLiteral("Verified"), row[5].toString()});
    const qint64 verifiedAt = lastAudited(s, req, item, QStringLiteral("Verified")).first;
    for (const auto& [field, value] : fields) {
        auto [id, last] = lastAudited(s, req, item, field);
        const bool unverified = field == QLatin1String("Verified") && value == QLatin1String("N");
        if (id == 0 && field == QLatin1String("Verified"))
            last = QStringLiteral("N"); // a result is saved unverified first
        if ((id == 0 && (value.isEmpty() || unverified)) || (id != 0 && last == value))
            continue;
        audit(s, req, item, field, last, value, employee, where);
        if (field != QLatin1String("Result"))
            continue;
        s.exec(QStringLiteral(
                   "UPDATE tbLabResult SET EntryBy = ?, EntryAt = ?, EntrySource = ?, "
                   "EntryInstrument = ?, EntrySample = ?, EntryWorkstation = ? "
                   "WHERE RequestNum = ? AND ItemID = ?"),
               {employee, now(), source, source == QLatin1String("I") ? ctx.key(4) : QString(),
                source == QLatin1String("I") ? ctx.key(5) : QString(),
                where.isEmpty() ? workstation() : where, req, item});
        // A first record of a value saved before keeps what was said of it.
        if (id != 0)
            s.exec(QStringLiteral("UPDATE tbLabResult SET CriticalCalledTo = NULL, "
                                  "CriticalCalledAt = NULL, CriticalCalledBy = NULL, "
                                  "DeltaAcknowledgedBy = NULL, DeltaAcknowledgedAt = NULL "
                                  "WHERE RequestNum = ? AND ItemID = ?"),
                   {req, item});
        if (id != 0 && verifiedAt > id)
            s.exec(QStringLiteral("UPDATE tbLabResult SET CorrectedFrom = ? "
                                  "WHERE RequestNum = ? AND ItemID = ?"),
                   {last, req, item});
    }
    return {};
}

// request, item, reported to, called at, employee, workstation.
ResultSet recordCriticalCall(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, 0);
    const QString item = required(ctx, 1, QStringLiteral("@ItemID"));
    const QString to = ctx.text(2).trimmed();
    if (to.isEmpty())
        ctx.fail(QStringLiteral("argument 3 (@ReportedTo) is empty: say to whom the critical "
                                "result was reported."));
    const QDateTime at = ctx.dateTime(3, QStringLiteral("@CalledAt"));
    const QString employee = required(ctx, 4, QStringLiteral("@EmployeeCode"));
    savedResult(ctx, req, item);
    LabStore& s = ctx.store();
    const QString before = lastAudited(s, req, item, QStringLiteral("Critical call")).second;
    s.exec(QStringLiteral("UPDATE tbLabResult SET CriticalCalledTo = ?, CriticalCalledAt = ?, "
                          "CriticalCalledBy = ? WHERE RequestNum = ? AND ItemID = ?"),
           {to, stored(at), employee, req, item});
    audit(s, req, item, QStringLiteral("Critical call"), before,
          QStringLiteral("%1 at %2").arg(to, DateText::general(at)), employee, ctx.key(5));
    return {};
}

// request, item, employee.
ResultSet acknowledgeDelta(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, 0);
    const QString item = required(ctx, 1, QStringLiteral("@ItemID"));
    const QString employee = required(ctx, 2, QStringLiteral("@EmployeeCode"));
    savedResult(ctx, req, item);
    ctx.store().exec(QStringLiteral("UPDATE tbLabResult SET DeltaAcknowledgedBy = ?, "
                                    "DeltaAcknowledgedAt = ? WHERE RequestNum = ? AND ItemID = ?"),
                     {employee, now(), req, item});
    audit(ctx.store(), req, item, QStringLiteral("Delta acknowledged"), QString(), employee,
          employee);
    return {};
}

// request. The audit trail of its results, oldest first.
ResultSet getAuditTrail(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral("SELECT ChangedAt, ItemID, Field, OldValue, NewValue, ChangedBy, "
                       "Workstation FROM tbLabResultAudit WHERE RequestNum = ? ORDER BY AuditID"),
        {ctx.key(0)}, {QStringLiteral("ChangedAt")});
}
} // namespace

void registerCheckProcedures()
{
    ProcedureRegistry::add({QStringLiteral("Lab_GetResultChecks"), 1, 1, getResultChecks,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_RecordResultEntry"), 7, 7, recordResultEntry});
    ProcedureRegistry::add({QStringLiteral("Lab_RecordCriticalCall"), 6, 6, recordCriticalCall});
    ProcedureRegistry::add({QStringLiteral("Lab_AcknowledgeDelta"), 3, 3, acknowledgeDelta});
    ProcedureRegistry::add(
        {QStringLiteral("Lab_GetAuditTrail"), 1, 1, getAuditTrail, ProcedureAccess::Reads});
}
