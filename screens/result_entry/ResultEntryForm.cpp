#include "ResultEntryForm.h"
#include "Clock.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Presenter.h"
#include "ScreenHelpers.h"
#include "SettingsStore.h"
#include "Twips.h"
#include "modMain.h"

#include <QDateEdit>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QTimeEdit>

namespace {
constexpr int kRemarksCollapsed = 315;
constexpr int kRemarksExpanded = 813;

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

ResultEntryForm::ResultEntryForm()
{
    setWindowTitle(QStringLiteral("Laboratory Result Entry"));
    setModal(true);
    buildControls();
    buildTabOrder();
    connectHandlers();
}

ResultEntryForm::~ResultEntryForm() = default;

void ResultEntryForm::guarded(const std::function<void()>& handler)
{
    try {
        handler();
    } catch (const LisError& e) {
        msgBox(QStringLiteral("Error %1: %2").arg(e.number()).arg(e.description()),
               MsgIcon::Critical, windowTitle());
    } catch (const std::exception& e) {
        msgBox(QStringLiteral("Error: %1").arg(QString::fromLocal8Bit(e.what())), MsgIcon::Critical,
               windowTitle());
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
    on(cmdClose, &ResultEntryForm::cmdClose_Click);
    on(cmdFlags, &ResultEntryForm::cmdFlags_Click);
    on(cmdResetResult, &ResultEntryForm::cmdResetResult_Click);
    on(cmdSave, &ResultEntryForm::cmdSave_Click);
    on(cmdVerify, &ResultEntryForm::cmdVerify_Click);
    on(cmdPrint, &ResultEntryForm::cmdPrint_Click);
    on(cmdSearchSampleNum, &ResultEntryForm::cmdSearchSampleNum_Click);

    connect(txtResult, &QLineEdit::textChanged, this, [this](const QString& text) {
        guarded([&] { msfgRequest->setTextMatrix(msfgRequest->Row(), msfgRequest->Col(), text); });
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

    const SessionState& s = session();
    if (s.EditMode || s.VerifyMode) {
        showDateTime(dtReportDate, dtReportTime, s.ResultDate, false);
        showDateTime(dtSubmitted, dtSubmittedTime, s.SampleSubmitted, true);
        showDateTime(dtLRADate, dtLRATime, s.LRATime, true);
        txtRemarks->setPlainText(s.Remarks);
        txtAccNum->setText(s.AccessionNum);
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

bool ResultEntryForm::accessionNumberGiven()
{
    if (!txtAccNum->text().trimmed().isEmpty())
        return true;
    msgBox(QStringLiteral("Please enter accession number."), MsgIcon::Information);
    txtAccNum->setFocus();
    return false;
}

void ResultEntryForm::cmdSave_Click()
{
    if (accessionNumberGiven())
        Save_And_Print(true, false);
}

void ResultEntryForm::cmdVerify_Click()
{
    if (accessionNumberGiven())
        Save_And_Print(true, false);
}

void ResultEntryForm::cmdPrint_Click()
{
    Save_And_Print(true, true);
}

bool ResultEntryForm::txtAccNum_Validate()
{
    if (txtAccNum->text().trimmed().isEmpty()) {
        msgBox(QStringLiteral("You have to fill-in the ACCESSION NUMBER first."),
               MsgIcon::Information, QStringLiteral("Incomplete Data"));
        return false;
    }
    if (dtSubmitted->isVisible())
        dtSubmitted->setFocus();
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
    const QRect r = Twips::toTwips(txtRemarks->geometry());
    Twips::place(txtRemarks, r.x(), r.y(), r.width(), kRemarksCollapsed);
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

bool ResultEntryForm::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
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
            const QRect r = Twips::toTwips(txtRemarks->geometry());
            Twips::place(txtRemarks, r.x(), r.y(), r.width(), kRemarksExpanded);
            txtRemarks->raise();
        } else if (watched == Frame1) {
            collapseRemarks();
        }
    } else if (event->type() == QEvent::FocusOut && watched == txtAccNum && !m_validating) {
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        // Leaving for another control of this window, as Validate did.
        if (reason == Qt::TabFocusReason || reason == Qt::BacktabFocusReason ||
            reason == Qt::MouseFocusReason) {
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
