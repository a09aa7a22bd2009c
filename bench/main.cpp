#include "bench/EngineBench.h"
#include "bench/Figures.h"
#include "bench/InstrumentBench.h"
#include "bench/QcBench.h"
#include "bench/SaveBench.h"
#include "screens/ResultWindows.h"

#include <QApplication>
#include <QCoreApplication>
#include <QTextStream>
#include <algorithm>

// Benchmarks: each figure beside a baseline measured in the same run.
// Names given on the command line (commands, opening, checks, save, takeover,
// reports, start, engine-reads, engine-save, workstations, history,
// instruments, qc) run only those
// figures, e.g. under callgrind. "workstation ..." is this program re-run
// as one workstation of the concurrency figure.
int main(int argc, char** argv)
{
    if (argc > 1 && qstrcmp(argv[1], "workstation") == 0) {
        QCoreApplication app(argc, argv);
        return runWorkstation(app.arguments().mid(1));
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ResultWindows::install();
    QStringList wanted = app.arguments().mid(1);
    const QStringList known = {
        "commands",     "opening",     "checks",       "save",    "takeover",    "reports", "start",
        "engine-reads", "engine-save", "workstations", "history", "instruments", "qc"};
    for (const QString& name : wanted) {
        if (!known.contains(name)) {
            QTextStream(stderr) << "lis-bench: no figure named " << name << "; the figures are "
                                << known.join(QStringLiteral(", ")) << "\n";
            return 2;
        }
    }
    if (wanted.isEmpty())
        wanted = known;
    QTextStream out(stdout);
    out << "Figures in milliseconds on this machine, each beside its baseline from this run.\n\n";
    if (wanted.contains(QStringLiteral("commands")))
        benchCommands(out);
    if (wanted.contains(QStringLiteral("opening")))
        benchOpening(out);
    if (wanted.contains(QStringLiteral("checks")))
        benchChecks(out);
    if (wanted.contains(QStringLiteral("save")))
        benchSave(out, {10, 100, 200, 1000});
    if (wanted.contains(QStringLiteral("takeover")))
        benchTakeOver(out);
    if (wanted.contains(QStringLiteral("reports")))
        benchReports(out);
    if (wanted.contains(QStringLiteral("start")))
        benchProcessStart(out,
                          QCoreApplication::applicationDirPath() + QStringLiteral("/lis-host"));
    if (wanted.contains(QStringLiteral("instruments")))
        benchInstruments(out);
    if (wanted.contains(QStringLiteral("qc")))
        benchQualityControl(out);
    const QStringList engines = {QStringLiteral("engine-reads"), QStringLiteral("engine-save"),
                                 QStringLiteral("workstations"), QStringLiteral("history")};
    if (std::any_of(engines.begin(), engines.end(),
                    [&](const QString& name) { return wanted.contains(name); }))
        benchEngines(out, wanted, QCoreApplication::applicationFilePath());
    return 0;
}
