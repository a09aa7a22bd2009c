// The window's design: every control with its name, caption and place in
// twips, as drawn. Client area 11880 x 6120.
#include "component/model/ResultGrid.h"
#include "platform/ui/Anchors.h"
#include "platform/ui/FlexGrid.h"
#include "platform/ui/Pickers.h"
#include "platform/ui/Twips.h"
#include "screens/result_entry/GridCells.h"
#include "screens/result_entry/ResultEntryForm.h"

#include <QDateEdit>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollBar>
#include <QShortcut>
#include <QTextEdit>
#include <QTimeEdit>
#include <cmath>

namespace {
constexpr double kGridHeightShare = 0.8;
constexpr int kRemarksCollapsed = 315;
constexpr int kRemarksExpanded = 813;

template <typename W> W* make(QWidget* parent, const char* name, int l, int t, int w, int h)
{
    auto* widget = new W(parent);
    widget->setObjectName(QLatin1String(name));
    Twips::place(widget, l, t, w, h);
    return widget;
}

QLabel* label(QWidget* parent, const char* name, const QString& caption, int l, int t, int w, int h)
{
    auto* lbl = make<QLabel>(parent, name, l, t, w, h);
    lbl->setText(caption);
    return lbl;
}

QGroupBox* frame(QWidget* parent, const char* name, const QString& caption, int l, int t, int w,
                 int h)
{
    auto* f = make<QGroupBox>(parent, name, l, t, w, h);
    f->setTitle(caption);
    return f;
}

QPushButton* button(QWidget* parent, const char* name, const QString& caption, int l, int t, int w,
                    int h)
{
    auto* b = make<QPushButton>(parent, name, l, t, w, h);
    b->setText(caption);
    b->setAutoDefault(false);
    return b;
}

QDateEdit* datePicker(QWidget* parent, const char* name, int l, int t)
{
    return make<DatePicker>(parent, name, l, t, 1380, 315);
}

QTimeEdit* timePicker(QWidget* parent, const char* name, int l, int t)
{
    return make<TimePicker>(parent, name, l, t, 1500, 315);
}
} // namespace

void ResultEntryForm::buildControls()
{
    QFont f = font();
    f.setPointSize(8);
    setFont(f);
    // Drawn at 11880 x 6120; a larger window gives the grids more room.
    resize(Twips::toPx(11880), Twips::toPx(6120));
    setMinimumSize(size());
    setWindowFlags(windowFlags() | Qt::WindowMinMaxButtonsHint);
    setSizeGripEnabled(true);

    buildHeaderStrip();
    buildDownloadedBlock();
    buildResultsBlock();
    buildButtons();
    buildLegend();

    // As the design leaves them at load.
    txtResult->hide();
    grdExams->hide();
    fraBody8->hide();
    cmdFlags->hide();
    cmdVerify->hide();
    cmdResetResult->setEnabled(false);
}

void ResultEntryForm::buildHeaderStrip()
{
    // Top strip: accession number and the dates and times of the request.
    fraAdditional = frame(this, "fraAdditional", QString(), 120, 60, 11640, 780);
    lbllabels30 =
        label(fraAdditional, "lbllabels(30)", QStringLiteral("Accession#"), 120, 120, 1500, 240);
    txtAccNum = make<QLineEdit>(fraAdditional, "txtAccNum", 120, 360, 1560, 315);
    lbllabels31 = label(fraAdditional, "lbllabels(31)", QStringLiteral("Date Submitted"), 1800, 120,
                        2400, 240);
    dtSubmitted = datePicker(fraAdditional, "dtSubmitted", 1800, 360);
    dtSubmittedTime = timePicker(fraAdditional, "dtSubmittedTime", 3240, 360);
    lbllabels32 = label(fraAdditional, "lbllabels(32)", QStringLiteral("LRA Logbook Time"), 4860,
                        120, 2400, 240);
    dtLRADate = datePicker(fraAdditional, "dtLRADate", 4860, 360);
    dtLRATime = timePicker(fraAdditional, "dtLRATime", 6300, 360);
    Frame2 = frame(fraAdditional, "Frame2", QStringLiteral("Date \\ Time Reported"), 7980, 30, 3540,
                   690);
    dtReportDate = datePicker(Frame2, "dtReportDate", 120, 300);
    dtReportTime = timePicker(Frame2, "dtReportTime", 1560, 300);
}

