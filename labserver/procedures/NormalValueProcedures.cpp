#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "labserver/procedures/ResultGuard.h"
#include "platform/CommandExcerpt.h"

#include "labrules/Numeric.h"

using namespace ProcedureSupport;

namespace {
QString orElse(const QVariant& saved, const QString& fallback)
{
    const QString s = saved.toString();
    return s.trimmed().isEmpty() ? fallback : s;
}

QString limit(std::optional<double> v, int decimals)
{
    return v ? LabLogic::fixed(*v, decimals) : QString();
}

// In full: the window hands it back with the next save.
QString factorText(std::optional<double> f)
{
    return f ? numberText(*f) : QString();
}

// The factor of a result: the one saved with it when that is a number,
// else the exam's.
std::optional<double> factorOf(const ExamItem& item, const QString& savedFactor)
{
    const std::optional<double> saved = LabLogic::number(savedFactor);
    return saved ? saved : item.factor;
}

QString conventionalOf(const ExamItem& item, const QString& si, const QString& conventional,
                       const QString& savedFactor)
{
    return LabLogic::conventionalResult(si, conventional, factorOf(item, savedFactor),
                                        item.cDecimals);
}

struct Limits {
    std::optional<double> min;
    std::optional<double> max;
};

std::optional<double> optionalNumber(const QVariant& v)
{
    return v.isNull() ? std::nullopt : std::optional(v.toDouble());
}

// The exam's conventional limits as the laboratory states them: 5.2 mmol/L
// cholesterol converts to 201 mg/dL, the limit printed is < 200. An exam
// defined without them has its SI limits converted.
Limits conventionalLimits(LabStore& store, const ExamItem& item)
{
    const ResultSet rs = store.query(
        QStringLiteral("SELECT \"CMin\", \"CMax\" FROM tbLabExamItem WHERE ItemID = ?"), {item.id});
    Limits own;
    if (!rs.rows.isEmpty())
        own = {optionalNumber(rs.rows[0][0]), optionalNumber(rs.rows[0][1])};
    if (own.min || own.max || !item.factor)
        return own;
    return {item.conventional(item.siMin), item.conventional(item.siMax)};
}

// request. The saved normal-value results, one row per exam, in both unit
// systems. What the save left empty comes from the exam's definition; the
// conventional result is the SI one times the factor whenever the SI one is
// a number, as the save stored it. No column is ever Null. Reports print
// these.
ResultSet reagentValues(ProcedureContext& ctx)
{
    const ResultSet saved = ctx.store().query(
        QStringLiteral(
            "SELECT RequestNum, ItemID, ExamName, SIResult, SINormalValues, SIUnit, "
            "SIMin, SIMax, CResult, CNormalValues, CUnit, \"CMin\", \"CMax\", Factor, FormType "
            "FROM tbLabResult WHERE RequestNum = ? AND ResultKind = 'N' "
            "ORDER BY RowNo, ItemID"),
        {ctx.key(0)});
    ResultSet rs;
    rs.columns = {
        QStringLiteral("RequestNum"), QStringLiteral("ExamCode"), QStringLiteral("ExamName"),
        QStringLiteral("sResult"),    QStringLiteral("sNValues"), QStringLiteral("sUnit"),
        QStringLiteral("sMin"),       QStringLiteral("sMax"),     QStringLiteral("CResult"),
        QStringLiteral("cNValues"),   QStringLiteral("CUnit"),    QStringLiteral("CMin"),
        QStringLiteral("CMax"),       QStringLiteral("Factor"),   QStringLiteral("FormType")};
    ItemCache cache(ctx.store());
    const PatientRanges ranges(ctx.store(), ctx.key(0));
    for (const QVariantList& r : saved.rows) {
        const ExamItem item = cache[r[1].toString()].value_or(ExamItem{});
        const QString si = r[3].toString();
        const Limits conventional = conventionalLimits(ctx.store(), item);
        // The patient's own range holds over whatever range was saved.
        if (const auto range = ranges.of(item.id)) {
            const ExamItem own = ranges.applied(item);
            const auto [cMin, cMax] = PatientRanges::conventional(*range, item);
            rs.rows.append({r[0].toString(), r[1].toString(), orElse(r[2], item.name), si,
                            own.siNormal(), orElse(r[5], item.siUnit),
                            limit(own.siMin, item.siDecimals), limit(own.siMax, item.siDecimals),
                            conventionalOf(item, si, r[8].toString(), r[13].toString()),
                            LabLogic::range(cMin, cMax, item.cDecimals), orElse(r[10], item.cUnit),
                            limit(cMin, item.cDecimals), limit(cMax, item.cDecimals),
                            orElse(r[13], factorText(item.factor)), orElse(r[14], item.formType)});
            continue;
        }
        rs.rows.append({
            r[0].toString(),
            r[1].toString(),
            orElse(r[2], item.name),
            si,
            orElse(r[4], item.siNormal()),
            orElse(r[5], item.siUnit),
            orElse(r[6], limit(item.siMin, item.siDecimals)),
            orElse(r[7], limit(item.siMax, item.siDecimals)),
            conventionalOf(item, si, r[8].toString(), r[13].toString()),
            orElse(r[9], LabLogic::range(conventional.min, conventional.max, item.cDecimals)),
            orElse(r[10], item.cUnit),
            orElse(r[11], limit(conventional.min, item.cDecimals)),
            orElse(r[12], limit(conventional.max, item.cDecimals)),
            orElse(r[13], factorText(item.factor)),
            orElse(r[14], item.formType),
        });
    }
    return rs;
}

// The arguments of a normal-value save, in the order callers send them.
struct NvArg {
    enum : int {
        Request,
        Item,
        SiResult,
        SiNormalValues,
        SiUnit,
        SiMin,
        SiMax,
        CResult,
        CNormalValues,
        CUnit,
        CMin,
        CMax,
        Factor,
        FormType,
        RowNo,
        Accession,
        Remarks,
        Submitted,
        LraTime,
        LogbookNote,
        Employee,
        Verified,
        Method,
        Reported,
        Reason
    };
};

// The request's result header as a normal-value save leaves it; moments:
// submitted, LRA time, reported.
void saveHeader(ProcedureContext& ctx, const QString& req, const QVariantList& moments,
                const QString& employee, const QString& at)
{
    ctx.store().exec(
        QStringLiteral(
            "INSERT INTO tbLabResultHeader (RequestNum, AccessionNum, SampleSubmitted, "
            "LRATime, ResultDate, Remarks, Method, EnteredBy, EnteredAt) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT (RequestNum) DO UPDATE SET AccessionNum = excluded.AccessionNum, "
            "SampleSubmitted = excluded.SampleSubmitted, LRATime = excluded.LRATime, "
            "ResultDate = excluded.ResultDate, Remarks = excluded.Remarks, "
            "Method = excluded.Method, EnteredBy = excluded.EnteredBy, "
            "EnteredAt = excluded.EnteredAt"),
        {req, ctx.text(NvArg::Accession), moments[0], moments[1], moments[2],
         ctx.text(NvArg::Remarks), ctx.text(NvArg::Method), employee, at});
}

// The save's verified flag: Y or N.
QString verifiedFlag(ProcedureContext& ctx)
{
    const QString flag = ctx.key(NvArg::Verified).trimmed().toUpper();
    if (flag != QLatin1String("Y") && flag != QLatin1String("N"))
        ctx.fail(QStringLiteral("argument 22 (@Verified) %1 is neither Y nor N.")
                     .arg(commandExcerpt(ctx.text(NvArg::Verified))));
    return flag;
}

// Stores a normal-value result or replaces the request's result of its item.
void storeNormalValueResult(LabStore& s, const QVariantList& values)
{
    s.exec(
        QStringLiteral(
            "INSERT INTO tbLabResult (RequestNum, ItemID, ResultKind, RowNo, ExamName, "
            "SIResult, SINormalValues, SIUnit, SIMin, SIMax, CResult, CNormalValues, CUnit, "
            "\"CMin\", \"CMax\", Factor, FormType, Verified, EnteredBy, EnteredAt, VerifiedBy, "
            "VerifiedAt, %1) VALUES (?, ?, 'N', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, "
            "?, ?, ?, ?, ?, ?) ON CONFLICT (RequestNum, ItemID) DO UPDATE SET %2, ResultKind = "
            "'N', "
            "RowNo = excluded.RowNo, ExamName = excluded.ExamName, "
            "SIResult = excluded.SIResult, SINormalValues = excluded.SINormalValues, "
            "SIUnit = excluded.SIUnit, SIMin = excluded.SIMin, SIMax = excluded.SIMax, "
            "CResult = excluded.CResult, CNormalValues = excluded.CNormalValues, "
            "CUnit = excluded.CUnit, \"CMin\" = excluded.\"CMin\", \"CMax\" = excluded.\"CMax\", "
            "Factor = excluded.Factor, FormType = excluded.FormType, "
            "Verified = excluded.Verified, EnteredBy = excluded.EnteredBy, "
            "EnteredAt = excluded.EnteredAt, VerifiedBy = excluded.VerifiedBy, "
            "VerifiedAt = excluded.VerifiedAt, "
            "PatientValue = NULL, CutOffValue = NULL, Result = NULL, Remarks = NULL")
            .arg(entryColumns(), entryOnChange(QStringLiteral("SIResult"))),
        values);
}

// A result without a value is never verified; under a second verifier a
// value entered now waits for someone else.
bool verifiesNow(LabStore& s, const QString& flag, const ResultValue::Read& read,
                 const QString& employee, const QString& req, bool changed)
{
    bool verify = flag == QLatin1String("Y") && read.form != ResultValue::Form::Empty;
    if (verify)
        ResultGuard::requireVerifier(s, employee, req);
    if (verify && changed && ResultGuard::separateVerifier(s))
        verify = false;
    return verify;
}

// One normal-value result, stored or replaced, with the request's result
// header; the logbook note is not kept here (the logbook has its own). The
// conventional result handed in is what the window showed, possibly for an
// SI result since corrected: it is derived here from the SI result whenever
// that is a number.
ResultSet saveWithNormalValues(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, NvArg::Request);
    const ExamItem item = existingExamItem(ctx, NvArg::Item);
    const int row = ctx.integer(NvArg::RowNo, QStringLiteral("@RowNo"));
    const QDateTime submitted = ctx.dateTime(NvArg::Submitted, QStringLiteral("@SampleSubmitted"));
    const QDateTime lra = ctx.dateTime(NvArg::LraTime, QStringLiteral("@LRATime"));
    const QString flag = verifiedFlag(ctx);
    const QDateTime reported = ctx.dateTime(NvArg::Reported, QStringLiteral("@DateTimeReported"));
    const QString employee = ctx.key(NvArg::Employee);
    const QString at = now();
    LabStore& s = ctx.store();
    s.setAuditContext(employee, workstation(), at, amendmentReason(ctx, NvArg::Reason));
    const ResultValue::Read read = acceptedValue(ctx.text(NvArg::SiResult), item, req);
    const PriorResult prior = priorResult(s, req, item.id);
    const bool changed =
        !prior.exists || prior.value.trimmed() != ctx.text(NvArg::SiResult).trimmed();
    const bool verify = verifiesNow(s, flag, read, employee, req, changed);
    const bool keepVerifier = verify && prior.verified && !changed;
    QVariantList values = {req, item.id, row, item.name};
    // The columns SIResult to FormType, in the arguments' order.
    for (int i = NvArg::SiResult; i <= NvArg::FormType; ++i)
        values.append(i == NvArg::CResult
                          ? conventionalOf(item, ctx.text(NvArg::SiResult),
                                           ctx.text(NvArg::CResult), ctx.text(NvArg::Factor))
                          : ctx.text(i));
    values << (verify ? QStringLiteral("Y") : QStringLiteral("N")) << employee << at
           << (!verify        ? QVariant()
               : keepVerifier ? QVariant(prior.verifiedBy)
                              : QVariant(employee))
           << (!verify        ? QVariant()
               : keepVerifier ? prior.verifiedAt
                              : QVariant(at))
           << entryValues(employee);
    storeNormalValueResult(s, values);
    s.setAuditNote(QString());
    saveHeader(ctx, req, {stored(submitted), stored(lra), stored(reported)}, employee, at);
    return {};
}

struct SummaryArg {
    enum : int { Request, Summary };
};

ResultSet deleteSummary(ProcedureContext& ctx)
{
    ctx.store().exec(QStringLiteral("DELETE FROM tbLabResultSummary WHERE RequestNum = ?"),
                     {existingRequest(ctx, SummaryArg::Request)});
    return {};
}

ResultSet saveSummary(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, SummaryArg::Request);
    ctx.store().exec(
        QStringLiteral("INSERT INTO tbLabResultSummary (RequestNum, Summary) VALUES (?, ?)"),
        {req, ctx.text(SummaryArg::Summary)});
    return {};
}
} // namespace

void registerNormalValueProcedures()
{
    ProcedureRegistry::add({QStringLiteral("Lab_FormMaker_GetResult_ReagentValues"), 1, 1,
                            reagentValues, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2"), 24, 25,
                            saveWithNormalValues});
    ProcedureRegistry::add({QStringLiteral("Lab_DeleteDump_ResultSummary"), 1, 1, deleteSummary});
    ProcedureRegistry::add({QStringLiteral("Lab_SaveDump_ResultSummary"), 2, 2, saveSummary});
}
