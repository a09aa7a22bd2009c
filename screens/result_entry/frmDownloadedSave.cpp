// Saving the cut-off window: every row with its logbook entry, its result
// and the posting of the instrument's results, in one transaction.
#include "Connection.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Presenter.h"
#include "ReportPrinting.h"
#include "ResultWindow.h"
#include "ScreenHelpers.h"
#include "SqlText.h"
#include "WaitCursor.h"
#include "frmAmendmentReason.h"
#include "frmDownloaded.h"
#include "modMain.h"

#include <QHash>
#include <QMap>

#include <QDateEdit>
#include <QLineEdit>
#include <QTextEdit>
#include <QTimeEdit>

namespace {
QString q(const QString& value)
{
    return sqlLiteral(value);
}

QString general(const QDateTime& moment)
{
    return sqlLiteral(DateText::general(moment));
}

bool isCutOffFormType(const RequestInfo& r)
{
    return r.FormType == QLatin1String("5") ||
           (r.FormType == QLatin1String("P") && r.ValueType == QLatin1String("5"));
}

// Every format this window opens for stores its rows as cut-off results
// (W and H too, though they have no report yet).
bool savesWithCutOff(const RequestInfo& r)
{
    return isCutOffFormType(r) ||
           chooseResultWindow(r.FormType, r.ValueType) == ResultWindowKind::Downloaded;
}
} // namespace

