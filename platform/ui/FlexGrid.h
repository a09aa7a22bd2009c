#pragma once

#include "DbDriver.h"

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

    // Twips; a column never given a width has the grid's default one.
    int ColWidth(int col) const;
    void setColWidth(int col, int twips);
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

private:
    void checkCell(int row, int col) const;
    QTableWidgetItem* itemAt(int row, int col);

    QVector<int> m_widthTwips; // -1: the default width
    QVector<bool> m_centred;
    int m_fixedCols = 0;
};
