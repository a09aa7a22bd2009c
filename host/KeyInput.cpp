#include "KeyInput.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QKeyEvent>
#include <QThread>
#include <QWidget>

// Exported by Qt GUI: offers a key to the shortcut map as a window system
// key press is offered, which is how Alt+letter reaches a button's mnemonic.
Q_GUI_EXPORT bool qt_sendShortcutOverrideEvent(QObject* o, ulong timestamp, int k,
                                               Qt::KeyboardModifiers mods, const QString& text,
                                               bool autorep, ushort count);

namespace {
QString textOf(Qt::Key key, Qt::KeyboardModifiers mods)
{
    if (mods & (Qt::ControlModifier | Qt::MetaModifier))
        return QString();
    switch (key) {
    case Qt::Key_Return:
        return QStringLiteral("\r");
    case Qt::Key_Backspace:
        return QStringLiteral("\b");
    case Qt::Key_Tab:
        return QStringLiteral("\t");
    default:
        break;
    }
    if (key < Qt::Key_Space || key > Qt::Key_AsciiTilde)
        return QString();
    const QChar c(key);
    return (mods & Qt::ShiftModifier) ? QString(c) : QString(c.toLower());
}

void send(QWidget* target, bool press, Qt::Key key, Qt::KeyboardModifiers mods, const QString& text)
{
    QKeyEvent event(press ? QEvent::KeyPress : QEvent::KeyRelease, key, mods, text);
    if (press && qt_sendShortcutOverrideEvent(target, event.timestamp(), key, mods, text, false, 1))
        return;
    QApplication::sendEvent(target, &event);
}
} // namespace

namespace KeyInput {
void click(QWidget* target, Qt::Key key, Qt::KeyboardModifiers mods)
{
    if (!target)
        return;
    const QString text = textOf(key, mods);
    send(target, true, key, mods, text);
    send(target, false, key, mods, text);
    QApplication::processEvents();
}

void type(QWidget* target, const QString& text)
{
    if (!target)
        return;
    for (const QChar c : text) {
        // Qt's key codes for Latin-1 are the upper-case characters.
        const Qt::Key key = Qt::Key(c.toUpper().unicode());
        const Qt::KeyboardModifiers mods = c.isUpper() ? Qt::ShiftModifier : Qt::NoModifier;
        send(target, true, key, mods, QString(c));
        send(target, false, key, mods, QString(c));
    }
    QApplication::processEvents();
}

bool waitFor(const std::function<bool()>& done, int ms)
{
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

void wait(int ms)
{
    waitFor([] { return false; }, ms);
}
} // namespace KeyInput
