#include "Figures.h"
#include "ResultWindows.h"
#include "SaveBench.h"

#include <QApplication>
#include <QTextStream>

// Benchmarks: each figure beside a baseline measured in the same run.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ResultWindows::install();
    QTextStream out(stdout);
    out << "Figures in milliseconds on this machine, each beside its baseline from this run.\n\n";
    benchCommands(out);
    benchOpening(out);
    benchSave(out, {10, 100, 200, 1000});
    benchTakeOver(out);
    benchReports(out);
    benchProcessStart(out, QCoreApplication::applicationDirPath() + QStringLiteral("/lis-host"));
    return 0;
}
