#include "ResultEntryForm.h"
#include "component/FailureAdvice.h"
#include "component/SavedResults.h"
#include "component/ScreenHelpers.h"
#include "component/modMain.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/SettingsStore.h"
#include "platform/db/Connection.h"
#include "platform/ui/Anchors.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/Twips.h"
#include "platform/ui/WindowMemory.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDateEdit>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QTimeEdit>

namespace {
// What staff may type into the accession number; the program may set more.
constexpr int kAccNumTyped = 15;

// The pickers take their values as the texts the window formats.
void setDate(QDateEdit* picker, const QString& text)
{
    if (const auto dt = DateText::parse(text))
        picker->setDate(dt->date());
}

void setTime(QTimeEdit* picker, const QString& text)
{
    const QTime t = QLocale::c().toTime(text, QStringLiteral("hh:mm:ss AP")).isValid()
                        ? QLocale::c().toTime(text, QStringLiteral("hh:mm:ss AP"))
                        : QLocale::c().toTime(text, QStringLiteral("hh:mm AP"));
    if (t.isValid())
        picker->setTime(t);
}

void showDateTime(QDateEdit* date, QTimeEdit* time, const QDateTime& value, bool seconds)
{
    if (!value.isValid())
        return;
    setDate(date, DateText::monthDayYear(value.date()));
    setTime(time,
            seconds ? DateText::time12WithSeconds(value.time()) : DateText::time12(value.time()));
}
} // namespace

ResultEntryForm::ResultEntryForm(double downloadsShare)
{
    setWindowTitle(QStringLiteral("Laboratory Result Entry"));
    setModal(true);
    buildControls();
    buildAnchors(downloadsShare);
    buildTabOrder();
    buildQcActions();
    connectHandlers();
}

ResultEntryForm::~ResultEntryForm()
{
    if (m_watching && session().LabDb)
        session().LabDb->unwatch(downloadsChannel());
}

void ResultEntryForm::guarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const LisError& e) {
        msgBox(QStringLiteral("Error %1: %2").arg(e.number()).arg(e.description()),
               failureAdvice(e, FailedStep::Command, session().RequestNum), MsgIcon::Critical,
               windowTitle());
    } catch (const std::exception& e) {
        msgBox(QStringLiteral("Error: %1").arg(QString::fromLocal8Bit(e.what())),
               failureAdvice(LisError(0, QString()), FailedStep::Command, session().RequestNum),
               MsgIcon::Critical, windowTitle());
    }
}

void ResultEntryForm::connectHandlers()
{
    const auto on = [this](QPushButton* b, void (ResultEntryForm::*handler)()) {
        connect(b, &QPushButton::clicked, this, [this, handler] {
            // A click that tried to leave an empty accession number is refused
            // with it, as the validation cancelled the move.
            if (std::exchange(m_validationRefused, false))
                return;
            guarded([&] { (this->*handler)(); });
        });
    };
    // Exit always works, whatever the accession number holds.
    connect(cmdClose, &QPushButton::clicked, this, [this] {
        m_validationRefused = false;
        guarded([this] { cmdClose_Click(); });
    });
    on(cmdFlags, &ResultEntryForm::cmdFlags_Click);
    on(cmdResetResult, &ResultEntryForm::cmdResetResult_Click);
    on(cmdSave, &ResultEntryForm::cmdSave_Click);
    on(cmdVerify, &ResultEntryForm::cmdVerify_Click);
    on(cmdPrint, &ResultEntryForm::cmdPrint_Click);
    on(cmdSearchSampleNum, &ResultEntryForm::cmdSearchSampleNum_Click);

    connect(txtResult, &QLineEdit::textChanged, this, [this](const QString& text) {
        guarded([&] {
            const int row = msfgRequest->Row();
            msfgRequest->setTextMatrix(row, msfgRequest->Col(), text);
            valueChanged(row);
        });
    });
    connect(msfgRequest, &QTableWidget::cellClicked, this,
            [this] { guarded([this] { placeEditor(); }); });
    connect(msfgRequest, &QTableWidget::currentCellChanged, this, [this](int row) {
        if (row >= 0)
            guarded([this] { placeEditor(); });
    });
    for (QObject* o : {static_cast<QObject*>(txtResult), static_cast<QObject*>(txtAccNum),
                       static_cast<QObject*>(txtSampleNum), static_cast<QObject*>(txtRemarks),
                       static_cast<QObject*>(txtRemarks->viewport()), static_cast<QObject*>(Frame1),
                       static_cast<QObject*>(msfgRequest)})
        o->installEventFilter(this);

    // A change after a save brings the action buttons back.
    const auto changed = [this] { somethingChanged(); };
    connect(msfgRequest, &QTableWidget::cellChanged, this, changed);
    connect(txtRemarks, &QTextEdit::textChanged, this, changed);
    connect(txtAccNum, &QLineEdit::textChanged, this, changed);
    for (QDateTimeEdit* picker : std::initializer_list<QDateTimeEdit*>{
             dtReportDate, dtReportTime, dtSubmitted, dtSubmittedTime, dtLRADate, dtLRATime})
        connect(picker, &QDateTimeEdit::dateTimeChanged, this, changed);
}

