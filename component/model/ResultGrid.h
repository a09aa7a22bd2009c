#pragma once

#include <QList>
#include <QStringList>

// The result windows' grids as values: rows of cells, each grid's columns
// named once here. Row numbers are the grid's own (1 is the first row
// under the headings), as the saves send them.

// The cut-off window's request grid.
enum class CutOffCol { Mark, Item, Name, Value, Result, Unit, Remarks, Request, CutOff };

// The normal-values window's request grid: SI units, then conventional
// ones; the flag and previous result after them are never saved.
enum class NvCol {
    Request,
    Item,
    Name,
    Value,
    Normal,
    Unit,
    Min,
    Max,
    CValue,
    CNormal,
    CUnit,
    CMin,
    CMax,
    Factor,
    FormType,
    Flag,
    Previous,
};
// The columns a normal-values save sends.
constexpr int kNvSavedCols = int(NvCol::FormType) + 1;

// The instrument's downloaded results (sp_InstrumentGetAxsymSample).
enum class DownloadedCol {
    Value = 1,
    Unit = 2,
    Item = 4,
    Patient = 10,
    RefNum = 11,
    Posted = 13,
    PostedTo = 14,
    CutOff = 18,
    OrderedBy = 19,
};

// The request's exams (Lab_FormMaker_FillExams).
enum class ExamsCol { Item = 1, Name = 2, Request = 3, Normal = 4 };

template <typename Col> constexpr int col(Col c)
{
    return int(c);
}

// Both request grids hold the value typed in the same column, so the
// windows share one editor.
constexpr int kValueCol = col(CutOffCol::Value);
static_assert(col(NvCol::Value) == kValueCol);

template <typename Col> struct GridRow {
    int row = 0; // the grid's row number
    QStringList cells;
    QString at(Col c) const { return cells.value(col(c)); }
};

template <typename Col> using ResultGrid = QList<GridRow<Col>>;

// The rows under a grid's headings, numbered from 1 as the grid does.
template <typename Col> ResultGrid<Col> gridOf(const QList<QStringList>& rows)
{
    ResultGrid<Col> grid;
    int number = 0;
    for (const QStringList& cells : rows)
        grid.append({++number, cells});
    return grid;
}
