// Saving the normal-values window: one statement and one result summary
// per row, the logbook and the verification, in one transaction.
#include "component/FailureAdvice.h"
#include "component/SavedResults.h"
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "component/model/FormType.h"
#include "component/reports/ReportPrinting.h"
#include "labrules/ResultValue.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/WaitCursor.h"
#include "screens/dialogs/frmAmendmentReason.h"
#include "screens/normal_values/frmNVDownloads.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QMap>
#include <QSet>
#include <QTextEdit>
#include <QTimeEdit>

namespace {
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
    msfgRequest->setTextMatrix(row, col(NvCol::CValue), QString());
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
    const QTableWidgetItem* item = msfgRequest->item(row - 1, col(NvCol::Name));
    return item && item->background().color() == kReCheckedShade;
}

void frmNVDownloads::setReChecked(int row, bool on)
{
    QTableWidgetItem* item = msfgRequest->item(row - 1, col(NvCol::Name));
    if (!item) {
        item = new QTableWidgetItem;
        msfgRequest->setItem(row - 1, col(NvCol::Name), item);
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

bool frmNVDownloads::questionsAccepted()
{
    return buildStatements() && emptyRowsAccepted() &&
           confirmChecks(verifies() && (session().VerifyMode || VerifyRequested));
}

bool frmNVDownloads::buildStatements()
{
    const SessionState& s = session();
    m_rows.clear();
    try {
        writeHeaderFields();
        const ResultGrid<NvCol> grid = gridOf<NvCol>(gridRows(msfgRequest));
        for (const auto& row : grid) {
            if (row.at(NvCol::Item).trimmed().isEmpty())
                continue; // an empty row saves nothing
            const QString name = row.at(NvCol::Name).trimmed();
            if (const QString why = valueRefusal(row.at(NvCol::Value)); !why.isEmpty()) {
                msgBox(QStringLiteral("Nothing was saved: ") + name + QStringLiteral("\n") + why,
                       QStringLiteral("Correct the result of %1 on request %2 and save again; "
                                      "every value is still on the screen.")
                           .arg(name, s.RequestNum.trimmed()),
                       MsgIcon::Exclamation, QStringLiteral("Invalid Result"));
                return false;
            }
        }
        const bool flag = verifies() && (s.VerifyMode || VerifyRequested);
        for (const SaveCommands::NvRowSave& row : SaveCommands::nvRows(grid, saveHeader(), flag))
            m_rows.append({row, {}, {}});
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
    auto rs = db.openRecordset(SaveCommands::conventionalResults(row.requestNum, true),
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
    Connection& db = *session().LabDb;
    QString reason;
    const QStringList amended = amendedRows(reason);
    if (!amended.isEmpty() && reason.isEmpty())
        return false; // cancelled: nothing saved, every value still shown
    try {
        writeHeaderFields();
        db.beginTrans();
        QMap<QString, QStringList> read; // request -> the items of its rows here
        for (const RowSave& row : std::as_const(m_rows))
            read[row.requestNum].append(row.examCode);
        for (auto it = read.cbegin(); it != read.cend(); ++it)
            sendUnchanged(db, it.key(), it.value());
        const QMap<QString, QStringList> waiting = writeRows(db, amended, reason);
        commitSave(db);
        markSaved();
        tellWaiting(waiting);
        return true;
    } catch (const LisError& e) {
        saveFailed(db, e);
        return false;
    }
}

void frmNVDownloads::saveSummary(Connection& db, const RowSave& row)
{
    QString summary = row.summary;
    if (row.derived)
        summary += derivedConventionalPart(db, row);
    db.execute(SaveCommands::saveSummary(row.requestNum, summary));
}

// What a save has done so far, by request: told early, verified, its
// summary emptied.
struct frmNVDownloads::RowWriter {
    Connection& db;
    const QList<RowSave>& rows;
    const QString& employee;
    QSet<QString> told;
    QSet<QString> emptied;
    // Results the verifier entered, which wait for another technologist.
    QMap<QString, QStringList> waiting;

    // Calls and acknowledgements of saved values go before the request is
    // first verified.
    void tellEarly(const QString& req)
    {
        if (told.contains(req))
            return;
        told.insert(req);
        for (const RowSave& row : rows)
            if (row.requestNum == req)
                for (const QString& text : row.early)
                    db.execute(text);
    }
    void verify(const QString& req)
    {
        tellEarly(req);
        if (RequestLogged(db, req))
            waiting[req] = VerifyResults(db, req, employee);
    }
    // The summaries go with the results: a failed save leaves none. Each
    // request's is emptied once, before its first row.
    void emptySummary(const QString& req)
    {
        if (!emptied.contains(req)) {
            emptied.insert(req);
            db.execute(SaveCommands::emptySummary(req));
        }
    }
};

QMap<QString, QStringList> frmNVDownloads::writeRows(Connection& db, const QStringList& amended,
                                                     const QString& reason)
{
    const SessionState& s = session();
    RowWriter w{db, m_rows, s.EmployeeCode, {}, {}, {}};
    const bool package = formIs(s.Request.FormType, FormType::Package);
    if (package)
        w.emptySummary(s.RequestNum);
    bool alreadyVerified = false;
    for (const RowSave& row : std::as_const(m_rows)) {
        const QString& r = row.requestNum;
        if (!package)
            w.emptySummary(r);
        if (!row.derived)
            saveSummary(db, row);
        if (s.VerifyMode && verifies()) {
            w.verify(r);
            alreadyVerified = true;
        }
        ensureLogbookEntry(db, r);
        db.execute(amended.contains(r.trimmed() + '|' + row.examCode.trimmed().toUpper())
                       ? SaveCommands::withReason(row.statement, reason)
                       : row.statement);
        for (const QString& recorded : row.recorded)
            db.execute(recorded);
        if (row.derived)
            saveSummary(db, row);
        if (VerifyRequested && !alreadyVerified && verifies())
            w.verify(r);
    }
    for (const RowSave& row : std::as_const(m_rows))
        w.tellEarly(row.requestNum);
    return w.waiting;
}

QStringList frmNVDownloads::amendedRows(QString& reason) const
{
    // A verified result corrected goes with the reason for it, asked before
    // anything is written.
    QMap<QString, QString> typed, verified, names; // by "request|ITEM"
    for (const RowSave& row : m_rows) {
        const QString key = row.requestNum.trimmed() + '|' + row.examCode.trimmed().toUpper();
        typed[key] = row.value;
        names[key] = row.examName;
        if (const auto saved = m_checks.verifiedResult(row.requestNum, row.examCode))
            verified[key] = *saved;
    }
    const QStringList amended = frmAmendmentReason::amended(typed, verified);
    if (!amended.isEmpty()) {
        QStringList exams;
        for (const QString& key : amended)
            exams << names.value(key);
        reason = frmAmendmentReason::ask(*session().LabDb, exams);
    }
    return amended;
}

void frmNVDownloads::tellWaiting(const QMap<QString, QStringList>& waiting)
{
    for (auto it = waiting.cbegin(); it != waiting.cend(); ++it)
        if (!it.value().isEmpty())
            msgBox(
                QStringLiteral("Saved; %1 waits for verification by another technologist.")
                    .arg(it.key().trimmed()),
                QStringLiteral("%1 entered %2: the laboratory has another medical "
                               "technologist verify it.")
                    .arg(session().EmployeeCode.trimmed(), it.value().join(QStringLiteral(", "))),
                MsgIcon::Information);
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
