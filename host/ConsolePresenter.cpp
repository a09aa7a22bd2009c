#include "ConsolePresenter.h"
#include "LisError.h"

#include <QCoreApplication>
#include <QWidget>

MsgAnswer ConsolePresenter::message(const MessageRequest& request)
{
    const QString title =
        request.title.isEmpty() ? QCoreApplication::applicationName() : request.title;
    m_out << "[" << title << "] " << request.text << "\n";
    m_out.flush();
    return request.defaultAnswer;
}

void ConsolePresenter::showModal(QWidget& window)
{
    throw LisError(ErrNo::CannotCreateObject,
                   QStringLiteral("The window \"%1\" needs a display: run this command on a "
                                  "desktop or under xvfb-run.")
                       .arg(window.windowTitle()));
}