void ResultEntryForm::buildDownloadedBlock()
{
    // Left block: the instrument's results for a sample.
    Frame6 = frame(this, "Frame6", QStringLiteral("DOWNLOADED RESULTS"), 120, 900, 4080, 4680);
    lbllabels33 =
        label(Frame6, "lbllabels(33)", QStringLiteral("Sample Number:"), 120, 330, 1380, 240);
    txtSampleNum = make<QLineEdit>(Frame6, "txtSampleNum", 1560, 300, 1860, 315);
    txtSampleNum->setMaxLength(50);
    cmdSearchSampleNum =
        button(Frame6, "cmdSearchSampleNum", QStringLiteral("..."), 3480, 300, 420, 315);
    lbllabels34 =
        label(Frame6, "lbllabels(34)", QStringLiteral("Result Date:"), 120, 690, 1380, 240);
    dtpResultDate = datePicker(Frame6, "dtpResultDate", 1560, 660);
    lbllabels35 =
        label(Frame6, "lbllabels(35)", QStringLiteral("Patient Name:"), 120, 1050, 1380, 240);
    txtPName = make<QLineEdit>(Frame6, "txtPName", 1560, 1020, 2400, 315);
    txtPName->setReadOnly(true);
    txtPName->setFocusPolicy(Qt::ClickFocus); // shown, not typed: no Tab stop
    msfgDLresult = make<FlexGrid>(Frame6, "msfgDLresult", 120, 1440, 3840, 2640);
    fraBody8 = make<QWidget>(Frame6, "fraBody(8)", 120, 1440, 3840, 2640);
    Picture1 = make<QWidget>(fraBody8, "Picture1", 0, 0, 3840, 300);
    Picture1->setAutoFillBackground(true);
    Picture1->setStyleSheet(QStringLiteral("background-color: #1f3b66;"));
    lblFlags = label(Picture1, "lblFlags", QStringLiteral("REVIEW FLAGS"), 90, 30, 3000, 240);
    lblFlags->setStyleSheet(QStringLiteral("color: white; font-weight: bold;"));
    lstREVIEW = make<QListWidget>(fraBody8, "lstREVIEW", 0, 300, 3840, 2340);
    cmdFlags = button(Frame6, "cmdFlags", QStringLiteral("Show &Review"), 120, 4200, 1560, 375);
    cmdResetResult =
        button(Frame6, "cmdResetResult", QStringLiteral("Use &Result >>"), 2160, 4200, 1800, 375);
}

void ResultEntryForm::buildResultsBlock()
{
    // Right block: the request's exams and their results.
    Frame1 = frame(this, "Frame1", QStringLiteral("FINAL RESULTS"), 4320, 900, 6060, 4680);
    grdExams = make<FlexGrid>(Frame1, "grdExams", 120, 270, 600, 300);
    grdExams->setCols(5); // code, name, request number, normal values
    msfgRequest = make<FlexGrid>(Frame1, "msfgRequest", 120, 270, 5820, 3180);
    // Both windows keep the value and the exam code in the same columns.
    static_assert(col(NvCol::Item) == col(CutOffCol::Item));
    msfgRequest->setItemDelegateForColumn(
        kValueCol, new GridCells::ValueCell(col(CutOffCol::Item), msfgRequest));
    txtResult = make<QLineEdit>(Frame1, "txtResult", 120, 270, 2500, 285);
    txtResult->setMaxLength(50);
    txtResult->setStyleSheet(QStringLiteral("background-color: #e0e0e0;"));
    lblRemarks0 = label(Frame1, "lblRemarks(0)", QStringLiteral("Remarks"), 120, 3510, 1200, 240);
    lblQcHold = label(Frame1, "lblQcHold", QString(), 1320, 3510, 4620, 240);
    lblQcHold->setStyleSheet(QStringLiteral("color: #b00000; font-weight: bold;"));
    lblQcHold->hide();
    txtRemarks = make<QTextEdit>(Frame1, "txtRemarks", 120, 3750, 5820, 315);
    txtRemarks->setAcceptRichText(true);
    txtRemarks->setTabChangesFocus(true);
}

void ResultEntryForm::buildButtons()
{
    // Button column.
    fraAll = frame(this, "fraAll", QString(), 10500, 900, 1260, 3240);
    cmdSave = button(fraAll, "cmdSave", QStringLiteral("&Save"), 60, 240, 1140, 660);
    cmdSave->setToolTip(QStringLiteral("For Clerk"));
    fraMedTech = frame(fraAll, "fraMedTech", QStringLiteral("For Med Tech"), 30, 1080, 1200, 1080);
    cmdVerify = button(fraMedTech, "cmdVerify", QStringLiteral("View && Save"), 30, 300, 1140, 660);
    cmdVerify->setToolTip(QStringLiteral("For Med Tech"));
    cmdPrint = button(fraMedTech, "cmdPrint", QStringLiteral("&View Result"), 30, 300, 1140, 660);
    cmdPrint->setToolTip(QStringLiteral("For Med Tech"));
    cmdClose = button(this, "cmdClose", QStringLiteral("E&xit"), 10560, 4260, 1140, 660);
    lblSaved = label(fraAll, "lblSaved", QString(), 60, 2280, 1140, 720);
    lblSaved->setWordWrap(true);
    lblSaved->setAlignment(Qt::AlignCenter);
}

