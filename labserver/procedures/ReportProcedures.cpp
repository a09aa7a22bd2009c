#include "DateText.h"
#include "LabStore.h"
#include "ProcedureSupport.h"
#include "Procedures.h"
#include "ResultCheckSupport.h"

#include <QHash>

using namespace ProcedureSupport;

namespace {
// The request, its patient and its saved result header, as a report's
// header block prints them. Names of staff instead of their codes.
ResultSet reportRequest(ProcedureContext& ctx)
{
    const QString req = ctx.key(0);
    ResultSet rs = ctx.store().query(
        QStringLiteral(
            "SELECT r.RequestNum, r.RefNum, p.HospNum, "
            "p.LastName || ', ' || p.FirstName || CASE WHEN p.MiddleName <> '' THEN ' ' || "
            "p.MiddleName ELSE '' END AS PatientName, p.Sex, p.BirthDate, "
            "coalesce(a.Ward, '') AS Ward, coalesce(a.RoomId, '') AS RoomId, r.Doctor, "
            "r.RequestDate, e.ExamName, coalesce(s.LabSection, '') AS LabSection, "
            "coalesce(sp.Specimen, '') AS Specimen, coalesce(pa.StaffName, '') AS Pathologist, "
            "coalesce(h.AccessionNum, '') AS AccessionNum, h.SampleSubmitted, h.ResultDate, "
            "coalesce(h.Remarks, '') AS Remarks, "
            "coalesce(en.StaffName, h.EnteredBy, lb.EmployeeCode, '') AS EnteredBy, "
            "coalesce(ve.StaffName, h.VerifiedBy, '') AS VerifiedBy, h.VerifiedAt "
            "FROM tbLabRequest r JOIN tbPatient p ON p.HospNum = r.HospNum "
            "JOIN tbLabExam e ON e.Code = r.Code "
            "LEFT JOIN tbAdmission a ON a.IDNum = r.IDNum "
            "LEFT JOIN tbLabSection s ON s.SectionID = e.SectionID "
            "LEFT JOIN tbLabSpecimen sp ON sp.SpecimenId = e.SpecimenId "
            "LEFT JOIN tbLabStaff pa ON pa.StaffID = e.PathologistID "
            "LEFT JOIN tbLabResultHeader h ON h.RequestNum = r.RequestNum "
            "LEFT JOIN (SELECT RequestNum, EmployeeCode FROM tbLabLogbook "
            "           WHERE RequestNum = ? ORDER BY LogbookID LIMIT 1) lb "
            "       ON lb.RequestNum = r.RequestNum "
            "LEFT JOIN tbLabStaff en ON en.StaffID = coalesce(nullif(h.EnteredBy, ''), "
            "lb.EmployeeCode) "
            "LEFT JOIN tbLabStaff ve ON ve.StaffID = h.VerifiedBy "
            "WHERE r.RequestNum = ?"),
        {req, req},
        {QStringLiteral("BirthDate"), QStringLiteral("RequestDate"),
         QStringLiteral("SampleSubmitted"), QStringLiteral("ResultDate"),
         QStringLiteral("VerifiedAt")});
    return rs;
}

// What the result window is shown for the request: reports print the same
// results, interpretations and conventional values.
ResultSet shownResults(ProcedureContext& ctx, const QString& procedure)
{
    ProcedureContext shown(ctx.store(), procedure, {ctx.key(0)});
    return ProcedureRegistry::find(procedure)->body(shown);
}

// The saved cut-off results with their interpretation and unit; the cut-off
// printed is the one they were read against.
ResultSet reportCutOffResults(ProcedureContext& ctx)
{
    const ResultSet shown = shownResults(ctx, QStringLiteral("Lab_GetResultWithCutOff"));
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Value"),
                  QStringLiteral("Result"),   QStringLiteral("Unit"),
                  QStringLiteral("CutOff"),   QStringLiteral("NormalValue")};
    ItemCache items(ctx.store());
    for (const QVariantList& r : shown.rows) {
        // ItemID, ExamName, PatientValue, result, RequestNum, CutOffValue
        const auto& item = items[r[0].toString()];
        std::optional<LabLogic::Decimal> cutOff = LabLogic::Decimal::parse(r[5].toString());
        if (!cutOff && item && item->cutOff)
            cutOff = LabLogic::Decimal(*item->cutOff);
        rs.rows.append({r[1], r[2].toString(), r[3].toString(), item ? item->siUnit : QString(),
                        cutOff ? cutOff->text(1) : QString(), item ? item->siNormal() : QString()});
    }
    return rs;
}

