#pragma once

#include <QStyledItemDelegate>

class FlexGrid;
class QTableView;

// How the result grids draw some cells, never what they hold: the cells'
// texts are what a save sends.
namespace GridCells {

// The value cell of a row with an exam and no value reads "not resulted".
class ValueCell : public QStyledItemDelegate {
public:
    // codeColumn: the column holding the row's exam code.
    ValueCell(int codeColumn, QObject* parent);
    // What the cell shows: its text, or "not resulted".
    QString shown(const QModelIndex& index) const;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;

private:
    int m_codeColumn;
};

// A number shown to 4 significant digits; the tooltip holds it whole.
class ShortNumberCell : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QString displayText(const QVariant& value, const QLocale& locale) const override;
    bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                   const QModelIndex& index) override;
};

// Keeps the grid's columns up to and including lastColumn in view at the
// left while the rest scrolls sideways: a view of the same cells laid over
// them. Returns that view.
QTableView* freezeColumns(FlexGrid* grid, int lastColumn);

} // namespace GridCells
