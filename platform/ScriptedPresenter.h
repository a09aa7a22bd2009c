#pragma once

#include "platform/Presenter.h"

#include <QList>
#include <QStringList>
#include <deque>
#include <functional>

// A presenter for tests and the scripted walkthrough: it records every
// message exactly, answers from a queue (the default button when the queue
// is empty), and hands every modal window to the next queued handler, which
// drives it (clicks, keys) and returns. A window without a handler is
// closed at once.
class ScriptedPresenter : public Presenter {
public:
    using WindowHandler = std::function<void(QWidget&)>;

    MsgAnswer message(const MessageRequest& request) override;
    void showModal(QWidget& window) override;

    void queueAnswer(MsgAnswer answer) { m_answers.push_back(answer); }
    void queueWindow(WindowHandler handler) { m_handlers.push_back(std::move(handler)); }

    const QList<MessageRequest>& messages() const { return m_messages; }
    QStringList messageTexts() const;
    // objectName of each window shown modally, in order.
    const QStringList& windowsShown() const { return m_windows; }
    void clear();

private:
    QList<MessageRequest> m_messages;
    QStringList m_windows;
    std::deque<MsgAnswer> m_answers;
    std::deque<WindowHandler> m_handlers;
};
