// Quality control in the result windows: the rows the laboratory holds
// after a rejected control run are marked as it reports them, and staff
// reach the review dialog and the Levey-Jennings chart from the window.
// The window decides nothing: verifying a held row is refused on save.
#include "component/modMain.h"
#include "component/reports/QcChart.h"
#include "platform/CommandText.h"
#include "platform/db/Connection.h"
#include "platform/db/Recordset.h"
#include "platform/ui/FlexGrid.h"
#include "screens/dialogs/frmQcReview.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QAction>
#include <QLabel>
#include <QSignalBlocker>
#include <QStyle>
#include <algorithm>

namespace {
const QColor kQcHoldShade(0xff, 0x8c, 0x1a); // orange: no other mark uses it
const QColor kQcHoldText(0xb3, 0x4a, 0x00);
constexpr int kItemCol = col(CutOffCol::Item);
constexpr int kNameCol = col(CutOffCol::Name);
static_assert(col(NvCol::Item) == kItemCol && col(NvCol::Name) == kNameCol);

QString itemKey(const QString& item)
{
    return item.trimmed().toUpper();
}

// Where each grid keeps the item and its request, the exam's name that
// carries the mark (a sign and the name in bold orange, shown through the
// selection; the request grid's shades of re-checked rows and
// interpretations stay theirs) and the cells that say why on hovering.
struct Marked {
    FlexGrid* grid;
    int item;
    int request;
    int name;
    bool shaded;
    QList<int> told;
};

struct MarkLook {
    QIcon sign;
    QFont bold;
    QString keys;
};

// Marks a row held (mark: why) or takes its mark away (mark null).
void markRow(const Marked& m, int r, const QString* mark, const MarkLook& look)
{
    if (QTableWidgetItem* cell = m.grid->item(r - 1, m.name)) {
        cell->setData(Qt::DecorationRole, mark ? QVariant(look.sign) : QVariant());
        cell->setData(Qt::FontRole, mark ? QVariant(look.bold) : QVariant());
        cell->setData(Qt::ForegroundRole,
                      mark ? QVariant(QBrush(m.shaded ? Qt::black : kQcHoldText)) : QVariant());
        if (m.shaded)
            cell->setData(Qt::BackgroundRole, mark ? QVariant(QBrush(kQcHoldShade)) : QVariant());
    }
    for (int c : m.told)
        if (QTableWidgetItem* cell = m.grid->item(r - 1, c))
            cell->setToolTip(mark ? *mark + QStringLiteral(" (") + look.keys + QLatin1Char(')')
                                  : QString());
}
} // namespace

void ResultEntryForm::buildQcActions()
{
    mnuQcReview = new QAction(QStringLiteral("Quality control &review..."), this);
    mnuQcReview->setObjectName(QStringLiteral("mnuQcReview"));
    mnuQcReview->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    mnuQcChart = new QAction(QStringLiteral("Levey-Jennings &chart..."), this);
    mnuQcChart->setObjectName(QStringLiteral("mnuQcChart"));
    mnuQcChart->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    for (QAction* a : {mnuQcReview, mnuQcChart}) {
        a->setEnabled(false);
        // The window's shortcut, wherever the focus is; the grid's menu too.
        a->setShortcutContext(Qt::WindowShortcut);
        addAction(a);
        for (FlexGrid* g : {msfgRequest, msfgDLresult}) {
            g->addAction(a);
            g->setContextMenuPolicy(Qt::ActionsContextMenu);
        }
    }
    connect(mnuQcReview, &QAction::triggered, this, [this] { guarded([this] { qcReview(); }); });
    connect(mnuQcChart, &QAction::triggered, this, [this] { guarded([this] { qcChart(); }); });
}

void ResultEntryForm::readQcHolds()
{
    m_qcHolds.clear();
    const QString request = session().RequestNum.trimmed();
    if (request.isEmpty() || !session().LabDb)
        return;
    auto rs = session().LabDb->openRecordset(
        CommandText::call(QStringLiteral("sp_QCHolds"), {request}), CursorOptions::clientDynamic());
    for (; !rs->eof(); rs->moveNext())
        m_qcHolds.append({rs->textOrEmpty(QStringLiteral("ItemID")).trimmed(),
                          rs->textOrEmpty(QStringLiteral("QCHold")),
                          rs->textOrEmpty(QStringLiteral("InstrumentID"))});
    markQcHolds();
}

