#include "frmDownloaded.h"

#include "component/modMain.h"
#include "component/model/ResultGrid.h"
#include "component/model/SaveCommands.h"
#include "labrules/LabLogic.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/result_entry/InterpretationShade.h"

#include "component/SavedResults.h"
#include "labrules/Numeric.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTimeEdit>
#include <optional>

namespace {
// The RESULT column: the laboratory's interpretation of the value.
constexpr int kInterpretationColumn = col(CutOffCol::Result);

QString numericText(const QString& text)
{
    const auto v = numeric(text);
    return v ? numberText(*v) : QString();
}
} // namespace

// The downloaded results' interpretations and the final results' both
// need room: a larger window is shared about evenly.
frmDownloaded::frmDownloaded()
    : ResultEntryForm(0.62)
{
    setObjectName(QStringLiteral("frmDownloaded"));
    // This window's save keeps no reported time of its own: the database
    // stamps the time of saving, and the report shows that.
    for (QDateTimeEdit* picker :
         std::initializer_list<QDateTimeEdit*>{dtReportDate, dtReportTime}) {
        picker->setReadOnly(true);
        picker->setFocusPolicy(Qt::NoFocus);
        picker->setToolTip(QStringLiteral("The report shows the time the results are saved."));
    }
    // Every way an interpretation reaches the grid (filling, taking over,
    // resetting, typing) writes the cell's text: the shade follows the text.
    connect(msfgRequest->model(), &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& from, const QModelIndex& to, const QList<int>& roles) {
                if (from.column() > kInterpretationColumn || to.column() < kInterpretationColumn)
                    return;
                if (!roles.isEmpty() && !roles.contains(Qt::DisplayRole))
                    return;
                for (int r = from.row(); r <= to.row(); ++r)
                    InterpretationShade::apply(msfgRequest->item(r, kInterpretationColumn));
            });
}

void frmDownloaded::layoutRequestGrid()
{
    const int widths[] = {300, 0, 1800, 2100, 1000, 1500, 1000, 0, 0, 0};
    if (msfgRequest->Cols() < 10)
        msfgRequest->setCols(10);
    for (int c = 0; c < 10; ++c)
        msfgRequest->setColWidth(c, widths[c]);
    msfgRequest->setRowHeightMin(285);
    const QStringList headers = {QString(),
                                 QString(),
                                 QStringLiteral("NAME"),
                                 QStringLiteral("VALUE"),
                                 QStringLiteral("RESULT"),
                                 QStringLiteral("UNIT"),
                                 QStringLiteral("REMARKS"),
                                 QStringLiteral("REQUESTNUM")};
    for (int c = 0; c < headers.size(); ++c)
        msfgRequest->setTextMatrix(0, c, headers[c]);
}

void frmDownloaded::takeOverDownloaded()
{
    const auto downloaded = [this](int row, int col) {
        return col < msfgDLresult->Cols() ? msfgDLresult->TextMatrix(row, col) : QString();
    };
    // Every lookup is done before the grid is touched: a failing lookup
    // leaves the grid as it was. Each is made once, not once a row.
    const QHash<QString, RequestedExam> exams = requestedExams();
    std::optional<QHash<QString, QString>> values;
    GridRows rows;
    for (int i = 1; i < msfgDLresult->Rows(); ++i) {
        const QString code = downloaded(i, col(DownloadedCol::Item)).trimmed();
        if (code.isEmpty())
            continue; // a row without an item code is no exam
        const auto exam = exams.constFind(code);
        if (exam == exams.constEnd())
            continue;
        if (!values)
            values = itemValues();
        // One row for each requested row of the item.
        for (int n = 0; n < exam->rows; ++n)
            rows.append({QString(), code, exam->cells.value(col(ExamsCol::Name)),
                         values->value(code), numericText(downloaded(i, col(DownloadedCol::Value))),
                         downloaded(i, col(DownloadedCol::Unit)), QString(),
                         downloaded(i, col(DownloadedCol::OrderedBy)).trimmed(),
                         downloaded(i, col(DownloadedCol::CutOff)).trimmed()});
    }
    mergeTakenRows(rows);
    // The laboratory reads a number handed without a value as the value:
    // the window shows it so, with its interpretation.
    QSet<QString> taken;
    for (const QStringList& row : std::as_const(rows))
        taken.insert(row[col(CutOffCol::Item)]);
    for (int r = 1; r < msfgRequest->Rows(); ++r) {
        if (!taken.contains(msfgRequest->TextMatrix(r, col(CutOffCol::Item)).trimmed()))
            continue;
        const QString handed = msfgRequest->TextMatrix(r, kInterpretationColumn);
        if (msfgRequest->TextMatrix(r, kValueCol).trimmed().isEmpty() && numeric(handed))
            msfgRequest->setTextMatrix(r, kValueCol, handed);
        valueChanged(r);
    }
}

void frmDownloaded::copyRequestedExams()
{
    GridRows requested;
    for (int i = 1; i < grdExams->Rows(); ++i)
        requested.append({QString(), grdExams->TextMatrix(i, col(ExamsCol::Item)),
                          grdExams->TextMatrix(i, col(ExamsCol::Name)), QString(), QString(),
                          QString(), QString(), grdExams->TextMatrix(i, col(ExamsCol::Request)),
                          grdExams->TextMatrix(i, col(ExamsCol::Item))});
    mergeRequestedRows(requested);
}

void frmDownloaded::Fill_Results()
{
    cmdResetResult->setEnabled(true);
    showRequestSample();
    cutOffFill();
}

