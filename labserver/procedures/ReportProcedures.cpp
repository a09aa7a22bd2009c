#include "LabStore.h"
#include "ProcedureSupport.h"
#include "Procedures.h"

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

// The saved cut-off results with their interpretation and unit.
ResultSet reportCutOffResults(ProcedureContext& ctx)
{
    const ResultSet saved = savedCutOffResults(ctx.store(), ctx.key(0));
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Value"),
                  QStringLiteral("Result"),   QStringLiteral("Unit"),
                  QStringLiteral("CutOff"),   QStringLiteral("NormalValue")};
    ItemCache items(ctx.store());
    for (const QVariantList& r : saved.rows) {
        const auto& item = items[r[0].toString()];
        const QString result =
            shownInterpretation(item, r[2].toString(), r[3].toString(), r[5].toString());
        rs.rows.append({r[1], r[2].toString(), result, item ? item->siUnit : QString(),
                        item && item->cutOff ? LabLogic::fixed(*item->cutOff, 1) : QString(),
                        item ? item->siNormal() : QString()});
    }
    return rs;
}

// The saved normal-value results in one unit system: 'SI' or 'C'.
ResultSet reportNormalValues(ProcedureContext& ctx, bool si)
{
    const ResultSet saved = ctx.store().query(
        QStringLiteral("SELECT ItemID, ExamName, SIResult, SINormalValues, SIUnit, CResult, "
                       "CNormalValues, CUnit, Factor FROM tbLabResult WHERE RequestNum = ? AND "
                       "ResultKind = 'N' ORDER BY RowNo, ItemID"),
        {ctx.key(0)});
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Result"), QStringLiteral("Unit"),
                  QStringLiteral("NormalValues"), QStringLiteral("Flag")};
    ItemCache items(ctx.store());
    const auto orElse = [](const QVariant& v, const QString& fallback) {
        return v.toString().trimmed().isEmpty() ? fallback : v.toString();
    };
    for (const QVariantList& r : saved.rows) {
        const ExamItem item = items[r[0].toString()].value_or(ExamItem{});
        const QString siValue = r[2].toString();
        QString flag;
        if (const auto v = LabLogic::number(siValue)) {
            if (item.siMin && *v < *item.siMin)
                flag = QStringLiteral("L");
            else if (item.siMax && *v > *item.siMax)
                flag = QStringLiteral("H");
        }
        if (si) {
            rs.rows.append({orElse(r[1], item.name), siValue, orElse(r[4], item.siUnit),
                            orElse(r[3], item.siNormal()), flag});
        } else {
            const auto factor = LabLogic::number(r[8].toString());
            rs.rows.append(
                {orElse(r[1], item.name),
                 orElse(r[5], LabLogic::toConventional(siValue, factor ? factor : item.factor,
                                                       item.cDecimals)),
                 orElse(r[7], item.cUnit), orElse(r[6], item.conventionalNormal()), flag});
        }
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
    ProcedureRegistry::add({QStringLiteral("Lab_Report_ConventionalUnits"), 1, 1,
                            [](ProcedureContext& c) { return reportNormalValues(c, false); },
                            ProcedureAccess::Reads});
}
