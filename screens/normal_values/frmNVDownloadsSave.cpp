// Saving the normal-values window: one statement and one result summary
// per row, the logbook and the verification, in one transaction.
#include "Connection.h"
#include "DateText.h"
#include "FailureAdvice.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Presenter.h"
#include "ReportPrinting.h"
#include "ResultValue.h"
#include "ScreenHelpers.h"
#include "SqlText.h"
#include "WaitCursor.h"
#include "frmAmendmentReason.h"
#include "frmNVDownloads.h"
#include "modMain.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QMap>
#include <QSet>
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

constexpr int kExamColumn = 2;
constexpr int kConventionalColumn = 8;
const QColor kReCheckedShade(0xff, 0xd0, 0xe8); // the legend's pink, lightened
} // namespace

void frmNVDownloads::fillingEnded()
{
    const SessionState& s = session();
    if (!s.EditMode && !s.VerifyMode)
        return;
    // The header was read while filling; a sample found for the request
    // keeps its number as the accession number.
    const QString sample = txtAccNum->text();
    showSavedHeader();
    if (!sample.isEmpty())
        txtAccNum->setText(sample);
}

void frmNVDownloads::valueChanged(int row)
{
    // The laboratory derives the conventional result from the SI one on save.
    msfgRequest->setTextMatrix(row, kConventionalColumn, QString());
    m_taken.remove(rowKey(row)); // typed: no longer the instrument's
}

QString frmNVDownloads::valueRefusal(const QString& value) const
{
    // The laboratory's own rule; it refuses the same on save.
    return ResultValue::read(value, {}, true).refusal;
}

bool frmNVDownloads::isReChecked(int row) const
{
    // Every column of this grid is saved: the mark is only a shade.
    const QTableWidgetItem* item = msfgRequest->item(row - 1, kExamColumn);
    return item && item->background().color() == kReCheckedShade;
}

void frmNVDownloads::setReChecked(int row, bool on)
{
    QTableWidgetItem* item = msfgRequest->item(row - 1, kExamColumn);
    if (!item) {
        item = new QTableWidgetItem;
        msfgRequest->setItem(row - 1, kExamColumn, item);
    }
    item->setBackground(on ? QBrush(kReCheckedShade) : QBrush());
}

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
        if (!buildStatements() || !emptyRowsAccepted() ||
            !confirmChecks(verifies() && (session().VerifyMode || VerifyRequested)) ||
            !Save_Entries()) {
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
            if (const QString why = valueRefusal(cell(3)); !why.isEmpty()) {
                msgBox(QStringLiteral("Nothing was saved: ") + cell(2).trimmed() +
                           QStringLiteral("\n") + why,
                       QStringLiteral("Correct the result of %1 on request %2 and save again; "
                                      "every value is still on the screen.")
                           .arg(cell(2).trimmed(), s.RequestNum.trimmed()),
                       MsgIcon::Exclamation, QStringLiteral("Invalid Result"));
                return false;
            }
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
            // A changed SI value has no conventional one yet: the laboratory
            // derives it on save, and the summary takes it from there.
            const bool derived = cell(8).trimmed().isEmpty();
            if (!derived)
                summary += cell(8) + QStringLiteral(" (") + cell(9) + QLatin1Char(' ') + cell(10) +
                           QLatin1Char(')');
            m_rows.append({i,
                           cell(0),
                           cell(1),
                           statement,
                           summary,
                           derived,
                           {},
                           {},
                           cell(3),
                           cell(2).trimmed()});
        }
        return true;
    } catch (const LisError& e) {
        msgBox(QStringLiteral("ERROR: ") + e.description(),
               failureAdvice(e, FailedStep::Save, s.RequestNum));
        return false;
    }
}

QString frmNVDownloads::derivedConventionalPart(Connection& db, const RowSave& row)
{
    // Read inside the save's transaction: what the row now holds.
    auto rs = db.openRecordset(QStringLiteral("Lab_FormMaker_GetResult_ReagentValues '") +
                                   q(row.requestNum) + QStringLiteral("'"),
                               CursorOptions::clientDynamic());
    for (; !rs->eof(); rs->moveNext()) {
        if (rs->textOrEmpty(QStringLiteral("ExamCode")).trimmed() != row.examCode.trimmed())
            continue;
        const QString result = rs->textOrEmpty(QStringLiteral("CResult"));
        if (result.trimmed().isEmpty())
            return QString();
        return result + QStringLiteral(" (") + rs->textOrEmpty(QStringLiteral("cNValues")) +
               QLatin1Char(' ') + rs->textOrEmpty(QStringLiteral("CUnit")) + QLatin1Char(')');
    }
    return QString();
}

