// Saving the normal-values window: one statement and one result summary
// per row, the logbook and the verification, in one transaction.
#include "Connection.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Presenter.h"
#include "ReportPrinting.h"
#include "ScreenHelpers.h"
#include "SqlText.h"
#include "WaitCursor.h"
#include "frmNVDownloads.h"
#include "modMain.h"

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
} // namespace

bool frmNVDownloads::verifies() const
{
    // A clerk's save never verifies.
    return !session().Clerk;
}

void frmNVDownloads::writeHeaderFields()
{
    SessionState& s = session();
    s.SampleSubmitted = pickedDateTime(dtSubmitted, dtSubmittedTime);
    s.LRATime = pickedDateTime(dtLRADate, dtLRATime);
    s.DateTimeReported = pickedDateTime(dtReportDate, dtReportTime);
    s.Remarks = txtRemarks->toPlainText();
    s.AccessionNum = txtAccNum->text();
    s.Method = InstrumentId;
}

void frmNVDownloads::Save_And_Print(bool verify, bool print)
{
    {
        WaitCursor wait;
        SetActionButtons(*this, false);
        VerifyRequested = verify;
        // A save that fails leaves the window open with every value, to
        // correct and save again.
        if (!buildStatements() || !Save_Entries()) {
            SetActionButtons(*this, true);
            return;
        }
        if (print) {
            try {
                Print_Result();
                if (session().ReportVerified && session().PrintRequested)
                    Print_Result();
            } catch (...) {
                SetActionButtons(*this, true);
                throw;
            }
        }
    }
    close();
}

bool frmNVDownloads::buildStatements()
{
    const SessionState& s = session();
    m_rows.clear();
    try {
        writeHeaderFields();
        const QString flag = verifies() && (s.VerifyMode || VerifyRequested) ? QStringLiteral("Y")
                                                                             : QStringLiteral("N");
        for (int i = 1; i < msfgRequest->Rows(); ++i) {
            const auto cell = [&](int c) { return msfgRequest->TextMatrix(i, c); };
            if (cell(1).trimmed().isEmpty())
                continue; // an empty row saves nothing
            const QString sep = QStringLiteral("', '");
            const QString statement =
                QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2 '") + q(cell(0)) + sep +
                q(cell(1)) + sep + q(cell(3)) + sep + q(cell(4)) + QStringLiteral("' , '") +
                q(cell(5)) + sep + q(cell(6)) + sep + q(cell(7)) + sep + q(cell(8)) + sep +
                q(cell(9)) + sep + q(cell(10)) + sep + q(cell(11)) + sep + q(cell(12)) + sep +
                q(cell(13)) + sep + q(cell(14)) + sep + QString::number(i) + sep +
                q(s.AccessionNum) + QStringLiteral("','") + q(s.Remarks) + sep +
                general(s.SampleSubmitted) + sep + general(s.LRATime) + sep + q(s.LogbookNote) +
                sep + q(s.EmployeeCode) + sep + flag + sep + q(s.Method) + sep +
                general(s.DateTimeReported) + QStringLiteral("'");
            QString summary = s.Request.FormType == QLatin1String("P")
                                  ? cell(2) + QStringLiteral("=")
                                  : QString();
            summary += cell(3) + QStringLiteral(" (") + cell(4) + QLatin1Char(' ') + cell(5) +
                       QLatin1Char(')');
            if (!cell(8).trimmed().isEmpty())
                summary += cell(8) + QStringLiteral(" (") + cell(9) + QLatin1Char(' ') + cell(10) +
                           QLatin1Char(')');
            m_rows.append({cell(0), statement, summary});
        }
        return true;
    } catch (const LisError& e) {
        msgBox(QStringLiteral("ERROR: ") + e.description());
        return false;
    }
}

bool frmNVDownloads::Save_Entries()
{
    WaitCursor wait;
    SessionState& s = session();
    Connection& db = *s.LabDb;
    const auto logbookHasRow = [&](const QString& req) {
        auto rs = db.openRecordset(
            QStringLiteral("select * from laboratory..tblablogbook where requestnum = '") + q(req) +
                QStringLiteral("'"),
            CursorOptions::serverDynamic());
        return !rs->eof();
    };
    const auto verify = [&](const QString& req) {
        if (logbookHasRow(req))
            db.execute(QStringLiteral("laboratory..LAB_Save_VerifyResults '") + q(req) +
                       QStringLiteral("','") + q(s.EmployeeCode) + QStringLiteral("'"));
    };
    try {
        writeHeaderFields();
        db.beginTrans();
        // The summaries go with the results: a failed save leaves none.
        const bool package = s.Request.FormType == QLatin1String("P");
        if (package)
            db.execute(QStringLiteral("Lab_DeleteDump_ResultSummary '") + q(s.RequestNum) +
                       QStringLiteral("'"));
        bool alreadyVerified = false;
        for (const RowSave& row : m_rows) {
            const QString& r = row.requestNum;
            if (!package)
                db.execute(QStringLiteral("Lab_DeleteDump_ResultSummary '") + q(r) +
                           QStringLiteral("'"));
            db.execute(QStringLiteral("Lab_SaveDump_ResultSummary '") + q(r) +
                       QStringLiteral("', '") + q(row.summary) + QStringLiteral("'"));
            if (s.VerifyMode && verifies()) {
                verify(r);
                alreadyVerified = true;
            }
            ensureLogbookEntry(db, r);
            db.execute(row.statement);
            if (VerifyRequested && !alreadyVerified && verifies())
                verify(r);
        }
        db.commitTrans();
        return true;
    } catch (const LisError& e) {
        saveFailed(db, e);
        return false;
    }
}

void frmNVDownloads::Print_Result()
{
    const SessionState& s = session();
    const QString db = QStringLiteral("LABORATORY");
    OpenReportWithLogOn(reportFolder() + QStringLiteral("/LabPrint_With_NormalValues.RPT"), db,
                        {s.HeaderAddress, s.RequestNum});
    ConfigureSubreport(QStringLiteral("Conversion"), db, {s.RequestNum});
    ConfigureSubreport(QStringLiteral("SI"), db, {s.RequestNum});
    PrintOrPreview(false, QStringLiteral("Laboratory Result"), s.PrintRequested, VerifyRequested);
}
