#include "Figures.h"
#include "ResultWindows.h"
#include "SaveBench.h"

#include <QApplication>
#include <QTextStream>

// Benchmarks: each figure beside a baseline measured in the same run.
// Names given on the command line (commands, opening, save, takeover,
// reports, start) run only those figures, e.g. under callgrind.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ResultWindows::install();
    QStringList wanted = app.arguments().mid(1);
    const QStringList known = {"commands", "opening", "save", "takeover", "reports", "start"};
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
    if (wanted.contains(QStringLiteral("save")))
        benchSave(out, {10, 100, 200, 1000});
    if (wanted.contains(QStringLiteral("takeover")))
        benchTakeOver(out);
    if (wanted.contains(QStringLiteral("reports")))
        benchReports(out);
    if (wanted.contains(QStringLiteral("start")))
        benchProcessStart(out,
                          QCoreApplication::applicationDirPath() + QStringLiteral("/lis-host"));
    return 0;
}
