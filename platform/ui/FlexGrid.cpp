#include "FlexGrid.h"
#include "LisError.h"
#include "Recordset.h"
#include "Twips.h"

#include <QHeaderView>

namespace {
constexpr int kInvalidRow = 30009;
constexpr int kInvalidCol = 30010;
} // namespace

FlexGrid::FlexGrid(QWidget* parent)
    : QTableWidget(parent)
{
    verticalHeader()->hide();
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setWordWrap(false);
    // Rows as compact as the original grid's; a layout may ask for taller.
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setCols(2);
    setRows(2);
}

void FlexGrid::setRows(int rows)
{
    setRowCount(std::max(rows, 1) - 1);
}

void FlexGrid::setCols(int cols)
{
    const int old = columnCount();
    setColumnCount(std::max(cols, 0));
    m_widthTwips.resize(std::max(cols, int(m_widthTwips.size())), -1);
    m_centred.resize(m_widthTwips.size(), false);
    for (int c = old; c < cols; ++c) {
        if (!horizontalHeaderItem(c))
            setHorizontalHeaderItem(c, new QTableWidgetItem(QString()));
        if (m_widthTwips[c] >= 0)
            setColWidth(c, m_widthTwips[c]);
    }
}

void FlexGrid::checkCell(int row, int col) const
{
    if (row < 0 || row >= Rows())
        throw LisError(kInvalidRow, QStringLiteral("Invalid Row value"));
    if (col < 0 || col >= Cols())
        throw LisError(kInvalidCol, QStringLiteral("Invalid Column value"));
}

QString FlexGrid::TextMatrix(int row, int col) const
{
    checkCell(row, col);
    const QTableWidgetItem* i = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
    return i ? i->text() : QString();
}

QTableWidgetItem* FlexGrid::itemAt(int row, int col)
{
    if (row == 0)
        return horizontalHeaderItem(col);
    QTableWidgetItem* i = item(row - 1, col);
    if (!i) {
        i = new QTableWidgetItem;
        if (m_centred.value(col))
            i->setTextAlignment(Qt::AlignCenter);
        setItem(row - 1, col, i);
    }
    return i;
}

void FlexGrid::setTextMatrix(int row, int col, const QString& text)
{
    checkCell(row, col);
    itemAt(row, col)->setText(text);
}

int FlexGrid::ColWidth(int col) const
{
    if (col < 0 || col >= Cols())
        throw LisError(kInvalidCol, QStringLiteral("Invalid Column value"));
    const int w = m_widthTwips.value(col, -1);
    return w >= 0 ? w : Twips::fromPx(columnWidth(col));
}

void FlexGrid::setColWidth(int col, int twips)
{
    if (col < 0 || col >= Cols())
        throw LisError(kInvalidCol, QStringLiteral("Invalid Column value"));
    m_widthTwips[col] = twips;
    setColumnHidden(col, twips == 0);
    if (twips > 0)
        setColumnWidth(col, Twips::toPx(twips));
}

void FlexGrid::setRowHeightMin(int twips)
{
    verticalHeader()->setMinimumSectionSize(Twips::toPx(twips));
    verticalHeader()->setDefaultSectionSize(std::max(Twips::toPx(twips), 19));
}

void FlexGrid::setColAlignmentCentred(int col)
{
    if (col < 0 || col >= Cols())
        throw LisError(kInvalidCol, QStringLiteral("Invalid Column value"));
    m_centred[col] = true;
    for (int r = 0; r < rowCount(); ++r)
        if (QTableWidgetItem* i = item(r, col))
            i->setTextAlignment(Qt::AlignCenter);
}

int FlexGrid::Row() const
{
    const int r = currentRow();
    if (r >= 0)
        return r + 1;
    return Rows() > 1 ? 1 : 0;
}

void FlexGrid::setRow(int row)
{
    checkCell(row, Col());
    if (row >= 1)
        setCurrentCell(row - 1, Col());
}

int FlexGrid::Col() const
{
    const int c = currentColumn();
    return c >= 0 ? c : 0;
}

void FlexGrid::setCol(int col)
{
    checkCell(Row(), col);
    if (Row() >= 1)
        setCurrentCell(Row() - 1, col);
}

QRect FlexGrid::cellRect(int row, int col) const
{
    checkCell(row, col);
    const QRect header = horizontalHeader()->geometry();
    if (row == 0)
        return Twips::toTwips(QRect(columnViewportPosition(col) + viewport()->x(), header.y(),
                                    columnWidth(col), header.height()));
    const QRect r = visualRect(model()->index(row - 1, col));
    return Twips::toTwips(r.translated(viewport()->pos()));
}

void FlexGrid::bind(const ResultSet& data)
{
    clearContents();
    setCols(int(data.columns.size()));
    setRows(int(data.rows.size()) + 1);
    for (int c = 0; c < data.columns.size(); ++c)
        setTextMatrix(0, c, data.columns.at(c));
    for (int r = 0; r < data.rows.size(); ++r) {
        const QVariantList& row = data.rows.at(r);
        for (int c = 0; c < row.size() && c < Cols(); ++c)
            setTextMatrix(r + 1, c, Recordset::toText(row.at(c)));
    }
}
