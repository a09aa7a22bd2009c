#include "ResultWindows.h"
#include "LisError.h"
#include "ResultWindow.h"
#include "SavedResults.h"
#include "frmDownloaded.h"
#include "frmReportViewer.h"
#include "frmSampleSearch.h"

namespace {
class Factory : public ResultWindowFactory {
public:
    std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override
    {
        if (kind == ResultWindowKind::Downloaded)
            return std::make_unique<frmDownloaded>();
        throw LisError(ErrNo::CannotCreateObject,
                       QStringLiteral("The %1 window is not part of this build yet.")
                           .arg(resultWindowName(kind)));
    }
};
} // namespace

void ResultWindows::install()
{
    static Factory factory;
    ResultWindowFactory::install(&factory);
    installSampleSearchDialog([] { return std::make_unique<frmSampleSearch>(); });
    installReportViewer([] { return std::make_unique<frmReportViewer>(); });
}
