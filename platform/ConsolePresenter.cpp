#include "ConsolePresenter.h"

#include <QCoreApplication>
#include <QWidget>

MsgAnswer ConsolePresenter::message(const MessageRequest& request)
{
    const QString title =
        request.title.isEmpty() ? QCoreApplication::applicationName() : request.title;
    m_out << "[" << title << "] " << request.text << "\n";
    if (!request.advice.isEmpty())
        m_out << "  " << request.advice << "\n";
    m_out.flush();
    return request.defaultAnswer;
}

void ConsolePresenter::showModal(QWidget& window)
{
    // Nobody can work in it: say what was opened and close it again.
    m_out << "[" << window.windowTitle() << "] " << window.objectName()
          << " opened without a display and closed.\n";
    m_out.flush();
    window.close();
}
