#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <memory>

// Every test program works in a scratch folder it makes itself, with its
// settings and data folders inside, whatever the shell's LIS_CONFIG_DIR and
// LIS_DATA_DIR name: a test run by hand never sees or touches a
// workstation's real settings or laboratory. The folder goes when the
// program ends (also through exit(), as -functions does), unless
// LIS_TEST_KEEP asks to keep it for a look.
namespace {
std::unique_ptr<QTemporaryDir> scratch;

void freshScratch()
{
    const QString parent = qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath());
    QDir().mkpath(parent);
    scratch = std::make_unique<QTemporaryDir>(parent + QStringLiteral("/run-XXXXXX"));
    if (!scratch->isValid())
        qFatal("No scratch folder can be made in %s", qPrintable(parent));
    scratch->setAutoRemove(qEnvironmentVariableIsEmpty("LIS_TEST_KEEP"));
    const QString root = scratch->path();
    qputenv("LIS_TEST_SCRATCH", root.toLocal8Bit());
    qputenv("LIS_CONFIG_DIR", (root + QStringLiteral("/config")).toLocal8Bit());
    qputenv("LIS_DATA_DIR", (root + QStringLiteral("/data")).toLocal8Bit());
    qunsetenv("LIS_TRACE_COMMANDS");
}
} // namespace
Q_COREAPP_STARTUP_FUNCTION(freshScratch)
