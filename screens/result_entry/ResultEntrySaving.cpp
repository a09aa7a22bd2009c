// What both windows' saves and fills share: the checks before a save, the
// save and print, the logbook entry of a request, the failure of a save,
// and the list of requested exams.
#include "component/FailureAdvice.h"
#include "component/SavedResults.h"
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "platform/Clock.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/WaitCursor.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QTimeEdit>

void ResultEntryForm::Save_And_Print(bool verify, bool print)
{
    bool saved = false;
    {
        WaitCursor wait;
        VerifyRequested = verify;
        SetActionButtons(*this, false);
        // A save that fails leaves the window open with every value, to
        // correct and save again.
        saved = questionsAccepted() && Save_Entries();
        if (!saved) {
            SetActionButtons(*this, true);
        } else if (print) {
            try {
                Print_Result();
                if (session().ReportVerified && session().PrintRequested)
                    Print_Result();
            } catch (...) {
                // The results are saved; the buttons come back so the user
                // can print again once the printer is there.
                SetActionButtons(*this, true);
                throw;
            }
            printed();
        }
    }
    if (closesAfterSave(saved, verify))
        close();
}

SaveHeader ResultEntryForm::saveHeader() const
{
    const SessionState& s = session();
    return {s.RequestNum,         s.Request.FormType, s.Request.ValueType, s.EmployeeCode,
            s.AccessionNum,       s.Remarks,          s.LogbookNote,       s.Method,
            InstrumentId,         s.SampleSubmitted,  s.LRATime,           s.DateTimeReported,
            dtpResultDate->date()};
}

void ResultEntryForm::ensureLogbookEntry(Connection& db, const QString& req)
{
    auto logbook = db.openRecordset(SaveCommands::logbookSelect(req),
                                    CursorOptions::serverDynamic(LockType::Optimistic));
    if (!logbook->eof())
        return;
    // The header as the save set it.
    SaveHeader h;
    const SessionState& s = session();
    h.logbookNote = s.LogbookNote;
    h.employeeCode = s.EmployeeCode;
    h.submitted = s.SampleSubmitted;
    h.lraTime = s.LRATime;
    h.accessionNum = s.AccessionNum;
    db.execute(SaveCommands::logbookEntry(req, h));
}

void ResultEntryForm::rememberChangeNumbers(const QString& requestNum)
{
    const QString req = requestNum.trimmed();
    if (req.isEmpty() || !session().LabDb)
        return;
    m_changeNumbers[req.toLower()] = ResultChangeNumbers(*session().LabDb, req);
}

void ResultEntryForm::commitSave(Connection& db)
{
    QHash<QString, QHash<QString, QString>> after;
    for (auto it = m_changeNumbers.cbegin(); it != m_changeNumbers.cend(); ++it)
        after.insert(it.key(), ResultChangeNumbers(db, it.key()));
    db.commitTrans();
    m_changeNumbers = after;
}

void ResultEntryForm::sendUnchanged(Connection& db, const QString& requestNum,
                                    const QStringList& items)
{
    const auto numbers = m_changeNumbers.constFind(requestNum.trimmed().toLower());
    if (numbers == m_changeNumbers.constEnd())
        return; // a request this window never read
    db.execute(SaveCommands::checkUnchanged(requestNum.trimmed(), ChangeNumberList(*numbers, items),
                                            session().EmployeeCode));
}

void ResultEntryForm::sendSampleUnposted(Connection& db, const QString& sample,
                                         const QStringList& requests)
{
    QStringList seen = requests;
    for (const auto& row : gridOf<DownloadedCol>(gridRows(msfgDLresult)))
        if (row.cells.size() > col(DownloadedCol::PostedTo) &&
            row.at(DownloadedCol::Posted).trimmed() == QLatin1String("Y"))
            seen << row.at(DownloadedCol::PostedTo).trimmed();
    seen.removeDuplicates();
    db.execute(SaveCommands::sampleUnposted(saveHeader(), sample, seen));
}

void ResultEntryForm::saveFailed(Connection& db, const LisError& e)
{
    if (db.isOpen() && db.inTransaction()) {
        try {
            db.rollbackTrans();
        } catch (const LisError&) {
        }
    }
    msgBox(QStringLiteral("Data was not saved! Error: [") + e.description() + QStringLiteral("]"),
           failureAdvice(e, FailedStep::Save, session().RequestNum), MsgIcon::Critical,
           QStringLiteral("Save_Entries of Result Entry Class"));
}