QStringList ResultEntryForm::heldState() const
{
    QStringList held;
    for (int r = 0; r < msfgRequest->Rows(); ++r)
        for (int c = 0; c < msfgRequest->Cols(); ++c)
            held << msfgRequest->TextMatrix(r, c);
    held << txtRemarks->toPlainText() << txtAccNum->text();
    for (const QDateTimeEdit* picker : std::initializer_list<const QDateTimeEdit*>{
             dtReportDate, dtReportTime, dtSubmitted, dtSubmittedTime, dtLRADate, dtLRATime})
        held << picker->dateTime().toString(Qt::ISODate);
    return held;
}

bool ResultEntryForm::hasUnsavedChanges() const
{
    return !m_unchanged.isEmpty() && heldState() != m_unchanged;
}

void ResultEntryForm::markSaved()
{
    m_unchanged = heldState();
    m_offUntilChanged = true;
    lblSaved->setText(QStringLiteral("Saved ") +
                      QLocale::c().toString(Clock::now().time(), QStringLiteral("h:mm AP")));
}

void ResultEntryForm::somethingChanged()
{
    if (!m_offUntilChanged || !hasUnsavedChanges())
        return;
    m_offUntilChanged = false;
    SetActionButtons(*this, true);
}

void ResultEntryForm::closeEvent(QCloseEvent* event)
{
    if (hasUnsavedChanges() &&
        msgBox(QStringLiteral("Discard the unsaved results of %1?")
                   .arg(session().RequestNum.trimmed()),
               QStringLiteral("Yes closes the window and the changes are lost. No keeps it open: "
                              "press Save to keep them."),
               MsgIcon::Question, windowTitle(), MsgButtons::YesNo,
               MsgAnswer::No) != MsgAnswer::Yes) {
        event->ignore();
        return;
    }
    WindowMemory::remember(*this, {msfgRequest, msfgDLresult});
    QDialog::closeEvent(event);
}

void ResultEntryForm::ensureLoaded()
{
    if (m_loaded)
        return;
    m_loaded = true;
    load();
}

void ResultEntryForm::setTop(int twips)
{
    ensureLoaded();
    move(x(), Twips::toPx(twips));
}

void ResultEntryForm::setLeft(double twips)
{
    ensureLoaded();
    move(Twips::toPx(int(twips)), y());
}

void ResultEntryForm::showModal()
{
    ensureLoaded();
    fillingEnded();
    m_opened = {txtAccNum->text(), txtSampleNum->text(), txtPName->text(), LookedUpSample,
                m_sampleCall};
    rememberChangeNumbers(session().RequestNum);
    readQcHolds();
    m_unchanged = heldState();
    txtSampleNum->setFocus();
    Presenter::current().showModal(*this);
}

void ResultEntryForm::Init_Codes()
{
    const QDateTime now = Clock::now();
    setDate(dtSubmitted, DateText::monthDayYear(now.date()));
    setDate(dtLRADate, DateText::monthDayYear(now.date()));
    setTime(dtSubmittedTime, DateText::time12WithSeconds(now.time()));
    setTime(dtLRATime, DateText::time12WithSeconds(now.time()));
    setDate(dtpResultDate, DateText::monthDayYear(now.date()));
}

void ResultEntryForm::load()
{
    const RequestInfo& r = session().Request;
    setWindowTitle(QStringLiteral("Result Entry - %1 %2 (%3)")
                       .arg(session().RequestNum.trimmed(), r.PatientName, r.ExamName));
    Init_Codes();
    SetMedTechAccess(*this);
    InstrumentId =
        SettingsStore::get(QStringLiteral("TarvikInstrumentID"), QStringLiteral("Laboratory"),
                           QStringLiteral("LabMachineInterface"));
    InstrumentName =
        SettingsStore::get(QStringLiteral("TarvikInstrumentname"), QStringLiteral("Laboratory"),
                           QStringLiteral("LabMachineInterface"));
    loadSizing();
    WindowMemory::restore(*this, {msfgRequest, msfgDLresult});

    const SessionState& s = session();
    if (s.EditMode || s.VerifyMode) {
        readSavedHeader();
        showSavedHeader();
    } else {
        const QDateTime now = Clock::now();
        for (QDateEdit* d : {dtReportDate, dtSubmitted, dtLRADate})
            setDate(d, DateText::monthDayYear(now.date()));
        setTime(dtReportTime, DateText::time12(now.time()));
        setTime(dtSubmittedTime, DateText::time12WithSeconds(now.time()));
        setTime(dtLRATime, DateText::time12WithSeconds(now.time()));
        txtRemarks->clear();
        txtAccNum->clear();
    }
    dtpResultDate->setEnabled(true);
}

void ResultEntryForm::showSavedHeader()
{
    const SessionState& s = session();
    // Without a saved report time the pickers show now, not an empty date.
    showDateTime(dtReportDate, dtReportTime, s.ResultDate.isValid() ? s.ResultDate : Clock::now(),
                 false);
    showDateTime(dtSubmitted, dtSubmittedTime, s.SampleSubmitted, true);
    showDateTime(dtLRADate, dtLRATime, s.LRATime, true);
    txtRemarks->setPlainText(s.Remarks);
    txtAccNum->setText(s.AccessionNum);
}