void frmDownloaded::cutOffFill()
{
    SessionState& s = session();
    msfgRequest->setRows(2);
    auto saved = s.LabDb->openRecordset(SaveCommands::cutOffResults(s.RequestNum),
                                        CursorOptions::clientDynamic());
    if (saved->recordCount() > 0) {
        const QList<QPair<CutOffCol, QString>> columns = {
            {CutOffCol::Item, QStringLiteral("ItemID")},
            {CutOffCol::Name, QStringLiteral("ExamName")},
            {CutOffCol::Value, QStringLiteral("PatientValue")},
            {CutOffCol::Result, QStringLiteral("result")},
            {CutOffCol::Request, QStringLiteral("RequestNum")},
            {CutOffCol::CutOff, QStringLiteral("CutOffValue")}};
        for (; !saved->eof(); saved->moveNext()) {
            layoutRequestGrid();
            const int row = msfgRequest->Rows() - 1;
            for (const auto& [column, field] : columns)
                msfgRequest->setTextMatrix(row, col(column), saved->textOrEmpty(field));
            msfgRequest->setRows(msfgRequest->Rows() + 1);
        }
        msfgRequest->setRows(msfgRequest->Rows() - 1);
        // Exams of the request without a saved result get their rows too,
        // to be typed where the others are.
        fillRequestedExams(false);
        copyRequestedExams();
        dtpResultDate->setEnabled(false);
        cmdResetResult->setEnabled(false);
        cmdSearchSampleNum->setEnabled(false);
        return;
    }

    fillRequestedExams(false);
}

void frmDownloaded::readSavedHeader()
{
    // Only the header fields: the host's entry mode stays in force, and a
    // header that cannot be read is told while the window still opens.
    guarded([] { LoadResultHeader(false); });
}

void frmDownloaded::fillingEnded()
{
    // The laboratory's rule of each item, to show what a typed value means
    // as the laboratory will store it; without them the cell stays empty
    // until the save.
    m_rules.clear();
    m_withCutOff.clear();
    m_verified.clear();
    std::unique_ptr<Recordset> rs;
    try {
        rs = session().LabDb->openRecordset(CommandText::call(QStringLiteral("Lab_GetResultChecks"),
                                                              {session().RequestNum.trimmed()}),
                                            CursorOptions::clientDynamic());
    } catch (const LisError&) {
        return;
    }
    for (; !rs->eof(); rs->moveNext()) {
        // What a correction would amend.
        if (rs->textOrEmpty(QStringLiteral("Verified")) == QLatin1String("Y"))
            m_verified.insert(rs->textOrEmpty(QStringLiteral("ItemID")).trimmed().toUpper(),
                              rs->textOrEmpty(QStringLiteral("SavedResult")));
        // An exam without a cut-off of its own is read against the one its
        // row carries, if any.
        const auto cutOff = LabLogic::Decimal::parse(rs->textOrEmpty(QStringLiteral("CutOff")));
        const QString item = rs->textOrEmpty(QStringLiteral("ItemID")).trimmed().toLower();
        if (cutOff)
            m_withCutOff.insert(item);
        m_rules.insert(item,
                       {cutOff.value_or(LabLogic::Decimal()),
                        rs->textOrEmpty(QStringLiteral("ReactiveAtOrAbove")) != QLatin1String("N"),
                        rs->textOrEmpty(QStringLiteral("PositiveLabel")),
                        rs->textOrEmpty(QStringLiteral("NegativeLabel")),
                        LabLogic::Decimal::parse(rs->textOrEmpty(QStringLiteral("GreyZone")))
                            .value_or(LabLogic::Decimal())});
    }
}

void frmDownloaded::valueChanged(int row)
{
    // The interpretation the laboratory will store: its rule, read against
    // the cut-off shown with the row when there is one.
    const QString item = msfgRequest->TextMatrix(row, col(CutOffCol::Item)).trimmed().toLower();
    const auto rule = m_rules.constFind(item);
    if (rule == m_rules.cend()) {
        msfgRequest->setTextMatrix(row, kInterpretationColumn, QString());
        return;
    }
    std::optional<LabLogic::CutOffRule> shown;
    if (const auto cutOff =
            LabLogic::Decimal::parse(msfgRequest->TextMatrix(row, col(CutOffCol::CutOff)))) {
        shown = *rule;
        shown->cutOff = *cutOff;
    } else if (m_withCutOff.contains(item)) {
        shown = *rule;
    }
    const QString value = msfgRequest->TextMatrix(row, kValueCol);
    const QString meaning = LabLogic::interpretResult(value, QString(), shown);
    msfgRequest->setTextMatrix(row, kInterpretationColumn, meaning);
    if (QTableWidgetItem* cell = msfgRequest->item(row - 1, kInterpretationColumn))
        cell->setToolTip(meaning.isEmpty() && !value.trimmed().isEmpty()
                             ? QStringLiteral("%1 does not decide the interpretation against the "
                                              "cut-off %2: enter the measured value.")
                                   .arg(value.trimmed(), shown ? shown->cutOff.text(1) : QString())
                             : QString());
}

QString frmDownloaded::Get_ShowResultValue(const QString& code)
{
    auto rs = session().LabDb->openRecordset(SaveCommands::showResultValueSelect(code),
                                             CursorOptions::clientDynamic());
    if (rs->eof())
        return QString();
    const QString v = rs->textOrEmpty(QStringLiteral("ShowResultValue")).trimmed();
    return v.isEmpty() ? QStringLiteral("N") : v;
}
