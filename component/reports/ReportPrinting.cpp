#include "ReportPrinting.h"
#include "component/SavedResults.h"
#include "component/modMain.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/SettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <dlfcn.h>
#include <link.h>

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
            throw LisError(ErrNo::InvalidArgument,
                           QStringLiteral("Invalid procedure call or argument: the table "
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

namespace {
// The file the component's code was loaded from, symlinks and merged-/usr
// aliases resolved: the shared library, or the program it is linked into
// (whose name as loaded may be a bare name found through PATH).
QString componentFile()
{
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<void*>(&reportFolder), &info, reinterpret_cast<void**>(&map),
                RTLD_DL_LINKMAP) == 0)
        return QString();
    const bool program = !map || !map->l_name || !*map->l_name;
    const QString path =
        program ? QStringLiteral("/proc/self/exe") : QString::fromLocal8Bit(info.dli_fname);
    return QFileInfo(path).canonicalFilePath();
}

bool holdsReports(const QString& folder)
{
    return !folder.isEmpty() &&
           !QDir(folder).entryList({QStringLiteral("*.RPT")}, QDir::Files).isEmpty();
}
} // namespace

QString reportFolder()
{
    // Installed, the reports are in the data folder beside the library's
    // (or program's) own folder; in the build tree, beside the programs. The
    // install prefix comes last: a build tree must not pick up an older
    // installation's reports.
    static const QString folder = [] {
        const QString self = componentFile();
        QStringList candidates;
        if (!self.isEmpty()) {
            const QString dir = QFileInfo(self).absolutePath();
            for (const char* up :
                 {"/../share/lis-result-entry/reports", "/../../share/lis-result-entry/reports"})
                candidates << QDir::cleanPath(dir + QLatin1String(up));
            candidates << dir;
        }
        const QString program = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
        if (!program.isEmpty())
            candidates << QFileInfo(program).absolutePath();
#ifdef LIS_INSTALL_REPORTS
        candidates << QStringLiteral(LIS_INSTALL_REPORTS);
#endif
        for (const QString& c : candidates)
            if (holdsReports(c))
                return c;
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
        throw LisError(ErrNo::ObjectNotSet,
                       QStringLiteral("Object variable or With block variable not set: no "
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
        // In item order, so the command text is the same at every preview.
        QStringList items = numbers.keys();
        items.sort();
        s.PreviewedChangeNumbers = ChangeNumberList(numbers, items);
    }
    std::unique_ptr<ReportViewer> viewer = viewerMaker()();
    viewer->set_WithVerification(WithVerification);
    viewer->set_ShowGroupTree(ShowGroupTree);
    viewer->setCaption(Caption);
    viewer->set_DirectPrint(false);
    viewer->showModal();
}
