#include "ResultWindow.h"
#include "platform/LisError.h"

ResultWindow::~ResultWindow() = default;
ResultWindowFactory::~ResultWindowFactory() = default;

QString resultWindowName(ResultWindowKind kind)
{
    switch (kind) {
    case ResultWindowKind::Downloaded:
        return QStringLiteral("frmDownloaded");
    case ResultWindowKind::NVDownloads:
        return QStringLiteral("frmNVDownloads");
    case ResultWindowKind::None:
        break;
    }
    return QString();
}

namespace {
ResultWindowFactory*& installed()
{
    static ResultWindowFactory* f = nullptr;
    return f;
}
} // namespace

void ResultWindowFactory::install(ResultWindowFactory* factory)
{
    installed() = factory;
}

ResultWindowFactory& ResultWindowFactory::current()
{
    if (!installed())
        throw LisError(ErrNo::CannotCreateObject,
                       QStringLiteral("No result window is installed in this program."));
    return *installed();
}
