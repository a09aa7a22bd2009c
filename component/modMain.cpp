#include "modMain.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"

SessionState& session()
{
    static thread_local SessionState state;
    return state;
}

namespace {
struct TextColumn {
    const char* column;
    QString RequestInfo::*field;
};

// In read order; RequestDate, the one date-time, is read between Ward and Doctor.
constexpr TextColumn kBeforeDate[] = {
    {"HospNum", &RequestInfo::HospNum},
    {"IDNum", &RequestInfo::IDNum},
    {"PatientName", &RequestInfo::PatientName},
    {"Sex", &RequestInfo::Sex},
    {"Age", &RequestInfo::Age},
    {"CivilStatus", &RequestInfo::CivilStatus},
    {"RoomId", &RequestInfo::RoomId},
    {"Class", &RequestInfo::Class},
    {"Ward", &RequestInfo::Ward},
};
constexpr TextColumn kAfterDate[] = {
    {"Doctor", &RequestInfo::Doctor},           {"Rush", &RequestInfo::Rush},
    {"RefNum", &RequestInfo::RefNum},           {"Transplant", &RequestInfo::Transplant},
    {"Dialysis", &RequestInfo::Dialysis},       {"OrNum", &RequestInfo::OrNum},
    {"ExamName", &RequestInfo::ExamName},       {"LabSection", &RequestInfo::LabSection},
    {"SectionID", &RequestInfo::SectionID},     {"Code", &RequestInfo::Code},
    {"FormType", &RequestInfo::FormType},       {"ValueType", &RequestInfo::ValueType},
    {"Pathologist", &RequestInfo::Pathologist}, {"SpecimenId", &RequestInfo::SpecimenId},
    {"Specimen", &RequestInfo::Specimen},       {"Reader", &RequestInfo::Reader},
    {"ReaderID", &RequestInfo::ReaderID},       {"Physician", &RequestInfo::Physician},
    {"PhysicianID", &RequestInfo::PhysicianID}, {"SupExamID", &RequestInfo::SupExamID},
    {"SupExam", &RequestInfo::SupExam},         {"ResidentId", &RequestInfo::ResidentId},
    {"Resident", &RequestInfo::Resident},       {"BloodType", &RequestInfo::BloodType},
};
} // namespace

bool LoadRequestInfo()
{
    SessionState& s = session();
    auto rs = s.LabDb->openRecordset(
        CommandText::call(QStringLiteral("Lab_Get_PatientInformation"), {s.RequestNum.trimmed()}),
        CursorOptions::clientDynamic());
    if (rs->recordCount() <= 0)
        return false;

    // Read into a copy and take it over whole: a Null or a bad date half way
    // must never leave one patient's fields mixed with another's.
    RequestInfo r;
    for (const TextColumn& c : kBeforeDate)
        r.*c.field = rs->text(QLatin1String(c.column));
    r.RequestDate = DateText::toDateTime(rs->value(QStringLiteral("RequestDate")));
    for (const TextColumn& c : kAfterDate)
        r.*c.field = rs->text(QLatin1String(c.column));
    s.Request = std::move(r);
    return true;
}
