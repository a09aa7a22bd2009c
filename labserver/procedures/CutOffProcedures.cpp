#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"

using namespace ProcedureSupport;

namespace {
struct FillArg {
    enum : int { Request, EntryMode };
};

// request, entry mode. The exams of the request in their order on the
// form. Entry mode 2 (re-entry) lists only exams without a saved result;
// every other mode lists them all.
ResultSet fillExams(ProcedureContext& ctx)
{
    const QString req = ctx.key(FillArg::Request);
    const int entryMode = ctx.integer(FillArg::EntryMode, QStringLiteral("@EntryMode"));
    const ResultSet items = ctx.store().query(
        QStringLiteral("SELECT f.ItemID, r.RequestNum FROM tbLabRequest r "
                       "JOIN tbLabExamFormat f ON f.Code = r.Code "
                       "WHERE r.RequestNum = ? AND (? <> 2 OR NOT EXISTS (SELECT 1 FROM "
                       "tbLabResult x WHERE x.RequestNum = r.RequestNum AND x.ItemID = f.ItemID)) "
                       "ORDER BY f.SortOrder, f.ItemID"),
        {req, entryMode});
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamId"), QStringLiteral("Exam"), QStringLiteral("Lab#"),
                  QStringLiteral("Normal Values")};
    ItemCache cache(ctx.store());
    const PatientRanges ranges(ctx.store(), req);
    for (const QVariantList& row : items.rows) {
        const auto& item = cache[row[0].toString()];
        if (!item)
            continue;
        rs.rows.append({item->id, item->name, row[1], ranges.applied(*item).siNormal()});
    }
    return rs;
}

// The rule a cut-off result is read by: the cut-off saved with it when that
// is a number, otherwise the exam's own, in the exam's direction, words and
// grey zone. None for an exam without a cut-off.
std::optional<LabLogic::CutOffRule> ruleOf(const std::optional<ExamItem>& item,
                                           const QString& savedCutOff)
{
    if (!item)
        return std::nullopt;
    std::optional<LabLogic::Decimal> cutOff = LabLogic::Decimal::parse(savedCutOff);
    if (!cutOff && item->cutOff)
        cutOff = LabLogic::Decimal(*item->cutOff);
    if (!cutOff)
        return std::nullopt;
    return LabLogic::CutOffRule{*cutOff, item->reactiveAtOrAbove, item->positiveLabel,
                                item->negativeLabel, item->greyZone};
}

// request. The saved cut-off results with their interpretation, by the
// rule the save stored it with: a number is read against the saved cut-off
// (or the exam's own), a word is shown as typed. Reports print these.
ResultSet resultWithCutOff(ProcedureContext& ctx)
{
    const ResultSet saved = savedCutOffResults(ctx.store(), ctx.key(0));
    ResultSet rs;
    rs.columns = {QStringLiteral("ItemID"),       QStringLiteral("ExamName"),
                  QStringLiteral("PatientValue"), QStringLiteral("result"),
                  QStringLiteral("RequestNum"),   QStringLiteral("CutOffValue")};
    ItemCache cache(ctx.store());
    for (const QVariantList& r : saved.rows) {
        const QString result = LabLogic::interpretResult(
            r[2].toString(), r[3].toString(), ruleOf(cache[r[0].toString()], r[5].toString()));
        rs.rows.append({r[0], r[1], r[2], result, r[4], r[5]});
    }
    return rs;
}

// The arguments of a cut-off save, in the order callers send them.
struct CutOffArg {
    enum : int {
        Accession,
        Submitted,
        LraTime,
        Request,
        Item,
        FormType,
        ExamName,
        Value,
        CutOff,
        Result,
        Remarks,
        RowNo,
        Reason
    };
};

