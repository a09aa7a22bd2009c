#include "labserver/LabStore.h"
#include "labserver/ProcedureRegistry.h"
#include "labserver/SqlDialect.h"
#include "labserver/procedures/Procedures.h"

namespace {
// The request and its patient, one row, in the column order the result
// windows read. Every column is non-Null for a complete request.
const char* const kPatientInformation = R"SQL(
SELECT p.HospNum AS HospNum,
       r.IDNum AS IDNum,
       p.LastName || ', ' || p.FirstName ||
           CASE WHEN p.MiddleName <> '' THEN ' ' || p.MiddleName ELSE '' END AS PatientName,
       p.Sex AS Sex,
       %1 AS Age,
       p.CivilStatus AS CivilStatus,
       coalesce(a.RoomId, '') AS RoomId,
       coalesce(a.Class, '') AS Class,
       coalesce(a.Ward, '') AS Ward,
       r.RequestDate AS RequestDate,
       r.Doctor AS Doctor,
       r.Rush AS Rush,
       r.RefNum AS RefNum,
       coalesce(a.Transplant, 'N') AS Transplant,
       coalesce(a.Dialysis, 'N') AS Dialysis,
       r.OrNum AS OrNum,
       e.ExamName AS ExamName,
       coalesce(s.LabSection, '') AS LabSection,
       e.SectionID AS SectionID,
       e.Code AS Code,
       e.FormType AS FormType,
       e.ValueType AS ValueType,
       coalesce(pa.StaffName, '') AS Pathologist,
       e.SpecimenId AS SpecimenId,
       coalesce(sp.Specimen, '') AS Specimen,
       coalesce(rd.StaffName, '') AS Reader,
       e.ReaderID AS ReaderID,
       coalesce(ph.StaffName, '') AS Physician,
       r.PhysicianID AS PhysicianID,
       e.SupExamID AS SupExamID,
       coalesce(se.ExamName, '') AS SupExam,
       r.ResidentId AS ResidentId,
       coalesce(re.StaffName, '') AS Resident,
       p.BloodType AS BloodType
  FROM tbLabRequest r
  JOIN patient_data.tbPatient p ON p.HospNum = r.HospNum
  JOIN tbLabExam e ON e.Code = r.Code
  LEFT JOIN patient_data.tbAdmission a ON a.IDNum = r.IDNum
  LEFT JOIN tbLabSection s ON s.SectionID = e.SectionID
  LEFT JOIN tbLabSpecimen sp ON sp.SpecimenId = e.SpecimenId
  LEFT JOIN tbLabStaff pa ON pa.StaffID = e.PathologistID
  LEFT JOIN tbLabStaff rd ON rd.StaffID = e.ReaderID
  LEFT JOIN tbLabStaff ph ON ph.StaffID = r.PhysicianID
  LEFT JOIN tbLabStaff re ON re.StaffID = r.ResidentId
  LEFT JOIN tbLabExam se ON se.Code = e.SupExamID AND e.SupExamID <> ''
 WHERE r.RequestNum = ?
)SQL";

ResultSet patientInformation(ProcedureContext& ctx)
{
    const Engine engine = ctx.store().engine();
    const QString age = SqlDialect::emptyWhenNull(
        engine, SqlDialect::ageInYears(engine, QStringLiteral("p.BirthDate"),
                                       QStringLiteral("r.RequestDate")));
    return ctx.store().query(QString::fromLatin1(kPatientInformation).arg(age), {ctx.key(0)},
                             {QStringLiteral("RequestDate")});
}
} // namespace

void registerPatientProcedures()
{
    ProcedureRegistry::add({QStringLiteral("Lab_Get_PatientInformation"), 1, 1, patientInformation,
                            ProcedureAccess::Reads});
}
