#pragma once

#include "platform/Presenter.h"

#include <QTextStream>

// Without a display nobody can answer a message box or work in a window:
// it prints each message as "[title] text" and takes its default
// answer, and closes each window it was asked to show.
class ConsolePresenter : public Presenter {
public:
    explicit ConsolePresenter(QTextStream& out)
        : m_out(out)
    {
    }
    MsgAnswer message(const MessageRequest& request) override;
    void showModal(QWidget& window) override;

private:
    QTextStream& m_out;
};