// The request's result header as a cut-off save leaves it.
void saveHeader(ProcedureContext& ctx, const QString& req, const QVariant& submitted,
                const QVariant& lra, const QString& at)
{
    ctx.store().exec(
        QStringLiteral(
            "INSERT INTO tbLabResultHeader (RequestNum, AccessionNum, SampleSubmitted, "
            "LRATime, ResultDate, Remarks, EnteredAt) VALUES (?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT (RequestNum) DO UPDATE SET AccessionNum = excluded.AccessionNum, "
            "SampleSubmitted = excluded.SampleSubmitted, LRATime = excluded.LRATime, "
            "ResultDate = excluded.ResultDate, Remarks = excluded.Remarks, "
            "EnteredAt = excluded.EnteredAt"),
        {req, ctx.text(CutOffArg::Accession), submitted, lra, at, ctx.text(CutOffArg::Remarks),
         at});
}

// One cut-off result, stored or replaced, with the request's result header.
// Any form type whose rows are read against a cut-off (5, W, H, a
// package's) saves here.
ResultSet saveWithCutOff(ProcedureContext& ctx)
{
    const QDateTime submitted =
        ctx.dateTime(CutOffArg::Submitted, QStringLiteral("@SampleSubmitted"));
    const QDateTime lra = ctx.dateTime(CutOffArg::LraTime, QStringLiteral("@LRATime"));
    const QString req = existingRequest(ctx, CutOffArg::Request);
    const ExamItem item = existingExamItem(ctx, CutOffArg::Item);
    const int row = ctx.integer(CutOffArg::RowNo, QStringLiteral("@RowNo"));
    // The interpretation handed in is what the window showed, possibly for
    // a value since changed: a number is interpreted here. A number handed
    // only as the result (an instrument's, without a value) is the value.
    const QString handed = ctx.text(CutOffArg::Result);
    const QString value =
        ctx.text(CutOffArg::Value).trimmed().isEmpty() && ResultValue::read(handed).hasNumber()
            ? handed
            : ctx.text(CutOffArg::Value);
    acceptedValue(value, item, req);
    const QString result =
        LabLogic::interpretResult(value, handed, ruleOf(item, ctx.text(CutOffArg::CutOff)));
    const QString at = now();
    LabStore& s = ctx.store();

    // A result saved before with normal values keeps none of them. The save
    // names no employee: the one the transaction works for (the window's,
    // the logbook's) entered a changed value.
    QVariantList values = {req,
                           item.id,
                           row,
                           ctx.text(CutOffArg::ExamName),
                           ctx.key(CutOffArg::FormType),
                           value,
                           ctx.text(CutOffArg::CutOff),
                           result,
                           ctx.text(CutOffArg::Remarks),
                           at};
    values << entryValues(s.auditEmployee());
    const QString reason = amendmentReason(ctx, CutOffArg::Reason);
    if (!reason.isEmpty())
        s.setAuditNote(reason);
    s.exec(
        QStringLiteral(
            "INSERT INTO tbLabResult (RequestNum, ItemID, ResultKind, RowNo, ExamName, "
            "FormType, PatientValue, CutOffValue, Result, Remarks, EnteredAt, %1) "
            "VALUES (?, ?, 'C', ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) "
            "ON CONFLICT (RequestNum, ItemID) DO UPDATE SET %2, ResultKind = 'C', "
            "RowNo = excluded.RowNo, ExamName = excluded.ExamName, "
            "FormType = excluded.FormType, PatientValue = excluded.PatientValue, "
            "CutOffValue = excluded.CutOffValue, Result = excluded.Result, "
            "Remarks = excluded.Remarks, EnteredAt = excluded.EnteredAt, Verified = 'N', "
            "VerifiedBy = NULL, VerifiedAt = NULL, SIResult = NULL, SINormalValues = NULL, "
            "SIUnit = NULL, SIMin = NULL, SIMax = NULL, CResult = NULL, "
            "CNormalValues = NULL, CUnit = NULL, \"CMin\" = NULL, \"CMax\" = NULL, Factor = NULL")
            .arg(entryColumns(), entryOnChange(QStringLiteral("PatientValue"))),
        values);
    if (!reason.isEmpty())
        s.setAuditNote(QString());
    saveHeader(ctx, req, stored(submitted), stored(lra), at);
    return {};
}
} // namespace

void registerCutOffProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("Lab_FormMaker_FillExams"), 2, 2, fillExams, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_GetResultWithCutOff"), 1, 1, resultWithCutOff,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_SaveWithCutOff"), 12, 13, saveWithCutOff});
}