void ResultEntryForm::buildLegend()
{
    // Legend strip under the grid.
    fraCommonCodes = frame(this, "fraCommonCodes", QString(), 4320, 5640, 7440, 420);
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setPointSize(7);
    Label1_0 =
        label(fraCommonCodes, "Label1(0)",
              QStringLiteral("F2             F3          F4          F5"), 120, 15, 6480, 180);
    Label1_2 = label(fraCommonCodes, "Label1(2)",
                     QStringLiteral("Positive       Negative    Reactive    Non-Reactive     "
                                    "Re-checked"),
                     120, 195, 6480, 180);
    Label1_0->setFont(mono);
    Label1_2->setFont(mono);
    // The pink word lies exactly over its place in the legend.
    const int column = int(Label1_2->text().indexOf(QStringLiteral("Re-checked")));
    Label1_1 = label(fraCommonCodes, "Label1(1)", QStringLiteral("Re-checked"), 0, 0, 0, 0);
    Label1_1->setFont(mono);
    Label1_1->setStyleSheet(QStringLiteral("color: #ff3fa4;"));
    const QFontMetrics fm(mono);
    Label1_1->setGeometry(Label1_2->x() + fm.horizontalAdvance(Label1_2->text().left(column)),
                          Label1_2->y(), fm.horizontalAdvance(Label1_1->text()) + 2,
                          Label1_2->height());
    const QString keys = QStringLiteral(
        "While typing a value: F2 Positive, F3 Negative, F4 Reactive, F5 Non-Reactive; F6 marks "
        "the row re-checked, or clears the mark.\nOn the grid, F3 marks the row re-checked.");
    for (QWidget* w : {static_cast<QWidget*>(fraCommonCodes), static_cast<QWidget*>(Label1_0),
                       static_cast<QWidget*>(Label1_1), static_cast<QWidget*>(Label1_2)})
        w->setToolTip(keys);
}

void ResultEntryForm::buildAnchors(double downloadsShare)
{
    // Of the room beyond the design, the downloaded results get their share
    // of the width and the final results the rest; both get all the height,
    // the request grid four fifths of it and the remarks one fifth.
    const double left = downloadsShare;
    const double right = 1 - left;
    m_anchors = std::make_unique<Anchors>(minimumSize());
    Anchors& a = *m_anchors;
    a.add(fraAdditional, {0, 0, 1, 0});
    a.add(Frame2, {1, 0, 0, 0});
    a.add(Frame6, {0, 0, left, 1});
    a.add(txtPName, {0, 0, left, 0});
    a.add(msfgDLresult, {0, 0, left, 1});
    a.add(fraBody8, {0, 0, left, 1});
    a.add(Picture1, {0, 0, left, 0});
    a.add(lstREVIEW, {0, 0, left, 1});
    a.add(cmdFlags, {0, 1, 0, 0});
    a.add(cmdResetResult, {left, 1, 0, 0});
    a.add(Frame1, {left, 0, right, 1});
    a.add(msfgRequest, {0, 0, right, kGridHeightShare});
    a.add(lblRemarks0, {0, kGridHeightShare, 0, 0});
    a.add(lblQcHold, {0, kGridHeightShare, right, 0});
    a.add(txtRemarks, {0, kGridHeightShare, right, 0});
    a.add(fraAll, {1, 0, 0, 0});
    a.add(cmdClose, {1, 0, 0, 0});
    a.add(fraCommonCodes, {left, 1, 0, 0});
    msfgRequest->setGrowColumns(true);
    msfgDLresult->setGrowColumns(true);
    connect(msfgRequest->horizontalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { keepEditorOverCell(); });
    connect(msfgRequest->verticalScrollBar(), &QScrollBar::valueChanged, this,
            [this] { keepEditorOverCell(); });
    connect(msfgRequest->horizontalHeader(), &QHeaderView::sectionResized, this,
            [this] { keepEditorOverCell(); });
}

void ResultEntryForm::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    if (!m_anchors)
        return;
    m_anchors->apply(size());
    setRemarksExpanded(m_remarksExpanded);
    keepEditorOverCell();
}

void ResultEntryForm::setRemarksExpanded(bool expanded)
{
    m_remarksExpanded = expanded;
    const int extra = int(std::lround(m_anchors->extra().height() * (1 - kGridHeightShare)));
    QRect r = txtRemarks->geometry();
    r.setHeight(Twips::toPx(expanded ? kRemarksExpanded : kRemarksCollapsed) + extra);
    txtRemarks->setGeometry(r);
    if (expanded)
        txtRemarks->raise();
}

void ResultEntryForm::buildTabOrder()
{
    // The grids are one stop each: arrows move inside them.
    msfgDLresult->setTabKeyNavigation(false);
    msfgRequest->setTabKeyNavigation(false);
    const QList<QWidget*> order = {
        txtAccNum,    dtSubmitted,  dtSubmittedTime, dtLRADate,          dtLRATime,
        dtReportDate, dtReportTime, txtSampleNum,    cmdSearchSampleNum, dtpResultDate,
        msfgDLresult, lstREVIEW,    cmdFlags,        cmdResetResult,     msfgRequest,
        txtResult,    txtRemarks,   cmdSave,         cmdVerify,          cmdPrint,
        cmdClose};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);
    auto* finalResults = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_F), this);
    connect(finalResults, &QShortcut::activated, this, [this] { jumpToFinalResults(); });
}
