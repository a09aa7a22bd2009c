#include "ResultWindow.h"
#include "LisError.h"

ResultWindow::~ResultWindow() = default;
ResultWindowFactory::~ResultWindowFactory() = default;

ResultWindowKind chooseResultWindow(const QString& formType, const QString& valueType)
{
    // Exact, case-sensitive comparisons: "h" is no format.
    const auto in = [](const QString& v, std::initializer_list<const char*> set) {
        for (const char* s : set)
            if (v == QLatin1String(s))
                return true;
        return false;
    };
    if (formType == QLatin1String("H")) {
        if (in(valueType, {"Z", "5", "W"}))
            return ResultWindowKind::Downloaded;
        if (in(valueType, {"1", "7", "8", "B"}))
            return ResultWindowKind::NVDownloads;
        return ResultWindowKind::None;
    }
    if (in(formType, {"5", "W"}))
        return ResultWindowKind::Downloaded;
    if (in(formType, {"1", "7", "8", "B"}))
        return ResultWindowKind::NVDownloads;
    return ResultWindowKind::None;
}

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
