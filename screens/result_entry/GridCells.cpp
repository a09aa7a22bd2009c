#include "GridCells.h"
#include "platform/ui/FlexGrid.h"

#include <QEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QPainter>
#include <QScrollBar>
#include <QTableView>
#include <QToolTip>

namespace GridCells {

ValueCell::ValueCell(int codeColumn, QObject* parent)
    : QStyledItemDelegate(parent)
    , m_codeColumn(codeColumn)
{
}

QString ValueCell::shown(const QModelIndex& index) const
{
    const QString text = index.data().toString();
    if (!text.trimmed().isEmpty() ||
        index.siblingAtColumn(m_codeColumn).data().toString().trimmed().isEmpty())
        return text;
    return QStringLiteral("not resulted");
}

void ValueCell::paint(QPainter* painter, const QStyleOptionViewItem& option,
                      const QModelIndex& index) const
{
    QStyledItemDelegate::paint(painter, option, index);
    const QString text = shown(index);
    if (text == index.data().toString())
        return;
    painter->save();
    QFont italic = option.font;
    italic.setItalic(true);
    painter->setFont(italic);
    painter->setPen(option.palette.color(QPalette::Disabled, QPalette::Text));
    const QRect room = option.rect.adjusted(4, 0, -4, 0);
    painter->drawText(room, Qt::AlignCenter,
                      QFontMetrics(italic).elidedText(text, Qt::ElideRight, room.width()));
    painter->restore();
}

QString ShortNumberCell::displayText(const QVariant& value, const QLocale& locale) const
{
    bool isNumber = false;
    const double n = value.toString().trimmed().toDouble(&isNumber);
    if (!isNumber)
        return QStyledItemDelegate::displayText(value, locale);
    return QString::number(n, 'g', 4);
}

bool ShortNumberCell::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                const QStyleOptionViewItem& option, const QModelIndex& index)
{
    const QString whole = index.data().toString();
    if (event->type() == QEvent::ToolTip && !whole.trimmed().isEmpty()) {
        QToolTip::showText(event->globalPos(), whole, view);
        return true;
    }
    return QStyledItemDelegate::helpEvent(event, view, option, index);
}

namespace {
// Lays the frozen view over the grid's first columns while the grid is
// scrolled sideways; unscrolled, the grid shows them itself.
class FrozenSync : public QObject {
public:
    FrozenSync(FlexGrid* grid, QTableView* frozen, int lastColumn)
        : QObject(frozen)
        , m_grid(grid)
        , m_frozen(frozen)
        , m_last(lastColumn)
    {
    }

    void sync()
    {
        int width = 0;
        for (int c = 0; c < m_grid->columnCount(); ++c) {
            const bool hidden = c > m_last || m_grid->isColumnHidden(c);
            m_frozen->setColumnHidden(c, hidden);
            if (hidden)
                continue;
            m_frozen->setColumnWidth(c, m_grid->columnWidth(c));
            width += m_grid->columnWidth(c);
        }
        for (int r = 0; r < m_grid->rowCount(); ++r)
            m_frozen->setRowHeight(r, m_grid->rowHeight(r));
        m_frozen->horizontalHeader()->setFixedHeight(m_grid->horizontalHeader()->height());
        const int frame = m_grid->frameWidth();
        m_frozen->setGeometry(frame, frame, width,
                              m_grid->horizontalHeader()->height() + m_grid->viewport()->height());
        m_frozen->verticalScrollBar()->setValue(m_grid->verticalScrollBar()->value());
        m_frozen->setVisible(width > 0 && m_grid->horizontalScrollBar()->value() > 0);
    }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Resize || event->type() == QEvent::Show)
            sync();
        return QObject::eventFilter(watched, event);
    }

private:
    FlexGrid* m_grid;
    QTableView* m_frozen;
    int m_last;
};
} // namespace

QTableView* freezeColumns(FlexGrid* grid, int lastColumn)
{
    auto* frozen = new QTableView(grid);
    frozen->setObjectName(QStringLiteral("frozenColumns"));
    frozen->setModel(grid->model());
    frozen->setSelectionModel(grid->selectionModel());
    frozen->setSelectionBehavior(grid->selectionBehavior());
    frozen->setEditTriggers(QAbstractItemView::NoEditTriggers);
    frozen->setFocusPolicy(Qt::NoFocus);
    frozen->verticalHeader()->hide();
    frozen->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    frozen->horizontalHeader()->setDefaultAlignment(grid->horizontalHeader()->defaultAlignment());
    frozen->horizontalHeader()->setHighlightSections(false);
    frozen->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frozen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frozen->setVerticalScrollMode(grid->verticalScrollMode());
    frozen->setFrameShape(QFrame::NoFrame);
    frozen->hide();

    auto* s = new FrozenSync(grid, frozen, lastColumn);
    const auto sync = [s] { s->sync(); };
    grid->installEventFilter(s);
    grid->viewport()->installEventFilter(s);
    QObject::connect(grid->horizontalScrollBar(), &QScrollBar::valueChanged, s, sync);
    QObject::connect(grid->horizontalScrollBar(), &QScrollBar::rangeChanged, s, sync);
    QObject::connect(grid->horizontalHeader(), &QHeaderView::sectionResized, s, sync);
    QObject::connect(grid->verticalHeader(), &QHeaderView::sectionResized, s, sync);
    QObject::connect(grid->model(), &QAbstractItemModel::rowsInserted, s, sync);
    QObject::connect(grid->model(), &QAbstractItemModel::columnsInserted, s, sync);
    QObject::connect(grid->verticalScrollBar(), &QScrollBar::valueChanged,
                     frozen->verticalScrollBar(), &QScrollBar::setValue);
    // A click on a frozen cell is a click on the grid's cell.
    QObject::connect(frozen, &QTableView::clicked, grid, [grid](const QModelIndex& index) {
        emit grid->cellClicked(index.row(), index.column());
    });
    return frozen;
}

} // namespace GridCells
