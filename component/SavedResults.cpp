#include "SavedResults.h"
#include "component/FailureAdvice.h"
#include "component/modMain.h"
#include "component/model/SaveCommands.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QThread>
#include <limits>

SampleSearchDialog::~SampleSearchDialog() = default;

namespace {
qint16 toInteger16(const QVariant& v)
{
    if (v.isNull())
        throw LisError(ErrNo::InvalidUseOfNull, QStringLiteral("Invalid use of Null"));
    bool ok = false;
    const double d = v.toString().toDouble(&ok);
    if (!ok)
        throw LisError(ErrNo::TypeMismatch, QStringLiteral("Type mismatch"));
    if (d < std::numeric_limits<qint16>::min() || d > std::numeric_limits<qint16>::max())
        throw overflowError();
    return qint16(qRound(d));
}

std::function<std::unique_ptr<SampleSearchDialog>()>& dialogMaker()
{
    static std::function<std::unique_ptr<SampleSearchDialog>()> make;
    return make;
}

std::unique_ptr<SampleSearchDialog>& dialogOfThisThread()
{
    static thread_local std::unique_ptr<SampleSearchDialog> dialog;
    return dialog;
}

// The one dialog of this thread, made on first use.
SampleSearchDialog& sharedDialog()
{
    std::unique_ptr<SampleSearchDialog>& dialog = dialogOfThisThread();
    if (!dialog) {
        if (!dialogMaker())
            throw LisError(ErrNo::CannotCreateObject,
                           QStringLiteral("No sample search window is installed."));
        dialog = dialogMaker()();
        // For a host that destroys its application object while still
        // holding the component: the dialog goes first.
        if (QCoreApplication::instance() &&
            QCoreApplication::instance()->thread() == QThread::currentThread()) {
            qRemovePostRoutine(releaseSampleSearchDialog);
            qAddPostRoutine(releaseSampleSearchDialog);
        }
    }
    return *dialog;
}
} // namespace

void installSampleSearchDialog(std::function<std::unique_ptr<SampleSearchDialog>()> make)
{
    dialogMaker() = std::move(make);
}

void releaseSampleSearchDialog()
{
    dialogOfThisThread().reset();
}

void LoadResultHeader(bool withEntryMode)
{
    SessionState& s = session();
    auto rs = s.LabDb->openRecordset(
        CommandText::call(QStringLiteral("Lab_FormMaker_GetResult"), {s.RequestNum}),
        CursorOptions::clientDynamic());
    if (rs->recordCount() <= 0)
        return;
    // Read every field before taking any over, so a failure leaves the
    // header as it was.
    const QDateTime lra = DateText::toDateTime(rs->value(QStringLiteral("lratime")));
    const QDateTime submitted = DateText::toDateTime(rs->value(QStringLiteral("samplesubmitted")));
    const QDateTime reported = DateText::toDateTime(rs->value(QStringLiteral("Resultdate")));
    const qint16 entryMode =
        withEntryMode ? toInteger16(rs->value(QStringLiteral("EntryMode"))) : s.EntryMode;
    const QString remarks = rs->text(QStringLiteral("Remarks"));
    const QString accession = rs->text(QStringLiteral("AccessionNum"));
    const QString method = rs->textOrEmpty(QStringLiteral("Method"));
    s.LRATime = lra;
    s.SampleSubmitted = submitted;
    s.ResultDate = reported;
    s.EntryMode = entryMode;
    s.Remarks = remarks;
    s.AccessionNum = accession;
    s.Method = method;
}

bool EmployeeCodeGiven(const QString& action)
{
    const SessionState& s = session();
    if (!s.EmployeeCode.trimmed().isEmpty())
        return true;
    msgBox(QStringLiteral("The results of %1 cannot be %2: no employee code was given.")
               .arg(s.RequestNum.trimmed(), action),
           QStringLiteral("The program that opened this window must set the EmployeeCode "
                          "property to the code of the person working. Close the window and "
                          "open the request again from that program."),
           MsgIcon::Exclamation);
    return false;
}