void frmDownloaded::Save_And_Print(bool verify, bool print)
{
    {
        WaitCursor wait;
        VerifyRequested = verify;
        SetActionButtons(*this, false);
        const bool ok = Save_Entries();
        if (ok && print) {
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
            if (session().ReportVerified)
                close();
            else
                SetActionButtons(*this, true);
        } else if (!ok) {
            // Nothing was saved and every value is still on the screen:
            // the user corrects and saves again.
            SetActionButtons(*this, true);
        }
    }
    if (!verify)
        close();
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
        const bool cutOff = savesWithCutOff(s.Request);
        const int n = msfgRequest->Rows() - 1;
        // A verified result corrected goes with the reason for it, asked
        // before anything is written.
        const auto requestOf = [&](int i) {
            return s.Request.FormType != QLatin1String("P") ? msfgRequest->TextMatrix(i, 7)
                                                            : s.RequestNum;
        };
        QStringList amended; // "ITEM" of the window's own request
        QString reason;
        if (cutOff) {
            QMap<QString, QString> typed, names;
            for (int i = 1; i <= n && i <= 32767; ++i) {
                const QString item = msfgRequest->TextMatrix(i, 1).trimmed().toUpper();
                if (item.isEmpty() ||
                    requestOf(i).trimmed().compare(s.RequestNum.trimmed(), Qt::CaseInsensitive))
                    continue;
                typed[item] = msfgRequest->TextMatrix(i, 3);
                names[item] = msfgRequest->TextMatrix(i, 2).trimmed();
            }
            amended = frmAmendmentReason::amended(typed, m_verified);
            if (!amended.isEmpty()) {
                QStringList exams;
                for (const QString& item : std::as_const(amended))
                    exams << names.value(item);
                reason = frmAmendmentReason::ask(db, exams);
                if (reason.isEmpty())
                    return false; // cancelled: nothing saved, every value still shown
            }
        }
        db.beginTrans();
        QMap<QString, QStringList> read; // request -> the items of its rows here
        for (int i = 1; i <= n && i <= 32767; ++i)
            if (const QString code = msfgRequest->TextMatrix(i, 1); !code.trimmed().isEmpty())
                read[s.Request.FormType != QLatin1String("P") ? msfgRequest->TextMatrix(i, 7)
                                                              : s.RequestNum]
                    .append(code);
        for (auto it = read.cbegin(); it != read.cend(); ++it)
            sendUnchanged(db, it.key(), it.value());
        if (!sample.isEmpty())
            sendSampleUnposted(db, sample, read.keys());
        for (int i = 1; i <= n; ++i) {
            if (i > 32767)
                throw overflowError();
            const QString code = msfgRequest->TextMatrix(i, 1);
            if (code.trimmed().isEmpty())
                continue; // an empty row (a grid without exams) saves nothing
            const QString req = s.Request.FormType != QLatin1String("P")
                                    ? msfgRequest->TextMatrix(i, 7)
                                    : s.RequestNum;

            ensureLogbookEntry(db, req);

            if (cutOff) {
                const bool showCutOff = Get_ShowResultValue(code) == QLatin1String("Y");
                db.execute(QStringLiteral("Laboratory..Lab_SaveWithCutOff '") + q(s.AccessionNum) +
                           QStringLiteral("','") + general(s.SampleSubmitted) +
                           QStringLiteral("', '") + general(s.LRATime) + QStringLiteral("','") +
                           q(req) + QStringLiteral("','") + q(code) + QStringLiteral("', '") +
                           q(s.Request.FormType) + QStringLiteral("', '") +
                           q(msfgRequest->TextMatrix(i, 2)) + QStringLiteral("', '") +
                           q(msfgRequest->TextMatrix(i, 3)) + QStringLiteral("', '") +
                           (showCutOff ? q(msfgRequest->TextMatrix(i, 8)) : QString()) +
                           QStringLiteral("', '") + q(msfgRequest->TextMatrix(i, 4)) +
                           QStringLiteral("', '") + q(txtRemarks->toPlainText()) +
                           QStringLiteral("','") + QString::number(i) + QStringLiteral("'") +
                           (!req.trimmed().compare(s.RequestNum.trimmed(), Qt::CaseInsensitive) &&
                                    amended.contains(code.trimmed().toUpper())
                                ? QStringLiteral(", '") + q(reason) + QStringLiteral("'")
                                : QString()));
            }

            db.execute(QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','") + q(sample) +
                       QStringLiteral("','") + q(req) + QStringLiteral("','") + q(s.EmployeeCode) +
                       QStringLiteral("','") + DateText::monthDayYear(dtpResultDate->date()) +
                       QStringLiteral("','") + q(InstrumentId) + QStringLiteral("'"));
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

void frmDownloaded::showStored(const QStringList& requests)
{
    SessionState& s = session();
    try {
        for (const QString& req : requests) {
            auto rs =
                s.LabDb->openRecordset(QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  '") +
                                           q(req) + QStringLiteral("'"),
                                       CursorOptions::clientDynamic());
            QHash<QString, QStringList> stored; // item -> value, interpretation
            for (; !rs->eof(); rs->moveNext())
                stored.insert(rs->textOrEmpty(QStringLiteral("ItemID")).trimmed().toLower(),
                              {rs->textOrEmpty(QStringLiteral("PatientValue")),
                               rs->textOrEmpty(QStringLiteral("result"))});
            for (int r = 1; r < msfgRequest->Rows(); ++r) {
                const QString rowReq = s.Request.FormType != QLatin1String("P")
                                           ? msfgRequest->TextMatrix(r, 7)
                                           : s.RequestNum;
                const auto it = stored.constFind(msfgRequest->TextMatrix(r, 1).trimmed().toLower());
                if (rowReq.trimmed().compare(req.trimmed(), Qt::CaseInsensitive) != 0 ||
                    it == stored.constEnd())
                    continue;
                if (msfgRequest->TextMatrix(r, 3) != it->at(0)) {
                    txtResult->hide(); // its text would be the value replaced
                    msfgRequest->setTextMatrix(r, 3, it->at(0));
                }
                msfgRequest->setTextMatrix(r, 4, it->at(1));
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
    const bool shortForm =
        !isCutOffFormType(r) &&
        (r.FormType == QLatin1String("D") ||
         (r.FormType == QLatin1String("P") && r.ValueType == QLatin1String("D")));
    if (isCutOffFormType(r)) {
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
