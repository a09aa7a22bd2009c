#include "host/HostCommands.h"
#include "host/Walkthrough.h"
#include "platform/ConsolePresenter.h"
#include "platform/LisError.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <memory>
#include <utility>
#include <unistd.h>

// The thin host: creates the component by its ProgID, sets its properties
// and calls it, as a hospital information system would.
namespace {
// Only the windows need a display; the other commands run anywhere.
void prepareEnvironment(const QString& command)
{
    const bool headless = qEnvironmentVariableIsEmpty("DISPLAY") &&
                          qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
                          qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    if (headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        // Services run without a login session; give Qt the private runtime
        // folder it would otherwise warn about.
        const QByteArray runtime =
            QDir::tempPath().toLocal8Bit() + "/runtime-" + QByteArray::number(uint(getuid()));
        QDir().mkpath(QString::fromLocal8Bit(runtime));
        QFile::setPermissions(QString::fromLocal8Bit(runtime), QFileDevice::ReadOwner |
                                                                   QFileDevice::WriteOwner |
                                                                   QFileDevice::ExeOwner);
        qputenv("XDG_RUNTIME_DIR", runtime);
    }
    if (command == QLatin1String("walkthrough"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // it needs no display, wherever it runs
}

std::unique_ptr<QCoreApplication> makeApplication(int& argc, char** argv, const QString& command)
{
    // The chart is drawn with the GUI's painter.
    const bool drawsChart = command == QLatin1String("qc") && argc > 2 &&
                            QByteArray(argv[2]) == QByteArrayLiteral("chart");
    if (command == QLatin1String("open") || command == QLatin1String("walkthrough") || drawsChart)
        return std::make_unique<QApplication>(argc, argv);
    return std::make_unique<QCoreApplication>(argc, argv);
}

int openWindow(const QStringList& args, QTextStream&)
{
    return HostCommands::open(args);
}

int walkthrough(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("walkthrough takes the folder for its pictures"));
    return Walkthrough::run(args.first(), out);
}

using Command = int (*)(const QStringList&, QTextStream&);
const std::pair<QLatin1StringView, Command> kCommands[] = {
    {QLatin1StringView("open"), openWindow},
    {QLatin1StringView("settings"), HostCommands::settings},
    {QLatin1StringView("connstr"), HostCommands::connstr},
    {QLatin1StringView("demo"), HostCommands::demo},
    {QLatin1StringView("query"), HostCommands::query},
    {QLatin1StringView("audit"), HostCommands::audit},
    {QLatin1StringView("option"), HostCommands::option},
    {QLatin1StringView("qc"), HostCommands::qc},
    {QLatin1StringView("server"), HostCommands::server},
    {QLatin1StringView("walkthrough"), walkthrough},
};

int runCommand(const QString& command, const QStringList& args, QTextStream& out,
               QTextStream& err)
{
    for (const auto& [name, run] : kCommands)
        if (command == name)
            return run(args, out);
    const bool asked = command.isEmpty() || command == QLatin1String("--help");
    HostCommands::usage(asked ? out : err);
    return asked ? 0 : 2;
}
} // namespace

int main(int argc, char** argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    prepareEnvironment(command);
    const std::unique_ptr<QCoreApplication> app = makeApplication(argc, argv, command);
    QCoreApplication::setApplicationName(QStringLiteral("Laboratory Result Entry"));

    QStringList args = QCoreApplication::arguments().mid(2);
    QTextStream out(stdout);
    QTextStream err(stderr);
    ConsolePresenter console(out);
    const bool offscreen = qEnvironmentVariable("QT_QPA_PLATFORM") == QLatin1String("offscreen");
    if (offscreen)
        Presenter::install(&console);
    if (!command.isEmpty() && command != QLatin1String("--help") &&
        HostCommands::asksForHelp(args)) {
        HostCommands::usage(out, command);
        return 0;
    }
    try {
        return runCommand(command, args, out, err);
    } catch (const LisError& e) {
        out.flush();
        err << "Error " << e.number() << ": " << e.description() << "\n";
        return 1;
    }
}