// The saved normal-value results in one unit system: 'SI' or 'C'. Each
// table flags the value it prints against its own range: the SI result
// against the SI limits and the critical ones (LL, HH), the conventional
// result against the conventional limits and the critical ones converted.
ResultSet reportNormalValues(ProcedureContext& ctx, bool si)
{
    const ResultSet shown =
        shownResults(ctx, QStringLiteral("Lab_FormMaker_GetResult_ReagentValues"));
    QHash<QString, ItemLimits> limits;
    for (const ItemCheck& c : itemChecks(ctx.store(), ctx.key(0)))
        limits.insert(c.itemId.toLower(), c.limits);
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Result"), QStringLiteral("Unit"),
                  QStringLiteral("NormalValues"), QStringLiteral("Flag")};
    for (const QVariantList& r : shown.rows) {
        // RequestNum, ExamCode, ExamName, sResult, sNValues, sUnit, sMin, sMax,
        // CResult, cNValues, CUnit, CMin, CMax, Factor, FormType
        const auto text = [&r](int c) { return r[c].toString(); };
        ItemLimits l = limits.value(text(1).toLower());
        l.min = LabLogic::number(text(6));
        l.max = LabLogic::number(text(7));
        l.factor = LabLogic::number(text(13));
        const QString flag =
            si ? ResultFlags::flag(text(3), l)
               : ResultFlags::conventionalFlag(text(8), LabLogic::number(text(11)),
                                               LabLogic::number(text(12)), l);
        if (si)
            rs.rows.append({text(2), text(3), text(5), text(4), flag});
        else
            rs.rows.append({text(2), text(8), text(10), text(9), flag});
    }
    return rs;
}

// What a report says beside the results: each critical result with to whom
// it was called, and each result corrected after it was verified with the
// value it replaced.
ResultSet reportResultNotes(ProcedureContext& ctx)
{
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Note")};
    for (const ItemCheck& c : itemChecks(ctx.store(), ctx.key(0))) {
        if (!c.saved)
            continue;
        const QString flag = c.flag();
        if (ResultFlags::isCritical(flag))
            rs.rows.append(
                {c.examName,
                 c.calledTo.isEmpty()
                     ? QStringLiteral("%1 %2 %3 critical: not yet reported").arg(c.value, c.unit, flag)
                     : QStringLiteral("%1 %2 %3 critical: reported to %4 at %5")
                           .arg(c.value, c.unit, flag, c.calledTo,
                                DateText::general(c.calledAt))});
        if (!c.correctedFrom.isEmpty())
            rs.rows.append({c.examName, QStringLiteral("corrected: earlier verified result %1 %2")
                                            .arg(c.correctedFrom, c.unit)});
    }
    return rs;
}
} // namespace

void registerReportProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("Lab_Report_Request"), 1, 1, reportRequest, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_CutOffResults"), 1, 2, reportCutOffResults,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_SIUnits"), 1, 1,
                            [](ProcedureContext& c) { return reportNormalValues(c, true); },
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_ResultNotes"), 1, 1, reportResultNotes,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_ConventionalUnits"), 1, 1,
                            [](ProcedureContext& c) { return reportNormalValues(c, false); },
                            ProcedureAccess::Reads});
}
