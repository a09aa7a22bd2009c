// What both windows' saves and fills share: the logbook entry of a
// request, the failure of a save, and the list of requested exams.
#include "Connection.h"
#include "DateText.h"
#include "FailureAdvice.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Presenter.h"
#include "ResultEntryForm.h"
#include "SavedResults.h"
#include "SqlText.h"
#include "modMain.h"

#include <QDateEdit>

void ResultEntryForm::ensureLogbookEntry(Connection& db, const QString& req)
{
    const SessionState& s = session();
    auto logbook = db.openRecordset(
        QStringLiteral("Select * from Laboratory..tbLabLogbook where RequestNum = '") +
            sqlLiteral(req) + QStringLiteral("'"),
        CursorOptions::serverDynamic(LockType::Optimistic));
    if (!logbook->eof())
        return;
    db.execute(QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook '") + sqlLiteral(req) +
               QStringLiteral("', '") + sqlLiteral(s.LogbookNote) + QStringLiteral("', '") +
               sqlLiteral(s.EmployeeCode) + QStringLiteral("','") +
               sqlLiteral(DateText::general(s.SampleSubmitted)) + QStringLiteral("', '") +
               sqlLiteral(DateText::general(s.LRATime)) + QStringLiteral("','") +
               sqlLiteral(s.AccessionNum) + QStringLiteral("'"));
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
    db.execute(QStringLiteral("Lab_CheckUnchanged '") + sqlLiteral(requestNum.trimmed()) +
               QStringLiteral("', '") + sqlLiteral(ChangeNumberList(*numbers, items)) +
               QStringLiteral("', '") + sqlLiteral(session().EmployeeCode) + QStringLiteral("'"));
}

void ResultEntryForm::sendSampleUnposted(Connection& db, const QString& sample,
                                         const QStringList& requests)
{
    constexpr int kPostedColumn = 13;
    constexpr int kPostedRequestColumn = 14;
    QStringList seen = requests;
    for (int r = 1; r < msfgDLresult->Rows() && kPostedRequestColumn < msfgDLresult->Cols(); ++r)
        if (msfgDLresult->TextMatrix(r, kPostedColumn).trimmed() == QLatin1String("Y"))
            seen << msfgDLresult->TextMatrix(r, kPostedRequestColumn).trimmed();
    seen.removeDuplicates();
    db.execute(QStringLiteral("Lab_CheckUnchanged '") + sqlLiteral(session().RequestNum.trimmed()) +
               QStringLiteral("', '', '") + sqlLiteral(session().EmployeeCode) +
               QStringLiteral("', '") + sqlLiteral(sample) + QStringLiteral("', '") +
               sqlLiteral(InstrumentId) + QStringLiteral("', '") +
               DateText::monthDayYear(dtpResultDate->date()) + QStringLiteral("', '") +
               sqlLiteral(seen.join(QLatin1Char(';'))) + QStringLiteral("'"));
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
    auto exams = s.LabDb->openRecordset(QStringLiteral("Lab_FormMaker_FillExams '") +
                                            sqlLiteral(s.RequestNum) + QStringLiteral("','") +
                                            QString::number(s.EntryMode) + QStringLiteral("'"),
                                        CursorOptions::clientDynamic());
    if (exams->recordCount() < 1)
        return;
    layoutRequestGrid();
    grdExams->setRows(exams->recordCount() + 1);
    for (int i = 1; !exams->eof(); exams->moveNext(), ++i) {
        if (i > 32767)
            throw overflowError();
        grdExams->setTextMatrix(i, 1, exams->text(QStringLiteral("ExamId")));
        grdExams->setTextMatrix(i, 2, exams->text(QStringLiteral("Exam")));
        grdExams->setTextMatrix(i, 3, exams->text(QStringLiteral("Lab#")));
        if (withNormalValues)
            grdExams->setTextMatrix(i, 4, exams->text(QStringLiteral("Normal Values")));
    }
}
