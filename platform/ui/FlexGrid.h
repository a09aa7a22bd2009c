#pragma once

#include "platform/db/DbDriver.h"

#include <QMap>
#include <QTableWidget>
#include <QVector>

// A grid that speaks the language the result windows were designed in:
// Rows and Cols count the header row, row 0 holds the headers, cells are
// addressed by TextMatrix(row, col), widths are in twips and a width of 0
// hides a column. Binding a result set puts its field names in row 0.
class FlexGrid : public QTableWidget {
    Q_OBJECT
public:
    explicit FlexGrid(QWidget* parent = nullptr);

    int Rows() const { return rowCount() + 1; }
    void setRows(int rows);
    int Cols() const { return columnCount(); }
    void setCols(int cols);
    int FixedCols() const { return m_fixedCols; }
    void setFixedCols(int cols) { m_fixedCols = cols; }

    QString TextMatrix(int row, int col) const;
    void setTextMatrix(int row, int col, const QString& text);

    // Twips; a column never given a width has the grid's default one. A
    // width the user dragged a shown column to stands in for the given one.
    int ColWidth(int col) const;
    void setColWidth(int col, int twips);
    // Gives a column the grid's default width again, and shows it.
    void setDefaultColWidth(int col);
    // Once the grid is wider than its shown columns, they all widen in
    // proportion to fill it, so a larger window shows more of every value.
    void setGrowColumns(bool on);
    // The columns the user resized, in twips.
    QMap<int, int> userWidths() const { return m_userTwips; }
    void setUserWidths(const QMap<int, int>& twips);
    void setRowHeightMin(int twips);
    void setColAlignmentCentred(int col);

    // The current cell; row 0 (the headers) is never current.
    int Row() const;
    void setRow(int row);
    int Col() const;
    void setCol(int col);
    // Where a cell is, in twips from the grid's top-left corner.
    QRect cellRect(int row, int col) const;

    void bind(const ResultSet& data);

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    // The width a column is drawn at before growing: the user's, the given
    // one, or the default; 0 when hidden.
    int baseTwips(int col) const;
    void applyWidths();
    // Widths for a grid grown beyond its drawn width.
    QVector<int> grown(const QVector<int>& base, int room) const;
    void userResized(int col, int px);
    void checkCell(int row, int col) const;
    QTableWidgetItem* itemAt(int row, int col);

    QVector<int> m_widthTwips; // -1: the default width
    QMap<int, int> m_userTwips;
    bool m_grow = false;
    bool m_applying = false;
    bool m_refitPending = false;
    int m_designedWidth = 0;
    QVector<bool> m_centred;
    int m_fixedCols = 0;
};
