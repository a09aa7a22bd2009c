#include "ScriptedPresenter.h"

#include <QApplication>
#include <QPointer>
#include <QWidget>

MsgAnswer ScriptedPresenter::message(const MessageRequest& request)
{
    m_messages.append(request);
    if (m_answers.empty())
        return request.defaultAnswer;
    const MsgAnswer a = m_answers.front();
    m_answers.pop_front();
    return a;
}

void ScriptedPresenter::showModal(QWidget& window)
{
    m_windows.append(window.objectName());
    // Modal as for people: the windows under it take no keys meanwhile.
    window.setWindowModality(Qt::ApplicationModal);
    window.show();
    if (m_handlers.empty()) {
        window.close();
        return;
    }
    WindowHandler h = std::move(m_handlers.front());
    m_handlers.pop_front();
    const QPointer<QWidget> owner = QApplication::activeWindow();
    h(window);
    window.close();
    if (owner && owner != &window && owner->isVisible()) {
        QApplication::setActiveWindow(owner);
        owner->activateWindow();
    }
}

QStringList ScriptedPresenter::messageTexts() const
{
    QStringList out;
    for (const MessageRequest& m : m_messages)
        out.append(m.text);
    return out;
}

void ScriptedPresenter::clear()
{
    m_messages.clear();
    m_windows.clear();
    m_answers.clear();
    m_handlers.clear();
}
