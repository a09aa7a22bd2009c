#include "ResultWindows.h"
#include "component/ResultWindow.h"
#include "component/SavedResults.h"
#include "platform/LisError.h"
#include "screens/dialogs/frmReportViewer.h"
#include "screens/dialogs/frmSampleSearch.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/frmDownloaded.h"

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
