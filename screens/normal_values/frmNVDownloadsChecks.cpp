// The normal-values window's checks of its results: flags and the previous
// result while typing, and on save the questions about implausible,
// critical and changed results and what the laboratory is told of them.
#include "component/modMain.h"
#include "platform/Clock.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/dialogs/frmCriticalCall.h"
#include "screens/normal_values/frmNVDownloads.h"

#include <QHeaderView>
#include <QSysInfo>
#include <algorithm>

namespace {
constexpr int kFlagColumn = col(NvCol::Flag);
constexpr int kPreviousColumn = col(NvCol::Previous);
constexpr int kValueColumn = col(NvCol::Value);
const QColor kDeltaShade(0xff, 0xd5, 0x80); // amber
const QColor kLow(0x00, 0x3c, 0xb4);
const QColor kHigh(0xc0, 0x00, 0x00);
const QColor kCritical(0x8b, 0x00, 0x00);

// Colour goes with the letters, never instead of them.
QColor foreground(const RowFlags& f)
{
    if (f.critical())
        return Qt::white;
    const QString worst = f.si.isEmpty() ? f.conventional : f.si;
    if (worst == QLatin1String("L"))
        return kLow;
    if (worst == QLatin1String("H"))
        return kHigh;
    return {};
}

QColor background(const RowFlags& f) // invalid: the grid's own
{
    return f.critical() ? kCritical : QColor();
}

// Nothing to show: cells never written stay as they were.
void clearChecks(FlexGrid& grid, int row)
{
    if (grid.TextMatrix(row, kFlagColumn).isEmpty() && grid.TextMatrix(row, kPreviousColumn).isEmpty())
        return;
    for (int c : {kFlagColumn, kPreviousColumn}) {
        grid.setTextMatrix(row, c, QString());
        QTableWidgetItem* item = grid.item(row - 1, c);
        item->setData(Qt::ForegroundRole, QVariant());
        item->setData(Qt::BackgroundRole, QVariant());
        item->setData(Qt::FontRole, QVariant());
        item->setToolTip(QString());
    }
}

QTableWidgetItem* showFlag(FlexGrid& grid, int row, const RowFlags& f)
{
    grid.setTextMatrix(row, kFlagColumn, f.text());
    QTableWidgetItem* flag = grid.item(row - 1, kFlagColumn);
    flag->setTextAlignment(Qt::AlignCenter);
    const QColor fore = foreground(f), back = background(f);
    flag->setData(Qt::ForegroundRole, fore.isValid() ? QVariant(QBrush(fore)) : QVariant());
    flag->setData(Qt::BackgroundRole, back.isValid() ? QVariant(QBrush(back)) : QVariant());
    QFont font = grid.font();
    font.setBold(true);
    flag->setData(Qt::FontRole, f.text().isEmpty() ? QVariant() : QVariant(font));
    return flag;
}

void showPrevious(FlexGrid& grid, int row, const ItemChecks& checks, const RowFlags& f)
{
    grid.setTextMatrix(row, kPreviousColumn,
                       ResultChecks::previousText(checks, grid.TextMatrix(row, col(NvCol::Unit))));
    QTableWidgetItem* previous = grid.item(row - 1, kPreviousColumn);
    previous->setToolTip(checks.previousRequest.isEmpty()
                             ? QString()
                             : QStringLiteral("Verified result of request ") +
                                   checks.previousRequest);
    previous->setData(Qt::BackgroundRole, f.delta ? QVariant(QBrush(kDeltaShade)) : QVariant());
}
} // namespace

QString frmNVDownloads::rowKey(int row) const
{
    return msfgRequest->TextMatrix(row, col(NvCol::Request)).trimmed().toUpper() +
           QLatin1Char('|') + msfgRequest->TextMatrix(row, col(NvCol::Item)).trimmed().toUpper();
}

void frmNVDownloads::layoutCheckColumns()
{
    const bool shown = m_checks.anyFlagged();
    msfgRequest->setColWidth(kFlagColumn, shown ? 900 : 0);
    msfgRequest->setColWidth(kPreviousColumn, shown ? 2500 : 0);
    msfgRequest->setTextMatrix(0, kFlagColumn, QStringLiteral("Flag"));
    msfgRequest->setTextMatrix(0, kPreviousColumn, QStringLiteral("Previous"));
    // Shown beside what they judge: the flag after the SI result, the
    // previous result after the SI unit. Only the view moves; the cells keep
    // their numbers.
    QHeaderView* header = msfgRequest->horizontalHeader();
    const auto after = [header](int col, int shownAfter) {
        const int to = header->visualIndex(shownAfter) + 1;
        const int from = header->visualIndex(col);
        if (from != to)
            header->moveSection(from, from < to ? to - 1 : to);
    };
    after(kFlagColumn, kValueColumn);
    after(kPreviousColumn, col(NvCol::Unit));
}

void frmNVDownloads::loadChecks()
{
    Connection& db = *session().LabDb;
    m_checks.load(db, session().RequestNum);
    m_savedValues.clear();
    for (int r = 1; r < msfgRequest->Rows(); ++r) {
        m_checks.load(db, msfgRequest->TextMatrix(r, 0));
        m_savedValues.insert(rowKey(r), msfgRequest->TextMatrix(r, kValueColumn).trimmed());
    }
    m_checksShown = true;
    layoutCheckColumns();
    for (int r = 1; r < msfgRequest->Rows(); ++r)
        showChecks(r);
}

