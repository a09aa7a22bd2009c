#include "frmReportViewer.h"
#include "component/FailureAdvice.h"
#include "component/SavedResults.h"
#include "component/modMain.h"
#include "component/model/FormType.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/ui/WindowMemory.h"

#include <QAbstractScrollArea>
#include <QAction>
#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPrintPreviewWidget>
#include <QPrinter>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTextDocument>
#include <QToolBar>
#include <QWheelEvent>
#include <cmath>

namespace {
constexpr int kButtonBar = 40;
constexpr QSize kWanted(900, 760);
// Room for the toolbar, a strip of page and the three buttons.
constexpr QSize kSmallest(420, 240);
constexpr qreal kZoomStep = 1.1;
// 1 is the page at its printed size.
constexpr qreal kMinZoom = 0.2;
constexpr qreal kMaxZoom = 5.0;
} // namespace

frmReportViewer::frmReportViewer()
{
    setObjectName(QStringLiteral("frmReportViewer"));
    setWindowTitle(QStringLiteral("View Report"));
    // The size this user left the preview at, if any, within the screen.
    resize(kWanted);
    WindowMemory::restore(*this, {});
    m_wanted = size();
    const QWidget* active = QApplication::activeWindow();
    fitToScreen(active ? active->screen() : QGuiApplication::primaryScreen());

    viewerTools = new QToolBar(this);
    viewerTools->setObjectName(QStringLiteral("viewerTools"));
    crViewer1 = new QPrintPreviewWidget(this);
    crViewer1->setObjectName(QStringLiteral("crViewer1"));
    // Not connected to zoomIn/zoomOut directly: triggered(bool) would hand
    // its "checked" false over as the zoom factor, scaling the page to nothing.
    viewerTools->addAction(QStringLiteral("Zoom in"), this, [this] { zoom(kZoomStep); });
    viewerTools->addAction(QStringLiteral("Zoom out"), this, [this] { zoom(1 / kZoomStep); });
    viewerTools->addAction(QStringLiteral("Fit width"), crViewer1,
                           &QPrintPreviewWidget::fitToWidth);
    viewerTools->addAction(QStringLiteral("Whole page"), crViewer1,
                           &QPrintPreviewWidget::fitInView);
    viewerTools->addAction(QStringLiteral("Previous page"), this,
                           [this] { crViewer1->setCurrentPage(crViewer1->currentPage() - 1); });
    viewerTools->addAction(QStringLiteral("Next page"), this,
                           [this] { crViewer1->setCurrentPage(crViewer1->currentPage() + 1); });
    // Closing the preview from the viewer's own bar ends it, as the window's
    // close box does.
    viewerTools->addAction(QStringLiteral("Close preview"), this, [this] { close(); });

    const auto button = [this](const char* name, const QString& caption) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(QLatin1String(name));
        b->setAutoDefault(false);
        b->hide();
        return b;
    };
    cmdVerify = button("cmdVerify", QStringLiteral("&Verify/Save"));
    cmdEdit = button("cmdEdit", QStringLiteral("&Edit"));
    cmdPrint = button("cmdPrint", QStringLiteral("Verify/Save/ &Print"));
    fmeFax = new QGroupBox(QStringLiteral("Frame1"), this);
    fmeFax->setObjectName(QStringLiteral("fmeFax"));
    Image1 = new QLabel(fmeFax);
    Image1->setObjectName(QStringLiteral("Image1"));
    Image1->setPixmap(style()->standardIcon(QStyle::SP_DriveNetIcon).pixmap(32, 32));

    connect(cmdVerify, &QPushButton::clicked, this, [this] { verify(false); });
    connect(cmdPrint, &QPushButton::clicked, this, [this] { verify(true); });
    connect(cmdEdit, &QPushButton::clicked, this, [this] { close(); });
    connect(crViewer1, &QPrintPreviewWidget::paintRequested, this, [this](QPrinter* printer) {
        if (m_document)
            Report::printDocument(*m_document, printer);
    });
    // Wheel events end at the view's viewport, which scrolls with them.
    if (auto* view = crViewer1->findChild<QAbstractScrollArea*>())
        view->viewport()->installEventFilter(this);
}

frmReportViewer::~frmReportViewer()
{
    unload();
}

void frmReportViewer::setCaption(const QString& caption)
{
    if (!m_loaded) {
        m_loaded = true;
        load();
    }
    setWindowTitle(caption);
}