void ResultEntryForm::cmdClose_Click()
{
    close();
}

void ResultEntryForm::cmdFlags_Click()
{
    const bool show = cmdFlags->text() == QLatin1String("Show &Review");
    cmdFlags->setText(show ? QStringLiteral("Hide &Review") : QStringLiteral("Show &Review"));
    fraBody8->setVisible(show);
    msfgDLresult->setVisible(!show);
}

bool ResultEntryForm::txtAccNum_Validate()
{
    if (txtAccNum->text().trimmed().isEmpty()) {
        msgBox(QStringLiteral("You have to fill-in the ACCESSION NUMBER first."),
               QStringLiteral("Type the accession number of the sample of %1 before moving on; "
                              "Exit closes the window without it.")
                   .arg(session().RequestNum.trimmed()),
               MsgIcon::Information, QStringLiteral("Incomplete Data"));
        return false;
    }
    // Focus goes where staff sent it (a click, Tab): never into a date,
    // where the next keys would change it unseen.
    return true;
}

QDateTime ResultEntryForm::pickedDateTime(const QDateEdit* date, const QTimeEdit* time)
{
    const QString text =
        DateText::monthDayYear(date->date()) + QLatin1Char(' ') + DateText::time12(time->time());
    return DateText::toDateTime(text);
}

void ResultEntryForm::collapseRemarks()
{
    setRemarksExpanded(false);
}

void ResultEntryForm::keyPressEvent(QKeyEvent* event)
{
    // Escape never closes the window: typed values are left only by Exit.
    if (event->key() == Qt::Key_Escape) {
        txtResult->hide();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ResultEntryForm::mousePressEvent(QMouseEvent* event)
{
    collapseRemarks();
    QDialog::mousePressEvent(event);
}

bool ResultEntryForm::typeIntoAccNum(QEvent* event)
{
    // The length limit holds for typing only: a longer number the program
    // put there stays whole, and may be shortened. (A maximum length on the
    // box would also cut what the program sets.)
    const QString before = txtAccNum->text();
    const int cursor = txtAccNum->cursorPosition();
    const int selStart = txtAccNum->selectionStart();
    const int selLength = int(txtAccNum->selectedText().size());
    m_typingAccNum = true;
    QCoreApplication::sendEvent(txtAccNum, event);
    m_typingAccNum = false;
    const auto length = txtAccNum->text().size();
    if (length > kAccNumTyped && length > before.size()) {
        txtAccNum->setText(before);
        if (selLength > 0)
            txtAccNum->setSelection(selStart, selLength);
        else
            txtAccNum->setCursorPosition(cursor);
    }
    return true;
}

bool ResultEntryForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // An Alt key that reaches a text box is a mnemonic of a button that
        // is off or hidden: it does nothing, and is no letter.
        const auto mods = key->modifiers();
        if ((mods & Qt::AltModifier) && !(mods & Qt::ControlModifier) && !key->text().isEmpty())
            return true;
        if (watched == txtAccNum && !m_typingAccNum)
            return typeIntoAccNum(event);
        if (watched == txtResult)
            return txtResult_KeyDown(key);
        if (watched == msfgRequest)
            return msfgRequest_KeyDown(key);
        if (watched == txtSampleNum &&
            (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
            guarded([this] { cmdSearchSampleNum_Click(); });
            return true;
        }
    } else if (event->type() == QEvent::MouseButtonPress) {
        if (watched == txtRemarks->viewport()) {
            setRemarksExpanded(true);
        } else if (watched == Frame1) {
            collapseRemarks();
        }
    } else if (event->type() == QEvent::FocusIn) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Tab into the results opens the value of the current row; Shift+Tab
        // from that value passes the grid by.
        const bool tabbed = reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason;
        if (watched == msfgRequest && reason == Qt::BacktabFocusReason && txtResult->isVisible())
            focusPreviousChild();
        else if (watched == msfgRequest && tabbed)
            guarded([this] { placeEditor(); });
        else if (watched == txtRemarks && tabbed)
            setRemarksExpanded(true);
    } else if ((event->type() == QEvent::InputMethod || event->type() == QEvent::Drop) &&
               watched == txtAccNum && !m_typingAccNum) {
        return typeIntoAccNum(event);
    } else if (event->type() == QEvent::FocusOut && watched == txtAccNum && !m_validating) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Leaving for another control of this window, as Validate did;
        // never for Exit.
        if ((reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
             reason == Qt::MouseFocusReason) &&
            QApplication::focusWidget() != cmdClose) {
            m_validating = true;
            bool ok = true;
            guarded([&] { ok = txtAccNum_Validate(); });
            m_validationRefused = !ok && reason == Qt::MouseFocusReason;
            if (!ok)
                txtAccNum->setFocus();
            m_validating = false;
        }
    }
    return QDialog::eventFilter(watched, event);
}
