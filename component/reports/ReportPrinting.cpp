#include "ReportPrinting.h"
#include "SavedResults.h"
#include "LisError.h"
#include "Presenter.h"
#include "SettingsStore.h"
#include "modMain.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <dlfcn.h>

ReportViewer::~ReportViewer() = default;

namespace {
std::function<std::unique_ptr<ReportViewer>()>& viewerMaker()
{
    static std::function<std::unique_ptr<ReportViewer>()> make;
    return make;
}

void configure(Report& report, const QString& database, const QVariantList& values)
{
    const SessionState& s = session();
    const int n = int(values.size()) - 1;
    report.setHeaderText(s.HeaderCompany);
    for (ReportTable& t : report.tables()) {
        const QString location = t.location;
        const qsizetype dot = location.indexOf(QLatin1Char('.'));
        if (dot < 0)
            throw LisError(5, QStringLiteral("Invalid procedure call or argument: the table "
                                             "location \"%1\" names no database.")
                                  .arg(location));
        t.location = database + location.mid(dot);
        t.setLogOnInfo(s.DbServer, database, s.DbUser, s.DbPassword);
    }
    if (n >= 0) {
        int i = 0;
        for (ReportParameter& p : report.parameterFields()) {
            if (i > n)
                break;
            p.addCurrentValue(values.at(i));
            ++i;
        }
    }
}
} // namespace

void installReportViewer(std::function<std::unique_ptr<ReportViewer>()> make)
{
    viewerMaker() = std::move(make);
}

QString reportFolder()
{
    // The component's own program file is the shared library (or the
    // program it is linked into): installed, its reports are in the data
    // folder beside it; in the build tree, beside the programs.
    static const QString folder = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<void*>(&reportFolder), &info) != 0 && info.dli_fname) {
            const QFileInfo self(QString::fromLocal8Bit(info.dli_fname));
            for (const char* up : {"/../share/lis-result-entry/reports",
                                   "/../../share/lis-result-entry/reports"}) {
                const QString installed =
                    QDir::cleanPath(self.absolutePath() + QLatin1String(up));
                if (QFileInfo(installed).isDir())
                    return installed;
            }
        }
        return QCoreApplication::applicationDirPath();
    }();
    return folder;
}

void OpenReportWithLogOn(const QString& ReportPath, const QString& DatabaseName,
                         const QVariantList& Values)
{
    SessionState& s = session();
    s.CurrentReport.reset();
    s.CurrentReport = Report::open(ReportPath);
    configure(*s.CurrentReport, DatabaseName, Values);
}

void ConfigureSubreport(const QString& SubreportName, const QString& DatabaseName,
                        const QVariantList& Values)
{
    SessionState& s = session();
    if (!s.CurrentReport)
        throw LisError(91, QStringLiteral("Object variable or With block variable not set: no "
                                          "report is open."));
    configure(s.CurrentReport->openSubreport(SubreportName), DatabaseName, Values);
}

void PrintOrPreview(bool ShowGroupTree, const QString& Caption, bool DirectPrint,
                    bool WithVerification)
{
    SessionState& s = session();
    if (!s.CurrentReport)
        return; // nothing to print or show
    if (DirectPrint) {
        s.CurrentReport->setPromptBeforePrint(false);
        const QString request = s.RequestNum.trimmed();
        const QString where = s.CurrentReport->printOut(
            SettingsStore::get(QStringLiteral("TARVIK Current User"), QStringLiteral("Laboratory"),
                               QStringLiteral("Printer")),
            request);
        s.CurrentReport.reset();
        // A PDF lands in a folder nobody is looking at: say which file it is.
        // printOut answers a PDF's path, always ending in .pdf, or a printer's
        // name; paper in a printer needs no word.
        if (where.endsWith(QStringLiteral(".pdf"), Qt::CaseInsensitive)) {
            const QString report = request.isEmpty()
                                       ? QStringLiteral("The result report")
                                       : QStringLiteral("The result report of %1").arg(request);
            msgBox(QStringLiteral("%1 was written to %2.").arg(report, where),
                   QStringLiteral("Open the file to read or print it. Direct prints go to a "
                                  "printer once the Printer setting (TARVIK Current User, "
                                  "Laboratory) names one."),
                   MsgIcon::Information);
        }
        return;
    }
    if (!viewerMaker())
        throw LisError(ErrNo::CannotCreateObject, QStringLiteral("No report viewer is installed."));
    s.PreviewedChangeNumbers.clear();
    if (WithVerification && s.LabDb) {
        // What the preview shows is what its verification verifies.
        const QHash<QString, QString> numbers = ResultChangeNumbers(*s.LabDb, s.RequestNum);
        s.PreviewedChangeNumbers = ChangeNumberList(numbers, numbers.keys());
    }
    std::unique_ptr<ReportViewer> viewer = viewerMaker()();
    viewer->set_WithVerification(WithVerification);
    viewer->set_ShowGroupTree(ShowGroupTree);
    viewer->setCaption(Caption);
    viewer->set_DirectPrint(false);
    viewer->showModal();
}
