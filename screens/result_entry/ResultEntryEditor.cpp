// The request grid's floating editor, its keys, and taking the
// instrument's results over into the request grid.
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "component/model/ResultGrid.h"
#include "platform/DateText.h"
#include "platform/Presenter.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/Twips.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QDateEdit>
#include <QHash>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>

namespace {
constexpr int kValueColumn = kValueCol;
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
    // A value that cannot stay keeps the editor on its row.
    if (txtResult->isVisible() && m_editRow != msfgRequest->Row() && m_editRow > 0 &&
        m_editRow < msfgRequest->Rows() && !valueMayBeLeft())
        msfgRequest->setRow(m_editRow);
    if (msfgRequest->Col() != kValueColumn)
        msfgRequest->setCol(kValueColumn);

    const int row = msfgRequest->Row();
    m_editRow = row;
    m_nullKey.clear();
    {
        const QSignalBlocker quiet(txtResult); // showing the value is no change of it
        txtResult->setText(msfgRequest->TextMatrix(row, kValueColumn));
    }
    txtResult->show();
    keepEditorOverCell();
    msfgRequest->selectionModel()->select(msfgRequest->model()->index(row - 1, 0),
                                          QItemSelectionModel::ClearAndSelect |
                                              QItemSelectionModel::Rows);
    txtResult->setFocus();
    // Typing replaces the value rather than adding to it.
    txtResult->selectAll();
}

void ResultEntryForm::keepEditorOverCell()
{
    if (!txtResult->isVisible() || m_editRow < 1 || m_editRow >= msfgRequest->Rows())
        return;
    const QRect cell = msfgRequest->cellRect(m_editRow, kValueColumn);
    const QRect grid = Twips::toTwips(msfgRequest->geometry());
    // A cell scrolled out of sight takes the editor with it; its value is
    // in the cell already.
    const QRect shown(Twips::toTwips(msfgRequest->viewport()->geometry()));
    if (!shown.intersects(cell)) {
        txtResult->hide();
        return;
    }
    Twips::place(txtResult, grid.x() + cell.x(), grid.y() + cell.y() - 20, cell.width(),
                 Twips::fromPx(txtResult->height()));
    txtResult->raise();
}

void ResultEntryForm::jumpToFinalResults()
{
    guarded([this] {
        if (msfgRequest->Rows() < 2) {
            msfgRequest->setFocus(Qt::ShortcutFocusReason);
            return;
        }
        // The first exam still without a value; the top row when all have one.
        int row = 1;
        for (int r = msfgRequest->Rows() - 1; r >= 1; --r)
            if (!msfgRequest->TextMatrix(r, 1).trimmed().isEmpty() &&
                msfgRequest->TextMatrix(r, kValueColumn).trimmed().isEmpty())
                row = r;
        msfgRequest->setRow(row);
        msfgRequest->setFocus(Qt::ShortcutFocusReason);
        placeEditor();
    });
}

bool ResultEntryForm::valueMayBeLeft()
{
    const QString why = valueRefusal(msfgRequest->TextMatrix(m_editRow, kValueColumn));
    if (why.isEmpty())
        return true;
    // Column 2 holds the exam's name in both windows; a row may have none yet.
    const QString exam = msfgRequest->TextMatrix(m_editRow, 2).trimmed();
    msgBox(why,
           QStringLiteral("Correct the result %1 on request %2; it cannot be saved as it is.")
               .arg(exam.isEmpty() ? QStringLiteral("in row %1").arg(m_editRow)
                                   : QStringLiteral("of ") + exam,
                    session().RequestNum.trimmed()),
           MsgIcon::Exclamation, QStringLiteral("Invalid Result"));
    return false;
}

QString ResultEntryForm::valueRefusal(const QString&) const
{
    return QString();
}

bool ResultEntryForm::isReChecked(int row) const
{
    return !msfgRequest->TextMatrix(row, 0).isEmpty();
}

void ResultEntryForm::setReChecked(int row, bool on)
{
    msfgRequest->setTextMatrix(row, 0, on ? kReChecked : QString());
}