bool frmNVDownloads::Save_Entries()
{
    if (nothingToSave())
        return false;
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
    // Calls and acknowledgements of saved values go before the request is
    // first verified.
    QSet<QString> told;
    const auto tellEarly = [&](const QString& req) {
        if (told.contains(req))
            return;
        told.insert(req);
        for (const RowSave& row : std::as_const(m_rows))
            if (row.requestNum == req)
                for (const QString& text : row.early)
                    db.execute(text);
    };
    // Results the verifier entered, which wait for another technologist.
    QMap<QString, QStringList> waiting;
    const auto verify = [&](const QString& req) {
        tellEarly(req);
        if (!logbookHasRow(req))
            return;
        auto left = db.openRecordset(QStringLiteral("laboratory..LAB_Save_VerifyResults '") +
                                         q(req) + QStringLiteral("','") + q(s.EmployeeCode) +
                                         QStringLiteral("'"),
                                     CursorOptions::clientDynamic());
        QStringList& exams = waiting[req];
        exams.clear();
        for (; !left->eof(); left->moveNext())
            if (left->textOrEmpty(QStringLiteral("Waiting")) == QLatin1String("entered"))
                exams << left->textOrEmpty(QStringLiteral("ExamName"));
    };
    // A verified result corrected goes with the reason for it, asked before
    // anything is written.
    QMap<QString, QString> typed, verified, names; // by "request|ITEM"
    for (const RowSave& row : std::as_const(m_rows)) {
        const QString key = row.requestNum.trimmed() + '|' + row.examCode.trimmed().toUpper();
        typed[key] = row.value;
        names[key] = row.examName;
        if (const auto saved = m_checks.verifiedResult(row.requestNum, row.examCode))
            verified[key] = *saved;
    }
    const QStringList amended = frmAmendmentReason::amended(typed, verified);
    QString reason;
    if (!amended.isEmpty()) {
        QStringList exams;
        for (const QString& key : amended)
            exams << names.value(key);
        reason = frmAmendmentReason::ask(db, exams);
        if (reason.isEmpty())
            return false; // cancelled: nothing saved, every value still shown
    }
    try {
        writeHeaderFields();
        db.beginTrans();
        QMap<QString, QStringList> read; // request -> the items of its rows here
        for (const RowSave& row : std::as_const(m_rows))
            read[row.requestNum].append(row.examCode);
        for (auto it = read.cbegin(); it != read.cend(); ++it)
            sendUnchanged(db, it.key(), it.value());
        // The summaries go with the results: a failed save leaves none. Each
        // request's is emptied once, before its first row.
        QSet<QString> emptied;
        const auto emptySummary = [&](const QString& req) {
            if (emptied.contains(req))
                return;
            emptied.insert(req);
            db.execute(QStringLiteral("Lab_DeleteDump_ResultSummary '") + q(req) +
                       QStringLiteral("'"));
        };
        const bool package = s.Request.FormType == QLatin1String("P");
        if (package)
            emptySummary(s.RequestNum);
        bool alreadyVerified = false;
        const auto saveSummary = [&](const RowSave& row) {
            QString summary = row.summary;
            if (row.derived)
                summary += derivedConventionalPart(db, row);
            db.execute(QStringLiteral("Lab_SaveDump_ResultSummary '") + q(row.requestNum) +
                       QStringLiteral("', '") + q(summary) + QStringLiteral("'"));
        };
        for (const RowSave& row : m_rows) {
            const QString& r = row.requestNum;
            if (!package)
                emptySummary(r);
            if (!row.derived)
                saveSummary(row);
            if (s.VerifyMode && verifies()) {
                verify(r);
                alreadyVerified = true;
            }
            ensureLogbookEntry(db, r);
            db.execute(amended.contains(r.trimmed() + '|' + row.examCode.trimmed().toUpper())
                           ? row.statement + QStringLiteral(", '") + q(reason) + QStringLiteral("'")
                           : row.statement);
            for (const QString& recorded : row.recorded)
                db.execute(recorded);
            if (row.derived)
                saveSummary(row);
            if (VerifyRequested && !alreadyVerified && verifies())
                verify(r);
        }
        for (const RowSave& row : std::as_const(m_rows))
            tellEarly(row.requestNum);
        commitSave(db);
        markSaved();
        for (auto it = waiting.cbegin(); it != waiting.cend(); ++it)
            if (!it.value().isEmpty())
                msgBox(QStringLiteral("Saved; %1 waits for verification by another technologist.")
                           .arg(it.key().trimmed()),
                       QStringLiteral("%1 entered %2: the laboratory has another medical "
                                      "technologist verify it.")
                           .arg(s.EmployeeCode.trimmed(), it.value().join(QStringLiteral(", "))),
                       MsgIcon::Information);
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