const ResultEntryForm::QcHold* ResultEntryForm::qcHoldOf(const QString& item,
                                                         const QString& request) const
{
    // A row of another request of the order is not this request's.
    if (!request.trimmed().isEmpty() &&
        request.trimmed().compare(session().RequestNum.trimmed(), Qt::CaseInsensitive))
        return nullptr;
    for (const QcHold& h : m_qcHolds)
        if (itemKey(h.item) == itemKey(item))
            return &h;
    return nullptr;
}

void ResultEntryForm::markQcHolds()
{
    const QString keys = QStringLiteral("Ctrl+Q: review, Ctrl+L: chart");
    const int dlItem = col(DownloadedCol::Item);
    const Marked grids[] = {
        {msfgRequest, kItemCol, requestCol(), kNameCol, false, {kItemCol, kNameCol, kValueCol}},
        {msfgDLresult, dlItem, col(DownloadedCol::OrderedBy), 0, true, {0, 1, dlItem}}};
    QFont bold = msfgRequest->font();
    bold.setBold(true);
    const QIcon sign = style()->standardIcon(QStyle::SP_MessageBoxWarning);
    for (const Marked& m : grids) {
        // Marks are no edits: nothing that follows the cells' changes hears them.
        const QSignalBlocker quiet(m.grid);
        for (int r = 1; r < m.grid->Rows(); ++r) {
            const QcHold* hold =
                m.item < m.grid->Cols()
                    ? qcHoldOf(m.grid->TextMatrix(r, m.item), m.request < m.grid->Cols()
                                                                  ? m.grid->TextMatrix(r, m.request)
                                                                  : QString())
                    : nullptr;
            markRow(m, r, hold ? &hold->mark : nullptr, {sign, bold, keys});
        }
    }
    QStringList shown;
    for (const QcHold& h : m_qcHolds)
        shown << h.item + QStringLiteral(": ") + h.mark;
    lblQcHold->setText(shown.isEmpty()
                           ? QString()
                           : QStringLiteral("QC hold - ") + shown.join(QStringLiteral("; ")));
    lblQcHold->setToolTip(
        shown.isEmpty() ? QString() : shown.join(QLatin1Char('\n')) + QStringLiteral("\n") + keys);
    lblQcHold->setVisible(!shown.isEmpty());
    mnuQcReview->setEnabled(!m_qcHolds.isEmpty());
    mnuQcChart->setEnabled(!m_qcHolds.isEmpty());
}

const ResultEntryForm::QcHold* ResultEntryForm::chosenQcHold() const
{
    // The row staff are on, in the grid they are in; otherwise the first hold.
    const auto onRow = [this](const FlexGrid* g, int item, int request) -> const QcHold* {
        const int row = g->Row();
        if (row < 1 || row >= g->Rows() || std::max(item, request) >= g->Cols())
            return nullptr;
        return qcHoldOf(g->TextMatrix(row, item), g->TextMatrix(row, request));
    };
    const QcHold* h = msfgDLresult->hasFocus() ? onRow(msfgDLresult, col(DownloadedCol::Item),
                                                       col(DownloadedCol::OrderedBy))
                                               : onRow(msfgRequest, kItemCol, requestCol());
    if (h)
        return h;
    return m_qcHolds.isEmpty() ? nullptr : &m_qcHolds.first();
}

void ResultEntryForm::qcReview()
{
    if (m_qcHolds.isEmpty())
        return;
    {
        frmQcReview review(*session().LabDb, session().RequestNum, session().EmployeeCode);
        review.ask();
    }
    readQcHolds();
}

void ResultEntryForm::qcChart()
{
    const QcHold* h = chosenQcHold();
    if (!h)
        return;
    QcChart::preview(h->instrument, h->item);
}
