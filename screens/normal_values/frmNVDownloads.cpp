#include "frmNVDownloads.h"
#include "component/SavedResults.h"
#include "component/modMain.h"
#include "component/model/ResultGrid.h"
#include "component/model/SaveCommands.h"
#include "labrules/Numeric.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/result_entry/GridCells.h"

#include <QPushButton>

// Results in two kinds of units need the most room: a larger window gives
// most of its width to them.
frmNVDownloads::frmNVDownloads()
    : ResultEntryForm(0.4)
{
    setObjectName(QStringLiteral("frmNVDownloads"));
    // The factor is read, not typed: four digits tell it; the tooltip has it whole.
    msfgRequest->setItemDelegateForColumn(col(NvCol::Factor),
                                          new GridCells::ShortNumberCell(msfgRequest));
    // The exam's name stays in view while the units scroll by.
    GridCells::freezeColumns(msfgRequest, col(NvCol::Name));
    // Flags follow the values however they change: typed, taken over, put back.
    connect(msfgRequest, &QTableWidget::cellChanged, this, [this](int row, int column) {
        for (NvCol judged : {NvCol::Request, NvCol::Item, NvCol::Value, NvCol::CValue})
            if (column == col(judged))
                guarded([&] { showChecks(row + 1); });
    });
}

void frmNVDownloads::layoutRequestGrid()
{
    // Columns only: a lookup lays the grid out again and keeps its rows.
    msfgRequest->setCols(17);
    msfgRequest->setFixedCols(2);
    const QList<QPair<int, int>> widths = {{0, 0},     {1, 0},  {2, 2200}, {3, 1800}, {4, 1200},
                                           {5, 1000},  {6, 0},  {7, 0},    {8, 2000}, {9, 1500},
                                           {10, 1000}, {11, 0}, {12, 0}};
    for (const auto& [col, twips] : widths)
        msfgRequest->setColWidth(col, twips);
    // Factor and form type keep the grid's default width, shown, also after
    // the start-up sizing hid every column from 8 on.
    msfgRequest->setDefaultColWidth(13);
    msfgRequest->setDefaultColWidth(14);
    for (int col : {3, 4, 8, 9})
        msfgRequest->setColAlignmentCentred(col);
    const QStringList headers = {"RequestNum", "ExamID",    "  Exam",    "Result", "Normal Value",
                                 "Unit",       "Min Value", "Max Value", "Result", "Normal Value",
                                 "Unit",       "Min Value", "Max Value", "Factor", "FType"};
    for (int c = 0; c < headers.size(); ++c)
        msfgRequest->setTextMatrix(0, c, headers[c]);
    layoutCheckColumns();
}

void frmNVDownloads::Fill_Results()
{
    cmdResetResult->setEnabled(true);
    layoutRequestGrid();
    msfgRequest->setRows(2);
    showRequestSample();
    savedValuesFill();
    loadChecks();
}

void frmNVDownloads::savedValuesFill()
{
    LoadResultHeader();
    SessionState& s = session();
    auto saved = s.LabDb->openRecordset(SaveCommands::conventionalResults(s.RequestNum, false),
                                        CursorOptions::clientDynamic(LockType::Optimistic));
    if (saved->recordCount() > 0) {
        static const char* const columns[] = {"RequestNum", "ExamCode", "ExamName", "sResult",
                                              "sNValues",   "sUnit",    "sMin",     "sMax",
                                              "CResult",    "cNValues", "CUnit",    "CMin",
                                              "CMax",       "Factor",   "FormType"};
        for (; !saved->eof(); saved->moveNext()) {
            const int row = msfgRequest->Rows() - 1;
            for (int c = 0; c < kNvSavedCols; ++c) {
                const QString v = saved->text(QLatin1String(columns[c]));
                msfgRequest->setTextMatrix(row, c,
                                           c == col(NvCol::Name) ? QStringLiteral("  ") + v : v);
            }
            msfgRequest->setRows(msfgRequest->Rows() + 1);
        }
        msfgRequest->setRows(msfgRequest->Rows() - 1);
    }
    // The take-over matches against the request's exams in every mode.
    fillRequestedExams(true);
    if (saved->recordCount() < 1)
        return;
    // Exams of the request without a saved result get their rows too, to be
    // typed where the others are.
    GridRows requested;
    for (int i = 1; i < grdExams->Rows(); ++i)
        requested.append({grdExams->TextMatrix(i, col(ExamsCol::Request)),
                          grdExams->TextMatrix(i, col(ExamsCol::Item)),
                          QStringLiteral("  ") + grdExams->TextMatrix(i, col(ExamsCol::Name)),
                          QString(), grdExams->TextMatrix(i, col(ExamsCol::Normal))});
    mergeRequestedRows(requested);
}

void frmNVDownloads::takeOverDownloaded()
{
    const auto downloaded = [this](int row, int col) {
        return col < msfgDLresult->Cols() ? msfgDLresult->TextMatrix(row, col) : QString();
    };
    const QHash<QString, RequestedExam> exams = requestedExams();
    GridRows rows;
    for (int i = 1; i < msfgDLresult->Rows(); ++i) {
        const QString code = downloaded(i, col(DownloadedCol::Item)).trimmed();
        const auto exam = exams.constFind(code);
        if (code.isEmpty() || exam == exams.constEnd())
            continue;
        const auto value = numeric(downloaded(i, col(DownloadedCol::Value)));
        for (int n = 0; n < exam->rows; ++n)
            rows.append({downloaded(i, col(DownloadedCol::OrderedBy)).trimmed(), code,
                         exam->cells.value(col(ExamsCol::Name)),
                         value ? numberText(*value) : QString(),
                         exam->cells.value(col(ExamsCol::Normal)),
                         downloaded(i, col(DownloadedCol::Unit)), QString()});
    }
    // A replaced row's conventional units are left to the database.
    mergeTakenRows(rows);
    m_taken.clear();
    for (const QStringList& row : std::as_const(rows))
        m_taken.insert(row[col(NvCol::Request)].trimmed().toUpper() + QLatin1Char('|') +
                           row[col(NvCol::Item)].trimmed().toUpper(),
                       {row[col(NvCol::Value)], LookedUpSample});
    // The rows were written whole, flag cells included: judge them again.
    for (int r = 1; r < msfgRequest->Rows(); ++r)
        showChecks(r);
}

void frmNVDownloads::copyRequestedExams()
{
    GridRows requested;
    for (int i = 1; i < grdExams->Rows(); ++i)
        requested.append({grdExams->TextMatrix(i, col(ExamsCol::Request)),
                          grdExams->TextMatrix(i, col(ExamsCol::Item)),
                          grdExams->TextMatrix(i, col(ExamsCol::Name))});
    mergeRequestedRows(requested);
}
