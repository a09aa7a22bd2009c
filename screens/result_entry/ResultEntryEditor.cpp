// The request grid's floating editor, its keys, and taking the
// instrument's results over into the request grid.
#include "Connection.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "ResultEntryForm.h"
#include "ScreenHelpers.h"
#include "SqlText.h"
#include "Twips.h"
#include "modMain.h"

#include <QDateEdit>
#include <QHash>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>

namespace {
constexpr int kValueColumn = 3;
const QString kReChecked = QStringLiteral("*");
} // namespace

void ResultEntryForm::loadSizing()
{
    const int widths[] = {120, 0, 2600, 2500, 1000, 800, 1500, 1000};
    if (msfgRequest->Cols() < 18)
        msfgRequest->setCols(18);
    for (int c = 0; c < 18; ++c)
        msfgRequest->setColWidth(c, c < 8 ? widths[c] : 0);
    msfgRequest->setRowHeightMin(285);
}

void ResultEntryForm::layoutDownloadedGrid()
{
    if (msfgDLresult->Cols() < 18)
        msfgDLresult->setCols(18);
    for (int c = 0; c < msfgDLresult->Cols(); ++c)
        msfgDLresult->setColWidth(c, c == 0 ? 2500 : c <= 6 ? 1000 : 0);
    msfgDLresult->setRowHeightMin(285);
}

void ResultEntryForm::placeEditor()
{
    // Moving to the value column notifies a change of cell, which places
    // the editor again: once is enough.
    if (m_placing)
        return;
    collapseRemarks();
    if (msfgRequest->Rows() < 2)
        return;
    m_placing = true;
    const auto done = qScopeGuard([this] { m_placing = false; });
    if (msfgRequest->Col() != kValueColumn)
        msfgRequest->setCol(kValueColumn);

    const int row = msfgRequest->Row();
    const QRect cell = msfgRequest->cellRect(row, kValueColumn);
    const QRect grid = Twips::toTwips(msfgRequest->geometry());
    {
        const QSignalBlocker quiet(txtResult); // showing the value is no change of it
        txtResult->setText(msfgRequest->TextMatrix(row, kValueColumn));
    }
    txtResult->show();
    Twips::place(txtResult, grid.x() + cell.x(), grid.y() + cell.y() - 20, cell.width(),
                 Twips::fromPx(txtResult->height()));
    txtResult->raise();
    msfgRequest->selectionModel()->select(msfgRequest->model()->index(row - 1, 0),
                                          QItemSelectionModel::ClearAndSelect |
                                              QItemSelectionModel::Rows);
    txtResult->setFocus();
}

bool ResultEntryForm::txtResult_KeyDown(QKeyEvent* event)
{
    const int key = event->key();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    if (key == Qt::Key_Down || (enter && !shift)) {
        guarded([this] {
            if (msfgRequest->Row() == msfgRequest->Rows() - 1) {
                focusNextChild();
                return;
            }
            msfgRequest->setRow(msfgRequest->Row() + 1);
            msfgRequest->setFocus();
            placeEditor();
        });
        return true;
    }
    if (key == Qt::Key_Up || (enter && shift)) {
        guarded([this] {
            if (msfgRequest->Row() <= 1)
                return;
            msfgRequest->setRow(msfgRequest->Row() - 1);
            msfgRequest->setFocus();
            placeEditor();
            SelectActiveText();
        });
        return true;
    }
    static const QHash<int, QString> shortcuts = {
        {Qt::Key_F2, QStringLiteral("POSITIVE")},
        {Qt::Key_F3, QStringLiteral("NEGATIVE")},
        {Qt::Key_F4, QStringLiteral("REACTIVE")},
        {Qt::Key_F5, QStringLiteral("NON-REACTIVE")},
    };
    if (shortcuts.contains(key)) {
        txtResult->setText(shortcuts.value(key));
        return true;
    }
    if (key == Qt::Key_F6) {
        guarded([this] {
            const int row = msfgRequest->Row();
            msfgRequest->setTextMatrix(
                row, 0, msfgRequest->TextMatrix(row, 0).isEmpty() ? kReChecked : QString());
        });
        return true;
    }
    if (key == Qt::Key_Escape) {
        // The value is in the cell already; Escape only puts the editor away.
        txtResult->hide();
        msfgRequest->setFocus();
        return true;
    }
    if (event->text() == QLatin1String("N") || event->text() == QLatin1String("n")) {
        txtResult->setText(QStringLiteral("NULL"));
        txtResult->selectAll();
        return true;
    }
    return false;
}

bool ResultEntryForm::msfgRequest_KeyDown(QKeyEvent* event)
{
    if (event->key() != Qt::Key_F3)
        return false;
    guarded([this] { msfgRequest->setTextMatrix(msfgRequest->Row(), 0, kReChecked); });
    return true;
}

QString ResultEntryForm::examNameFor(const QString& code) const
{
    QString name;
    for (int j = 1; j < grdExams->Rows(); ++j)
        if (grdExams->Cols() > 2 && grdExams->TextMatrix(j, 1).trimmed() == code)
            name = grdExams->TextMatrix(j, 2).trimmed();
    return name;
}

QString ResultEntryForm::instrumentSampleCall(char mode, const QString& lastSeparator) const
{
    return QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '") + QLatin1Char(mode) +
           QStringLiteral("','") + DateText::monthDayYear(dtpResultDate->date()) +
           QStringLiteral("','") + sqlLiteral(InstrumentId.trimmed()) + QStringLiteral("','") +
           sqlLiteral(txtSampleNum->text()) + QStringLiteral("','") + sqlLiteral(txtPName->text()) +
           lastSeparator + sqlLiteral(session().Request.RefNum) + QStringLiteral("'");
}

QString ResultEntryForm::itemValue(const QString& code)
{
    const QString text = instrumentSampleCall('4', QStringLiteral("','"));
    auto rs =
        session().LabDb->openRecordset(text, CursorOptions::clientDynamic(LockType::Optimistic));
    QString value;
    for (; !rs->eof(); rs->moveNext())
        if (rs->textOrEmpty(QStringLiteral("ItemID")).trimmed() == code.trimmed())
            value = rs->textOrEmpty(QStringLiteral("result"));
    return value;
}

void ResultEntryForm::cmdResetResult_Click()
{
    if (ResultTakenOver) {
        msfgRequest->setRows(msfgDLresult->Rows());
        for (int i = 1; i < msfgRequest->Rows(); ++i)
            for (int c = 1; c <= 7; ++c)
                msfgRequest->setTextMatrix(i, c, QString());
        ResultTakenOver = false;
        cmdSearchSampleNum->setEnabled(true);
        cmdResetResult->setText(QStringLiteral("Use &Result >>"));
    } else {
        takeOverDownloaded();
        ResultTakenOver = true;
        cmdResetResult->setText(QStringLiteral("<< &Reset Result"));
        cmdSearchSampleNum->setEnabled(false);
    }
    txtResult->hide();
}