void ResultEntryForm::fillRequestedExams(bool withNormalValues)
{
    const SessionState& s = session();
    auto exams = s.LabDb->openRecordset(
        CommandText::call(QStringLiteral("Lab_FormMaker_FillExams"),
                          {s.RequestNum, QString::number(s.EntryMode)}, CommandText::Join::Tight),
        CursorOptions::clientDynamic());
    if (exams->recordCount() < 1)
        return;
    layoutRequestGrid();
    grdExams->setRows(exams->recordCount() + 1);
    for (int i = 1; !exams->eof(); exams->moveNext(), ++i) {
        if (i > 32767)
            throw overflowError();
        grdExams->setTextMatrix(i, col(ExamsCol::Item), exams->text(QStringLiteral("ExamId")));
        grdExams->setTextMatrix(i, col(ExamsCol::Name), exams->text(QStringLiteral("Exam")));
        grdExams->setTextMatrix(i, col(ExamsCol::Request), exams->text(QStringLiteral("Lab#")));
        if (withNormalValues)
            grdExams->setTextMatrix(i, col(ExamsCol::Normal),
                                    exams->text(QStringLiteral("Normal Values")));
    }
}

bool ResultEntryForm::accessionNumberGiven()
{
    if (!txtAccNum->text().trimmed().isEmpty())
        return true;
    msgBox(QStringLiteral("Please enter accession number."),
           QStringLiteral("Nothing of %1 was saved. Type the sample's accession number in "
                          "Accession Number, then save again.")
               .arg(session().RequestNum.trimmed()),
           MsgIcon::Information);
    txtAccNum->setFocus();
    return false;
}

bool ResultEntryForm::headerTimesAccepted()
{
    const QDateTime now = Clock::now();
    const QDateTime requested = session().Request.RequestDate;
    // The pickers keep minutes only: the request's minute itself is allowed.
    const QDateTime earliest =
        requested.isValid()
            ? QDateTime(requested.date(), QTime(requested.time().hour(), requested.time().minute()))
            : QDateTime();
    const struct {
        const char* name;
        QDateEdit* date;
        QTimeEdit* time;
    } moments[] = {{"Date Submitted", dtSubmitted, dtSubmittedTime},
                   {"LRA Logbook Time", dtLRADate, dtLRATime}};
    for (const auto& m : moments) {
        const QDateTime picked = pickedDateTime(m.date, m.time);
        const bool late = picked > now;
        if (!late && !(earliest.isValid() && picked < earliest))
            continue;
        const QString shown = DateText::monthDayYear(picked.date()) + QLatin1Char(' ') +
                              DateText::time12(picked.time());
        msgBox(late ? QStringLiteral("%1 %2 is later than now.").arg(QLatin1String(m.name), shown)
                    : QStringLiteral("%1 %2 is before the request was made (%3).")
                          .arg(QLatin1String(m.name), shown,
                               DateText::monthDayYear(earliest.date()) + QLatin1Char(' ') +
                                   DateText::time12(earliest.time())),
               QStringLiteral("Nothing of %1 was saved. Correct %2, then save again.")
                   .arg(session().RequestNum.trimmed(), QLatin1String(m.name)),
               MsgIcon::Exclamation, QStringLiteral("Invalid Date"));
        m.date->setFocus();
        return false;
    }
    return true;
}

bool ResultEntryForm::emptyRowsAccepted()
{
    QStringList empty;
    int first = 0;
    for (int r = 1; r < msfgRequest->Rows(); ++r) {
        if (msfgRequest->TextMatrix(r, 1).trimmed().isEmpty() ||
            !msfgRequest->TextMatrix(r, 3).trimmed().isEmpty())
            continue;
        const QString exam = msfgRequest->TextMatrix(r, 2).trimmed();
        empty << (exam.isEmpty() ? msfgRequest->TextMatrix(r, 1).trimmed() : exam);
        if (!first)
            first = r;
    }
    if (empty.isEmpty())
        return true;
    const QString names =
        empty.size() == 1 ? empty.first()
                          : QStringList(empty.mid(0, empty.size() - 1)).join(QStringLiteral(", ")) +
                                QStringLiteral(" and ") + empty.last();
    const QString text =
        empty.size() == 1
            ? QStringLiteral("%1 has no result. Save the others and leave it unresulted?")
                  .arg(names)
            : QStringLiteral("%1 have no result. Save the others and leave these unresulted?")
                  .arg(names);
    if (msgBox(text,
               QStringLiteral("Yes saves the results of %1 that have a value; the others stay "
                              "unresulted and are not verified. No saves nothing and takes you "
                              "to the first of them.")
                   .arg(session().RequestNum.trimmed()),
               MsgIcon::Question, QStringLiteral("Results Missing"), MsgButtons::YesNo,
               MsgAnswer::No) == MsgAnswer::Yes)
        return true;
    msfgRequest->setRow(first);
    msfgRequest->setFocus(Qt::OtherFocusReason);
    placeEditor();
    return false;
}

bool ResultEntryForm::readyToSave(bool checkAccession)
{
    return (!checkAccession || accessionNumberGiven()) &&
           EmployeeCodeGiven(QStringLiteral("saved")) && headerTimesAccepted();
}

void ResultEntryForm::cmdSave_Click()
{
    if (readyToSave(true))
        Save_And_Print(true, false);
}

void ResultEntryForm::cmdVerify_Click()
{
    if (readyToSave(true))
        Save_And_Print(true, false);
}

void ResultEntryForm::cmdPrint_Click()
{
    if (readyToSave(false))
        Save_And_Print(true, true);
}