void frmReportViewer::load()
{
    if (m_withVerification) {
        cmdVerify->show();
        cmdEdit->show();
        cmdPrint->show();
    }
    fmeFax->hide();
    // The preview shows the report at once, whole pages side by side for the
    // long hematology forms, the page width otherwise; it has no group tree
    // and no export of its own.
    const RequestInfo& r = session().Request;
    const bool wide = isWideForm(r.FormType, r.ValueType);
    if (session().CurrentReport)
        m_document = session().CurrentReport->render();
    crViewer1->setZoomMode(wide ? QPrintPreviewWidget::FitInView : QPrintPreviewWidget::FitToWidth);
    crViewer1->updatePreview();
}

// 900 x 760 when the screen has room, else the screen's free area less the
// window frame, so the buttons at the bottom never fall off a small screen.
void frmReportViewer::fitToScreen(QScreen* screen)
{
    if (!screen)
        return;
    // The frame is known once the window manager has decorated the window;
    // until then take the active window's, which it decorates alike.
    QSize frame = frameGeometry().size() - size();
    const QWidget* active = QApplication::activeWindow();
    if (frame.isEmpty() && active && active != this)
        frame = active->frameGeometry().size() - active->size();
    if (frame.isEmpty()) {
        const int border = 2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
        frame = QSize(border, style()->pixelMetric(QStyle::PM_TitleBarHeight) + border);
    }
    const QRect room = screen->availableGeometry();
    const QSize inner = room.size() - frame;
    setMinimumSize(kSmallest.boundedTo(inner));
    resize(m_wanted.boundedTo(inner));
    if (!isVisible())
        return; // placed when shown
    const QSize outer = size() + frame;
    move(qBound(room.left(), x(), room.right() + 1 - outer.width()),
         qBound(room.top(), y(), room.bottom() + 1 - outer.height()));
}

void frmReportViewer::zoom(qreal factor)
{
    const qreal next = crViewer1->zoomFactor() * factor;
    if ((factor > 1 && next > kMaxZoom) || (factor < 1 && next < kMinZoom))
        return;
    // Scales about the middle of the view, so the part being read stays in it.
    crViewer1->zoomIn(factor);
}

void frmReportViewer::showModal()
{
    if (!m_loaded)
        setCaption(windowTitle());
    Presenter::current().showModal(*this);
}

void frmReportViewer::verify(bool print)
{
    try {
        if (!VerifyRequestResults())
            return; // no logbook entry: nothing verified, the viewer stays
        m_resultVerified = true;
        if (print)
            session().PrintRequested = true;
        close();
    } catch (const LisError& e) {
        msgBox(QStringLiteral("Error %1: %2").arg(e.number()).arg(e.description()),
               failureAdvice(e, FailedStep::Verify, session().RequestNum), MsgIcon::Critical,
               windowTitle());
    }
}

bool frmReportViewer::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Wheel) {
        const auto* wheel = static_cast<QWheelEvent*>(event);
        const int steps = wheel->angleDelta().y();
        if (wheel->modifiers().testFlag(Qt::ControlModifier) && steps != 0) {
            // One notch is one toolbar step; touchpads send fractions of one.
            zoom(std::pow(kZoomStep, steps / 120.0));
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void frmReportViewer::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Escape) {
        close();
        return;
    }
    QDialog::keyPressEvent(event);
}

void frmReportViewer::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Once, when opened: a window brought back from the task bar keeps the
    // size its user gave it.
    if (!event->spontaneous())
        fitToScreen(screen());
}

void frmReportViewer::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    const int bar = viewerTools->sizeHint().height();
    const int buttons = cmdVerify->isVisible() || m_withVerification ? kButtonBar : 0;
    viewerTools->setGeometry(0, 0, width(), bar);
    crViewer1->setGeometry(0, bar, width(), height() - bar - buttons);
    int x = width() - 8;
    for (QPushButton* b : {cmdPrint, cmdEdit, cmdVerify}) {
        const int w = std::max(110, b->sizeHint().width());
        x -= w;
        b->setGeometry(x, height() - kButtonBar + 6, w, kButtonBar - 12);
        x -= 8;
    }
}

void frmReportViewer::closeEvent(QCloseEvent* event)
{
    unload();
    QDialog::closeEvent(event);
}

void frmReportViewer::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (isVisible())
        WindowMemory::remember(*this, {});
    SessionState& s = session();
    s.CurrentReport.reset();
    if (m_resultVerified && m_withVerification)
        s.ReportVerified = true;
}
