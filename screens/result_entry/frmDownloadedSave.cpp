// Saving the cut-off window: every row with its logbook entry, its result
// and the posting of the instrument's results, in one transaction.
#include "component/ResultWindow.h"
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "component/model/FormType.h"
#include "component/model/SaveCommands.h"
#include "component/reports/ReportPrinting.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/WaitCursor.h"
#include "screens/dialogs/frmAmendmentReason.h"
#include "screens/result_entry/frmDownloaded.h"

#include <QHash>
#include <QMap>

#include <QDateEdit>
#include <QLineEdit>
#include <QTextEdit>
#include <QTimeEdit>

void frmDownloaded::printed()
{
    if (session().ReportVerified)
        close();
    else
        SetActionButtons(*this, true);
}

bool frmDownloaded::closesAfterSave(bool, bool verify) const
{
    // Save and Print close the window, saved or not; Verify keeps it.
    return !verify;
}

bool frmDownloaded::Save_Entries()
{
    if (nothingToSave() || !emptyRowsAccepted())
        return false;
    WaitCursor wait;
    SessionState& s = session();
    Connection& db = *s.LabDb;
    try {
        s.Remarks = txtRemarks->toPlainText();
        s.ResultDate = pickedDateTime(dtReportDate, dtReportTime);
        s.SampleSubmitted = pickedDateTime(dtSubmitted, dtSubmittedTime);
        s.LRATime = pickedDateTime(dtLRADate, dtLRATime);
        s.AccessionNum = txtAccNum->text();

        const QString sample = sampleToPost();
        const SaveHeader h = saveHeader();
        const ResultGrid<CutOffCol> grid = gridOf<CutOffCol>(gridRows(msfgRequest));
        const bool cutOff = savesWithCutOff(h.formType, h.valueType);
        QString reason;
        const QStringList amended = cutOff ? amendedItems(grid, h, reason) : QStringList();
        if (!amended.isEmpty() && reason.isEmpty())
            return false; // cancelled: nothing saved, every value still shown
        db.beginTrans();
        const QMap<QString, QStringList> read = SaveCommands::cutOffItems(grid, h);
        for (auto it = read.cbegin(); it != read.cend(); ++it)
            sendUnchanged(db, it.key(), it.value());
        if (!sample.isEmpty())
            sendSampleUnposted(db, sample, read.keys());
        for (const auto& row : grid) {
            if (row.row > 32767)
                throw overflowError();
            const QString code = row.at(CutOffCol::Item);
            if (code.trimmed().isEmpty())
                continue; // an empty row (a grid without exams) saves nothing
            const QString req = SaveCommands::cutOffRequest(row, h);
            ensureLogbookEntry(db, req);
            if (cutOff) {
                const bool own =
                    !req.trimmed().compare(h.requestNum.trimmed(), Qt::CaseInsensitive);
                db.execute(SaveCommands::cutOffSave(
                    row, h, Get_ShowResultValue(code) == QLatin1String("Y"),
                    own && amended.contains(code.trimmed().toUpper()) ? reason : QString()));
            }
            db.execute(SaveCommands::cutOffPost(req, sample, h));
        }
        commitSave(db);
        showStored(read.keys());
        markSaved();
        return true;
    } catch (const LisError& e) {
        saveFailed(db, e);
        return false;
    }
}

QStringList frmDownloaded::amendedItems(const ResultGrid<CutOffCol>& grid, const SaveHeader& h,
                                        QString& reason)
{
    // A verified result corrected goes with the reason for it, asked
    // before anything is written.
    QMap<QString, QString> typed, names;
    for (const auto& row : grid) {
        const QString item = row.at(CutOffCol::Item).trimmed().toUpper();
        if (row.row > 32767 || item.isEmpty() ||
            SaveCommands::cutOffRequest(row, h).trimmed().compare(h.requestNum.trimmed(),
                                                                  Qt::CaseInsensitive))
            continue;
        typed[item] = row.at(CutOffCol::Value);
        names[item] = row.at(CutOffCol::Name).trimmed();
    }
    const QStringList amended = frmAmendmentReason::amended(typed, m_verified);
    if (!amended.isEmpty()) {
        QStringList exams;
        for (const QString& item : amended)
            exams << names.value(item);
        reason = frmAmendmentReason::ask(*session().LabDb, exams);
    }
    return amended;
}

void frmDownloaded::showStored(const QStringList& requests)
{
    SessionState& s = session();
    try {
        for (const QString& req : requests) {
            auto rs = s.LabDb->openRecordset(SaveCommands::cutOffResults(req),
                                             CursorOptions::clientDynamic());
            QHash<QString, QStringList> stored; // item -> value, interpretation
            for (; !rs->eof(); rs->moveNext())
                stored.insert(rs->textOrEmpty(QStringLiteral("ItemID")).trimmed().toLower(),
                              {rs->textOrEmpty(QStringLiteral("PatientValue")),
                               rs->textOrEmpty(QStringLiteral("result"))});
            for (int r = 1; r < msfgRequest->Rows(); ++r) {
                const QString rowReq = formIs(s.Request.FormType, FormType::Package)
                                           ? s.RequestNum
                                           : msfgRequest->TextMatrix(r, col(CutOffCol::Request));
                const auto it = stored.constFind(
                    msfgRequest->TextMatrix(r, col(CutOffCol::Item)).trimmed().toLower());
                if (rowReq.trimmed().compare(req.trimmed(), Qt::CaseInsensitive) != 0 ||
                    it == stored.constEnd())
                    continue;
                if (msfgRequest->TextMatrix(r, col(CutOffCol::Value)) != it->at(0)) {
                    txtResult->hide(); // its text would be the value replaced
                    msfgRequest->setTextMatrix(r, col(CutOffCol::Value), it->at(0));
                }
                msfgRequest->setTextMatrix(r, col(CutOffCol::Result), it->at(1));
            }
        }
    } catch (const LisError&) {
        // The save is committed; the rows keep what they showed.
    }
}

void frmDownloaded::Print_Result()
{
    SessionState& s = session();
    const RequestInfo& r = s.Request;
    const bool shortForm = isShortForm(r.FormType, r.ValueType);
    if (isCutOffForm(r.FormType, r.ValueType)) {
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_WithCutOff.RPT"),
                            QStringLiteral("LABORATORY"), {s.HeaderAddress, s.RequestNum});
    } else if (shortForm) {
        OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_ShortFormWIthRemark.RPT"),
                            QStringLiteral("LABORATORY"),
                            {s.HeaderAddress, s.RequestNum, QString::number(s.EntryMode)});
    } else {
        // Never the report of an earlier request for this one.
        s.CurrentReport.reset();
        // Only a save that went through prints.
        msgBox(QStringLiteral("This exam has no report format: there is no result report to "
                              "show or print."),
               QStringLiteral("The results of %1 are saved. Ask the laboratory to give %2 a "
                              "report format to show or print them.")
                   .arg(s.RequestNum.trimmed(), r.ExamName.trimmed().isEmpty()
                                                    ? QStringLiteral("the exam")
                                                    : r.ExamName.trimmed()),
               MsgIcon::Information, QStringLiteral("Laboratory Result"));
    }
    PrintOrPreview(false, QStringLiteral("Laboratory Result"), s.PrintRequested, VerifyRequested);
}
