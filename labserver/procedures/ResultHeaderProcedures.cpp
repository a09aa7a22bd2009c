#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "labserver/procedures/ResultGuard.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"

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

struct LogbookArg {
    enum : int { Request, Note, Employee, Submitted, LraTime, Accession };
};

// request, note, employee, sample submitted, LRA time, accession number
ResultSet saveToLogbook(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, LogbookArg::Request);
    if (!ctx.key(LogbookArg::Employee).isEmpty())
        ctx.store().setAuditContext(ctx.key(LogbookArg::Employee), workstation(), now());
    ctx.store().exec(
        QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, Note, EmployeeCode, "
                       "SampleSubmitted, LRATime, AccessionNum, LoggedAt) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?)"),
        {req, ctx.text(LogbookArg::Note), ctx.key(LogbookArg::Employee),
         stored(ctx.optionalDateTime(LogbookArg::Submitted, QStringLiteral("@SampleSubmitted"))),
         stored(ctx.optionalDateTime(LogbookArg::LraTime, QStringLiteral("@LRATime"))),
         ctx.text(LogbookArg::Accession), now()});
    return {};
}

struct VerifyArg {
    enum : int { Request, Employee };
};

// request, employee: every result of the request with a value is verified
// by the employee, who must be allowed to; under a second verifier a
// result the employee entered waits for someone else. What a verified
// result must have is checked before the transaction commits.
ResultSet verifyResults(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, VerifyArg::Request);
    const QString employee = required(ctx, VerifyArg::Employee, QStringLiteral("@EmployeeCode"));
    const QString at = now();
    LabStore& s = ctx.store();
    ResultGuard::requireVerifier(s, employee, req);
    s.setAuditContext(employee, workstation(), at);
    // A verification that marks nothing would be reported as done.
    if (s.exec(QStringLiteral("UPDATE tbLabResultHeader SET VerifiedBy = ?, VerifiedAt = ? "
                              "WHERE RequestNum = ?"),
               {employee, at, req}) == 0)
        ctx.fail(
            QStringLiteral("request %1 has no saved results to verify.").arg(commandExcerpt(req)));
    const bool separate = ResultGuard::separateVerifier(s);
    s.exec(QStringLiteral(
               "UPDATE tbLabResult SET Verified = 'Y', VerifiedBy = ?, VerifiedAt = ? "
               "WHERE RequestNum = ? AND trim(coalesce(CASE ResultKind WHEN 'N' THEN SIResult "
               "ELSE PatientValue END, '')) <> '' AND NOT (Verified = 'Y' AND "
               "lower(coalesce(VerifiedBy, '')) = lower(?)) AND (? = 0 OR "
               "lower(coalesce(EntryBy, '')) <> lower(?))"),
           {employee, at, req, employee, separate ? 1 : 0, employee});
    // What stays unverified, and why: entered by this verifier (waits for
    // another), or without a value.
    return s.query(
        QStringLiteral("SELECT ItemID, ExamName, CASE WHEN trim(coalesce(CASE ResultKind WHEN 'N' "
                       "THEN SIResult ELSE PatientValue END, '')) = '' THEN 'no value' ELSE "
                       "'entered' END AS Waiting FROM tbLabResult WHERE RequestNum = ? AND "
                       "Verified <> 'Y' ORDER BY RowNo, ItemID"),
        {req});
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