bool ResultEntryForm::moveEditorRow(int key, bool enter, bool shift)
{
    if (key == Qt::Key_Down || (enter && !shift)) {
        guarded([&] {
            if (msfgRequest->Row() == msfgRequest->Rows() - 1) {
                // Down stays in the grid, so what is typed next still lands
                // in a result; Enter (and Tab) go on to the next control.
                if (enter)
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
    return false;
}

bool ResultEntryForm::typeNullKey(QKeyEvent* event)
{
    // "N" stands for NULL only as the first key of a value; in a word it is a letter.
    const QString typed = event->text();
    const bool replacing =
        txtResult->text().isEmpty() || txtResult->selectedText() == txtResult->text();
    const bool isN = typed == QLatin1String("N") || typed == QLatin1String("n");
    if (replacing && isN) {
        txtResult->setText(QStringLiteral("NULL"));
        txtResult->selectAll();
        m_nullKey = typed;
        return true;
    }
    // A letter right after that N starts a word ("Nil", "negative").
    if (!m_nullKey.isEmpty() && replacing && txtResult->text() == QLatin1String("NULL") &&
        !typed.isEmpty() && typed.at(0).isPrint() &&
        !(event->modifiers() & (Qt::ControlModifier | Qt::AltModifier))) {
        txtResult->setText(std::exchange(m_nullKey, QString()) + typed);
        return true;
    }
    if (!typed.isEmpty())
        m_nullKey.clear();
    return false;
}

bool ResultEntryForm::txtResult_KeyDown(QKeyEvent* event)
{
    const int key = event->key();
    const bool shift = event->modifiers() & Qt::ShiftModifier;
    const bool enter = key == Qt::Key_Return || key == Qt::Key_Enter;
    const bool leaving = key == Qt::Key_Down || key == Qt::Key_Up || enter;
    if (leaving && txtResult->isVisible()) {
        bool stay = false;
        guarded([&] {
            m_editRow = msfgRequest->Row();
            stay = !valueMayBeLeft();
        });
        if (stay) {
            txtResult->selectAll();
            return true;
        }
    }
    if (moveEditorRow(key, enter, shift))
        return true;
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
            setReChecked(row, !isReChecked(row));
        });
        return true;
    }
    if (key == Qt::Key_Escape) {
        // The value is in the cell already; Escape only puts the editor away.
        txtResult->hide();
        msfgRequest->setFocus();
        return true;
    }
    return typeNullKey(event);
}

bool ResultEntryForm::msfgRequest_KeyDown(QKeyEvent* event)
{
    if (event->key() != Qt::Key_F3)
        return false;
    guarded([this] { setReChecked(msfgRequest->Row(), true); });
    return true;
}

QHash<QString, ResultEntryForm::RequestedExam> ResultEntryForm::requestedExams() const
{
    QHash<QString, RequestedExam> exams;
    for (int j = 1; j < grdExams->Rows(); ++j) {
        RequestedExam& e = exams[grdExams->TextMatrix(j, 1).trimmed()];
        ++e.rows;
        e.cells.clear();
        for (int c = 0; c < grdExams->Cols(); ++c)
            e.cells << grdExams->TextMatrix(j, c).trimmed();
    }
    return exams;
}

QString ResultEntryForm::instrumentSampleCall(char mode, bool spacedLast) const
{
    return SaveCommands::sampleCall(mode, DateText::monthDayYear(dtpResultDate->date()),
                                    InstrumentId.trimmed(), txtSampleNum->text(), txtPName->text(),
                                    session().Request.RefNum, spacedLast);
}

QHash<QString, QString> ResultEntryForm::itemValues()
{
    const QString text = instrumentSampleCall('4', false);
    auto rs =
        session().LabDb->openRecordset(text, CursorOptions::clientDynamic(LockType::Optimistic));
    QHash<QString, QString> values;
    for (; !rs->eof(); rs->moveNext())
        values.insert(rs->textOrEmpty(QStringLiteral("ItemID")).trimmed(),
                      rs->textOrEmpty(QStringLiteral("result")));
    return values;
}

void ResultEntryForm::cmdResetResult_Click()
{
    if (ResultTakenOver) {
        // Reset puts back the rows as they were before Use Result; what was
        // typed since would be lost.
        if (gridRows(msfgRequest) != m_takenOver &&
            !confirmRemovingRows(QStringLiteral("Reset Result puts back the results as they were "
                                                "before Use Result: the values typed since are "
                                                "lost.")))
            return;
        setGridRows(msfgRequest, m_beforeTakeOver);
        restoreOpenedSample();
        ResultTakenOver = false;
        cmdSearchSampleNum->setEnabled(true);
        cmdResetResult->setText(QStringLiteral("Use &Result >>"));
    } else {
        if (!sampleLookedUp())
            return;
        const GridRows before = gridRows(msfgRequest);
        takeOverDownloaded();
        m_beforeTakeOver = before;
        m_takenOver = gridRows(msfgRequest);
        ResultTakenOver = true;
        cmdResetResult->setText(QStringLiteral("<< &Reset Result"));
        cmdSearchSampleNum->setEnabled(false);
    }
    // The rows moved: the marks follow their items.
    markQcHolds();
    txtResult->hide();
}
