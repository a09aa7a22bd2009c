#include "Presenter.h"

#include <QApplication>
#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>

namespace {
Presenter*& installed()
{
    static thread_local Presenter* p = nullptr;
    return p;
}

QMessageBox::Icon toQt(MsgIcon icon)
{
    switch (icon) {
    case MsgIcon::Information:
        return QMessageBox::Information;
    case MsgIcon::Exclamation:
        return QMessageBox::Warning;
    case MsgIcon::Question:
        return QMessageBox::Question;
    case MsgIcon::Critical:
        return QMessageBox::Critical;
    case MsgIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

QMessageBox::StandardButton toQt(MsgAnswer a)
{
    switch (a) {
    case MsgAnswer::Ok:
        return QMessageBox::Ok;
    case MsgAnswer::Cancel:
        return QMessageBox::Cancel;
    case MsgAnswer::Yes:
        return QMessageBox::Yes;
    case MsgAnswer::No:
        return QMessageBox::No;
    }
    return QMessageBox::Ok;
}

QMessageBox::StandardButtons toQt(MsgButtons b)
{
    switch (b) {
    case MsgButtons::Ok:
        return QMessageBox::Ok;
    case MsgButtons::OkCancel:
        return QMessageBox::Ok | QMessageBox::Cancel;
    case MsgButtons::YesNo:
        return QMessageBox::Yes | QMessageBox::No;
    case MsgButtons::YesNoCancel:
        return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
    }
    return QMessageBox::Ok;
}

// Ends a local event loop once the watched window is hidden or destroyed.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QWidget& w, QEventLoop& loop)
        : m_loop(loop)
    {
        w.installEventFilter(this);
        connect(&w, &QObject::destroyed, &loop, &QEventLoop::quit);
    }
    bool eventFilter(QObject*, QEvent* e) override
    {
        if (e->type() == QEvent::Hide)
            m_loop.quit();
        return false;
    }

private:
    QEventLoop& m_loop;
};
} // namespace

Presenter::~Presenter() = default;

Presenter& Presenter::current()
{
    static thread_local DialogPresenter fallback;
    return installed() ? *installed() : fallback;
}

void Presenter::install(Presenter* presenter)
{
    installed() = presenter;
}

MsgAnswer msgBox(const QString& text, MsgIcon icon, const QString& title, MsgButtons buttons,
                 MsgAnswer defaultAnswer)
{
    return Presenter::current().message({text, title, icon, buttons, defaultAnswer, {}});
}

MsgAnswer msgBox(const QString& text, const QString& advice, MsgIcon icon, const QString& title,
                 MsgButtons buttons, MsgAnswer defaultAnswer)
{
    return Presenter::current().message({text, title, icon, buttons, defaultAnswer, advice});
}

MsgAnswer DialogPresenter::message(const MessageRequest& r)
{
    const QPointer<QWidget> owner = QApplication::activeWindow();
    QMessageBox box(toQt(r.icon),
                    r.title.isEmpty() ? QApplication::applicationDisplayName() : r.title, r.text,
                    toQt(r.buttons), owner);
    box.setDefaultButton(toQt(r.defaultAnswer));
    box.setInformativeText(r.advice);
    const int answer = box.exec();
    // The window asked from gets its keys back, shortcuts included, also
    // where no window manager hands activation back to it.
    if (owner && owner->isVisible())
        owner->activateWindow();
    switch (answer) {
    case QMessageBox::Yes:
        return MsgAnswer::Yes;
    case QMessageBox::No:
        return MsgAnswer::No;
    case QMessageBox::Cancel:
        return MsgAnswer::Cancel;
    default:
        return MsgAnswer::Ok;
    }
}

void DialogPresenter::showModal(QWidget& window)
{
    const QPointer<QWidget> owner = QApplication::activeWindow();
    QPointer<QWidget> guard(&window);
    window.setWindowModality(Qt::ApplicationModal);
    QEventLoop loop;
    CloseWatcher watcher(window, loop);
    window.show();
    if (guard && guard->isVisible())
        loop.exec(QEventLoop::DialogExec);
    // As after a message: the window underneath takes the keys again.
    if (owner && owner != guard && owner->isVisible())
        owner->activateWindow();
}