bool VerifyRequestResults()
{
    SessionState& s = session();
    if (!EmployeeCodeGiven(QStringLiteral("verified")))
        return false;
    if (!RequestLogged(*s.LabDb, s.RequestNum)) {
        msgBox(QStringLiteral("The results of %1 cannot be verified: the request has no logbook "
                              "entry.")
                   .arg(s.RequestNum.trimmed()),
               QStringLiteral("Press Edit, save the results, and verify them again."),
               MsgIcon::Exclamation);
        return false;
    }
    Connection& db = *s.LabDb;
    QStringList waiting;
    db.beginTrans();
    try {
        if (!s.PreviewedChangeNumbers.isEmpty())
            db.execute(SaveCommands::checkUnchanged(s.RequestNum, s.PreviewedChangeNumbers,
                                                    s.EmployeeCode));
        waiting = VerifyResults(db, s.RequestNum, s.EmployeeCode);
        db.commitTrans();
    } catch (...) {
        if (db.inTransaction())
            db.rollbackTrans();
        throw;
    }
    if (!waiting.isEmpty())
        msgBox(QStringLiteral("Saved; %1 waits for verification by another technologist.")
                   .arg(s.RequestNum.trimmed()),
               QStringLiteral("%1 entered %2: the laboratory has another medical technologist "
                              "verify it. The other results are verified.")
                   .arg(s.EmployeeCode.trimmed(), waiting.join(QStringLiteral(", "))),
               MsgIcon::Information);
    return true;
}

bool RequestLogged(Connection& db, const QString& requestNum)
{
    auto rs = db.openRecordset(
        CommandText::select(
            QStringLiteral("select * from laboratory..tblablogbook where requestnum = %1"),
            {requestNum}),
        CursorOptions::serverDynamic());
    return !rs->eof();
}

QStringList VerifyResults(Connection& db, const QString& requestNum, const QString& employee)
{
    auto left = db.openRecordset(SaveCommands::verify(requestNum, employee),
                                 CursorOptions::clientDynamic());
    QStringList waiting;
    for (; !left->eof(); left->moveNext())
        if (left->textOrEmpty(QStringLiteral("Waiting")) == QLatin1String("entered"))
            waiting << left->textOrEmpty(QStringLiteral("ExamName"));
    return waiting;
}

QHash<QString, QString> ResultChangeNumbers(Connection& db, const QString& requestNum)
{
    auto rs = db.openRecordset(
        CommandText::call(QStringLiteral("Lab_GetResultChangeNumbers"), {requestNum.trimmed()}),
        CursorOptions::clientDynamic());
    QHash<QString, QString> numbers;
    for (; !rs->eof(); rs->moveNext())
        numbers.insert(rs->textOrEmpty(QStringLiteral("ItemID")).trimmed().toLower(),
                       rs->textOrEmpty(QStringLiteral("ChangeNo")));
    return numbers;
}

QString ChangeNumberList(const QHash<QString, QString>& numbers, const QStringList& items)
{
    QStringList read;
    for (const QString& item : items)
        read.append(item.trimmed() + QLatin1Char(':') +
                    numbers.value(item.trimmed().toLower(), QStringLiteral("0")));
    return read.join(QLatin1Char(';'));
}

QString PickSampleNumber(const QDateTime& SampleDate, const QString& InstrumentId,
                         const QString& InstrumentName, const QString& SearchString,
                         SampleSearchEnd* end)
{
    SessionState& s = session();
    SampleSearchEnd ended = SampleSearchEnd::Failed;
    const auto endAs = qScopeGuard([&] {
        if (end)
            *end = ended;
    });
    const QString day = DateText::monthDayYear(SampleDate.date());
    try {
        SampleSearchDialog& dialog = sharedDialog();
        s.SelectedSampleNum.clear();
        dialog.set_wResultDate(day);
        dialog.set_wInstrumentID(InstrumentId);
        dialog.set_wSearchString(SearchString);
        dialog.showModal();
        ended =
            s.SelectedSampleNum.isEmpty() ? SampleSearchEnd::Cancelled : SampleSearchEnd::Picked;
        return s.SelectedSampleNum;
    } catch (const LisError& e) {
        const QString req = s.RequestNum.trimmed();
        if (e.number() == ErrNo::ObjectUnloaded) {
            ended = SampleSearchEnd::NothingFound;
            msgBox(QStringLiteral("No Result(s) Found for ") + InstrumentName,
                   SearchString.trimmed().isEmpty()
                       ? QStringLiteral("Request %1: the instrument sent no samples for %2. Check "
                                        "the result date, or type the sample number and press "
                                        "Enter.")
                             .arg(req, day)
                       : QStringLiteral("Request %1: no sample of %2 has \"%3\" in its number or "
                                        "patient name. Check the result date and Sample Number, "
                                        "or type the whole sample number and press Enter.")
                             .arg(req, day, SearchString.trimmed()),
                   MsgIcon::Information, QStringLiteral("Results"));
        } else if (e.number() > 0) {
            msgBox(QStringLiteral("Error: ") + e.description(),
                   failureAdvice(e, FailedStep::Command, req));
        }
        return QString();
    }
}
