#include <QCoreApplication>
#include <QDir>

// Every test program starts with empty settings and data folders, so no
// run sees what an earlier run left behind, and with its scratch folder.
static void freshScratch()
{
    for (const char* var : {"LIS_CONFIG_DIR", "LIS_DATA_DIR"}) {
        const QString dir = qEnvironmentVariable(var);
        if (!dir.isEmpty())
            QDir(dir).removeRecursively();
    }
    QDir().mkpath(qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath()));
}
Q_COREAPP_STARTUP_FUNCTION(freshScratch)
