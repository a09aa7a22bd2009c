#include "frmDownloaded.h"
#include "FlexGrid.h"

#include <QLocale>

namespace {
// A number as text the way the run time wrote it back: shortest form.
QString numericText(const QString& text)
{
    bool ok = false;
    const double v = QLocale::c().toDouble(text.trimmed(), &ok);
    return ok ? QLocale::c().toString(v, 'g', QLocale::FloatingPointShortest) : QString();
}
} // namespace

frmDownloaded::frmDownloaded()
{
    setObjectName(QStringLiteral("frmDownloaded"));
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
    // leaves the grid as it was.
    QList<QStringList> rows;
    for (int i = 1; i < msfgDLresult->Rows(); ++i) {
        const QString code = downloaded(i, 4).trimmed();
        if (code.isEmpty())
            continue; // a row without an item code is no exam
        for (int j = 1; j < grdExams->Rows(); ++j) {
            if (grdExams->TextMatrix(j, 1).trimmed() != code)
                continue;
            rows.append({code, examNameFor(code), itemValue(code), numericText(downloaded(i, 1)),
                         downloaded(i, 2), QString(), downloaded(i, 19).trimmed(),
                         downloaded(i, 18).trimmed()});
        }
    }
    msfgRequest->setRows(std::max(msfgDLresult->Rows(), int(rows.size()) + 1));
    for (int r = 0; r < rows.size(); ++r)
        for (int c = 0; c < rows[r].size(); ++c)
            msfgRequest->setTextMatrix(r + 1, c + 1, rows[r][c]);
}

void frmDownloaded::copyRequestedExams()
{
    msfgRequest->setRows(grdExams->Rows());
    for (int i = 1; i < grdExams->Rows(); ++i) {
        msfgRequest->setTextMatrix(i, 1, grdExams->TextMatrix(i, 1));
        msfgRequest->setTextMatrix(i, 2, grdExams->TextMatrix(i, 2));
        msfgRequest->setTextMatrix(i, 7, grdExams->TextMatrix(i, 3));
        msfgRequest->setTextMatrix(i, 8, grdExams->TextMatrix(i, 1));
    }
}

void frmDownloaded::Fill_Results()
{
    // Filled from the laboratory database by the filling step (next).
}

void frmDownloaded::Save_And_Print(bool, bool)
{
    // Saving arrives with the save step.
}
