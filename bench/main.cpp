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
    benchSave(out, {10, 100, 200, 1000});
    return 0;
}
