#include "CommandExcerpt.h"
#include "LabStore.h"
#include "LisError.h"
#include "ProcedureSupport.h"
#include "Procedures.h"
#include "ResultCheckSupport.h"

using namespace ProcedureSupport;

namespace {
// The saved result header of a request; no row before the first save.
ResultSet getResult(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral("SELECT LRATime AS lratime, SampleSubmitted AS samplesubmitted, "
                       "ResultDate AS Resultdate, EntryMode, Remarks, AccessionNum, Method, "
                       "EnteredBy, VerifiedBy, VerifiedAt FROM tbLabResultHeader "
                       "WHERE RequestNum = ?"),
        {ctx.key(0)},
        {QStringLiteral("lratime"), QStringLiteral("samplesubmitted"), QStringLiteral("Resultdate"),
         QStringLiteral("VerifiedAt")});
}

// request, note, employee, sample submitted, LRA time, accession number
ResultSet saveToLogbook(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, 0);
    ctx.store().exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, Note, EmployeeCode, "
                                    "SampleSubmitted, LRATime, AccessionNum, LoggedAt) "
                                    "VALUES (?, ?, ?, ?, ?, ?, ?)"),
                     {req, ctx.text(1), ctx.key(2),
                      stored(ctx.optionalDateTime(3, QStringLiteral("@SampleSubmitted"))),
                      stored(ctx.optionalDateTime(4, QStringLiteral("@LRATime"))), ctx.text(5),
                      now()});
    return {};
}

[[noreturn]] void refuse(const QString& why)
{
    throw LisError(ErrNo::DbCommandFailed, why);
}

// What stands in the way of the employee verifying the request: a critical
// result not called, a delta flag not acknowledged, and, when the laboratory
// asks for a second person, a result the employee entered.
void checkVerification(LabStore& s, const QString& req, const QString& employee)
{
    const QString separate =
        s.query(QStringLiteral("SELECT Value FROM tbLabOption WHERE Name = 'SeparateVerifier'"))
            .rows.value(0)
            .value(0)
            .toString();
    if (separate.trimmed().compare(u"Y", Qt::CaseInsensitive) == 0) {
        const ResultSet own = s.query(
            QStringLiteral("SELECT ExamName FROM tbLabResult WHERE RequestNum = ? AND "
                           "lower(EntryBy) = lower(?) ORDER BY RowNo, ItemID"),
            {req, employee});
        if (!own.rows.isEmpty())
            refuse(QStringLiteral("%1 entered the result of %2 on request %3: the laboratory "
                                  "has another medical technologist verify it.")
                       .arg(employee, own.rows[0][0].toString(), req));
    }
    for (const ItemCheck& c : itemChecks(s, req)) {
        if (!c.saved)
            continue;
        if (ResultFlags::isCritical(c.flag()) && c.calledTo.trimmed().isEmpty())
            refuse(QStringLiteral("The critical result %1 %2 (%3) of %4 on request %5 has not "
                                  "been reported: record to whom it was called before verifying.")
                       .arg(c.value, c.unit, c.flag(), c.examName, req));
        if (c.deltaExceeded() && c.acknowledgedBy.trimmed().isEmpty())
            refuse(QStringLiteral("The result %1 %2 of %3 on request %4 differs from the "
                                  "previous result %5 %6 by more than its delta limit: "
                                  "acknowledge it before verifying.")
                       .arg(c.value, c.unit, c.examName, req, c.limits.previous,
                            c.previousUnit));
    }
}

// request, employee: every result of the request is verified by the employee.
ResultSet verifyResults(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, 0);
    const QString employee = required(ctx, 1, QStringLiteral("@EmployeeCode"));
    const QString at = now();
    LabStore& s = ctx.store();
    checkVerification(s, req, employee);
    // A verification that marks nothing would be reported as done.
    if (s.exec(QStringLiteral("UPDATE tbLabResultHeader SET VerifiedBy = ?, VerifiedAt = ? "
                              "WHERE RequestNum = ?"),
               {employee, at, req}) == 0)
        ctx.fail(QStringLiteral("request %1 has no saved results to verify.")
                     .arg(commandExcerpt(req)));
    s.exec(QStringLiteral("UPDATE tbLabResult SET Verified = 'Y', VerifiedBy = ?, VerifiedAt = ? "
                          "WHERE RequestNum = ?"),
           {employee, at, req});
    // The audit trail records each result verified that it does not show so.
    const ResultSet states = s.query(
        QStringLiteral("SELECT r.ItemID, (SELECT a.NewValue FROM tbLabResultAudit a WHERE "
                       "a.RequestNum = r.RequestNum AND a.ItemID = r.ItemID AND "
                       "a.Field = 'Verified' ORDER BY a.AuditID DESC LIMIT 1) "
                       "FROM tbLabResult r WHERE r.RequestNum = ? ORDER BY r.RowNo, r.ItemID"),
        {req});
    for (const QVariantList& r : states.rows)
        if (r[1].toString() != QLatin1String("Y"))
            audit(s, req, r[0].toString(), QStringLiteral("Verified"),
                  r[1].isNull() ? QStringLiteral("N") : r[1].toString(), QStringLiteral("Y"),
                  employee);
    return {};
}
} // namespace

void registerResultHeaderProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("Lab_FormMaker_GetResult"), 1, 1, getResult, ProcedureAccess::Reads});
    ProcedureRegistry::add(
        {QStringLiteral("Lab_ResultEntryDLL_SaveToLogbook"), 6, 6, saveToLogbook});
    ProcedureRegistry::add({QStringLiteral("LAB_Save_VerifyResults"), 2, 2, verifyResults});
}
