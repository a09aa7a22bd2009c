#include "ResultWindows.h"
#include "LisError.h"
#include "ResultWindow.h"
#include "SavedResults.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"
#include "frmReportViewer.h"
#include "frmSampleSearch.h"

namespace {
class Factory : public ResultWindowFactory {
public:
    std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override
    {
        if (kind == ResultWindowKind::Downloaded)
            return std::make_unique<frmDownloaded>();
        if (kind == ResultWindowKind::NVDownloads)
            return std::make_unique<frmNVDownloads>();
        throw LisError(ErrNo::CannotCreateObject, QStringLiteral("No result window fits."));
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
