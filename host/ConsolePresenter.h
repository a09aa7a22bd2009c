#pragma once

#include "Presenter.h"

#include <QTextStream>

// Without a display nobody can answer a message box: the host prints each
// message as "[title] text" and takes its default answer.
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
