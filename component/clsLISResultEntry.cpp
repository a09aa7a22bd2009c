#include "clsLISResultEntry.h"
#include "component/ResultWindow.h"
#include "component/SavedResults.h"
#include "component/modMain.h"
#include "labserver/EmbeddedDriver.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"

namespace {
const QString kLaboratory = QStringLiteral("LABORATORY");

// Left arrives as a variant and is used as a single-precision number.
double toSingle(const QVariant& v)
{
    if (v.isNull())
        throw LisError(ErrNo::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    bool ok = false;
    const float f = v.toString().trimmed().toFloat(&ok);
    if (!ok)
        throw LisError(ErrNo::TypeMismatch, QStringLiteral("Type mismatch"));
    return double(f);
}

void loadHospitalHeader(SessionState& s)
{
    auto rs = s.LabDb->openRecordset(QStringLiteral("select * from patient_data..tbHospitalInfo"),
                                     CursorOptions::serverDynamic());
    if (rs->eof())
        return; // the header keeps what the last request loaded
    // Read all three before taking any over.
    QString title = rs->textOrEmpty(QStringLiteral("Title")).toUpper();
    QString company = rs->textOrEmpty(QStringLiteral("Company")).toUpper();
    QString address = rs->textOrEmpty(QStringLiteral("address1"));
    s.HeaderTitle = std::move(title);
    s.HeaderCompany = std::move(company);
    s.HeaderAddress = std::move(address);
}
} // namespace

clsLISResultEntry::clsLISResultEntry()
{
    registerLabDrivers();
    SessionState& s = session();
    if (!s.LabDb)
        s.LabDb = std::make_unique<Connection>();
    if (!s.Settings)
        s.Settings = std::make_unique<ConnSettings>();
    s.LabDb->setConnectionString(s.Settings->connStr(4, kLaboratory));
    s.LabDb->open(s.Settings->connStr(4, kLaboratory), QString(), QString());
}

clsLISResultEntry::~clsLISResultEntry()
{
    // The shared dialog lives as long as the component, no longer: the host
    // may destroy its application object next.
    releaseSampleSearchDialog();
    SessionState& s = session();
    if (s.LabDb)
        s.LabDb->close();
    s.LabDb.reset();
    s.Settings.reset();
}

void clsLISResultEntry::Show_ResultEntry(const QString& RequestNum, std::optional<qint16> Top,
                                         std::optional<QVariant> Left)
{
    SessionState& s = session();
    s.RequestNum = RequestNum;
    loadHospitalHeader(s);
    s.DbUser = s.Settings->connStr(1);
    s.DbPassword = s.Settings->connStr(2);
    s.DbServer = s.Settings->connStr(3);

    // A request that is not found must not open under the previous
    // request's patient: clear the record, so no window fits.
    const bool found = LoadRequestInfo();
    if (!found)
        s.Request = RequestInfo();

    const ResultWindowKind kind = chooseResultWindow(s.Request.FormType, s.Request.ValueType);
    if (kind == ResultWindowKind::None) {
        const QString req = RequestNum.trimmed();
        const QString exam = s.Request.ExamName.trimmed();
        msgBox(QStringLiteral("Exam not yet formatted."),
               !found ? QStringLiteral("Request %1 is not in the laboratory database. Check the "
                                       "request number and open it again.")
                            .arg(req)
                      : QStringLiteral("%1 of request %2 has no result format, so no result "
                                       "window fits it. Ask the laboratory to give the exam a "
                                       "result format, then open the request again.")
                            .arg(exam.isEmpty() ? QStringLiteral("The exam") : exam, req),
               MsgIcon::Information, QStringLiteral("Invalid Exam Format"));
        return;
    }
    // The window shows this request's saved header in edit and verify mode,
    // never the previous request's: without a saved header it shows none.
    // Each window reads the header itself.
    s.Remarks.clear();
    s.AccessionNum.clear();
    s.Method.clear();
    s.LRATime = s.SampleSubmitted = s.ResultDate = QDateTime();

    std::unique_ptr<ResultWindow> window = ResultWindowFactory::current().create(kind);
    window->setTop(Top.value_or(0));
    if (Left)
        window->setLeft(toSingle(*Left));
    window->Fill_Results();
    window->showModal();
}

void clsLISResultEntry::VerifyMode(bool bVerifyMode)
{
    session().VerifyMode = bVerifyMode;
}

void clsLISResultEntry::EditMode(bool bEditMode)
{
    session().EditMode = bEditMode;
}

void clsLISResultEntry::EntryMode(qint16 iEntryMode)
{
    session().EntryMode = iEntryMode;
}

void clsLISResultEntry::EmployeeCode(const QString& sEmployeeCode)
{
    session().EmployeeCode = sEmployeeCode;
}

void clsLISResultEntry::EmployeeName(const QString& sEmployeeName)
{
    session().EmployeeName = sEmployeeName;
}

void clsLISResultEntry::Clerk(bool bClerk)
{
    session().Clerk = bClerk;
}

void clsLISResultEntry::SupervisorId(const QString& sSupervisorID)
{
    session().SupervisorId = sSupervisorID;
}