const ItemChecks* frmNVDownloads::checksOf(int row) const
{
    return m_checks.item(msfgRequest->TextMatrix(row, 0), msfgRequest->TextMatrix(row, 1));
}

void frmNVDownloads::showChecks(int row)
{
    if (!m_checksShown || row < 1 || row >= msfgRequest->Rows() ||
        msfgRequest->Cols() <= kPreviousColumn)
        return;
    const QString request = msfgRequest->TextMatrix(row, 0);
    if (!request.trimmed().isEmpty() && !m_checks.loaded(request)) {
        // A row taken over for another request of the order.
        const bool before = m_checks.anyFlagged();
        m_checks.load(*session().LabDb, request);
        if (m_checks.anyFlagged() != before)
            layoutCheckColumns();
    }
    const ItemChecks* checks =
        m_checks.flagged(msfgRequest->TextMatrix(row, 0), msfgRequest->TextMatrix(row, 1));
    if (!checks) {
        clearChecks(*msfgRequest, row);
        return;
    }
    const RowFlags f =
        ResultChecks::flags(*checks, msfgRequest->TextMatrix(row, kValueColumn),
                            msfgRequest->TextMatrix(row, col(NvCol::CValue)), Clock::now());
    QTableWidgetItem* flag = showFlag(*msfgRequest, row, f);
    showPrevious(*msfgRequest, row, *checks, f);
    // The previous result beside the flag too, for a window too narrow to
    // show its column.
    const QString before = msfgRequest->TextMatrix(row, kPreviousColumn);
    flag->setToolTip(before.isEmpty() ? QString()
                                      : QStringLiteral("Previous: %1 (%2)%3")
                                            .arg(before, checks->previousRequest,
                                                 f.delta ? QStringLiteral(", changed by more than "
                                                                          "the delta limit")
                                                         : QString()));
}

QList<CheckedRow> frmNVDownloads::checkedRows() const
{
    QList<CheckedRow> rows;
    for (const RowSave& row : m_rows) {
        const auto cell = [&](NvCol c) {
            return msfgRequest->TextMatrix(row.gridRow, col(c)).trimmed();
        };
        const auto saved = m_savedValues.constFind(rowKey(row.gridRow));
        rows.append(
            {row.gridRow, row.requestNum, row.examCode, cell(NvCol::Name), cell(NvCol::Value),
             cell(NvCol::Unit), checksOf(row.gridRow),
             saved != m_savedValues.cend() && !saved->isEmpty() && *saved == cell(NvCol::Value)});
    }
    return rows;
}

bool frmNVDownloads::confirmChecks(bool verifying)
{
    const SessionState& s = session();
    const QString workstation = QSysInfo::machineHostName();
    for (RowSave& row : m_rows) {
        row.recorded.clear();
        row.early.clear();
        m_checks.load(*s.LabDb, row.requestNum);
    }
    const QList<CheckedRow> rows = checkedRows();
    const QString no = QStringLiteral("No saves nothing: every value stays on the screen.");
    QHash<int, QStringList> told; // what each grid row's answers tell, in order
    for (const SaveQuestion& q : saveQuestions(rows, verifying, Clock::now())) {
        const CheckedRow& row = *std::find_if(rows.cbegin(), rows.cend(), [&](const CheckedRow& r) {
            return r.gridRow == q.gridRow;
        });
        if (q.kind == SaveQuestion::Critical) {
            frmCriticalCall dialog(q.exam, q.value, q.flag);
            if (!dialog.ask())
                return false;
            told[q.gridRow] << CheckCommands::criticalCall(
                row, dialog.reportedTo(), dialog.calledAt(), s.EmployeeCode, workstation);
            continue;
        }
        const bool delta = q.kind == SaveQuestion::Delta;
        if (msgBox(q.text, no, delta ? MsgIcon::Question : MsgIcon::Exclamation,
                   delta ? QStringLiteral("Delta Check") : QStringLiteral("Implausible Result"),
                   MsgButtons::YesNo, MsgAnswer::No) != MsgAnswer::Yes)
            return false;
        if (delta)
            told[q.gridRow] << CheckCommands::deltaAcknowledged(row, s.EmployeeCode);
    }
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        RowSave& save = m_rows[i];
        const CheckedRow& row = rows[i];
        if (!m_checks.active(save.requestNum))
            continue;
        const auto taken = m_taken.constFind(rowKey(row.gridRow));
        const bool instrument =
            ResultTakenOver && taken != m_taken.cend() && taken->value.trimmed() == row.value;
        save.recorded << CheckCommands::resultEntry(
            row, s.EmployeeCode, instrument, InstrumentId.trimmed(),
            instrument ? taken->sample : QString(), workstation);
        // A value the laboratory holds already can be called about and
        // acknowledged before it is verified; a new one once it is saved.
        (verifying && row.unchanged ? save.early : save.recorded) << told.value(row.gridRow);
    }
    return true;
}
