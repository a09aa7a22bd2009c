#include "host/HostCommands.h"
#include "host/Walkthrough.h"
#include "platform/ConsolePresenter.h"
#include "platform/LisError.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTextStream>
#include <memory>
#include <unistd.h>

// The thin host: creates the component by its ProgID, sets its properties
// and calls it, as a hospital information system would.
int main(int argc, char** argv)
{
    const QString command = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    // Only the windows need a display; the other commands run anywhere.
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
    std::unique_ptr<QCoreApplication> app;
    if (command == QLatin1String("walkthrough"))
        qputenv("QT_QPA_PLATFORM", "offscreen"); // it needs no display, wherever it runs
    // The chart is drawn with the GUI's painter.
    const bool drawsChart = command == QLatin1String("qc") && argc > 2 &&
                            QByteArray(argv[2]) == QByteArrayLiteral("chart");
    if (command == QLatin1String("open") || command == QLatin1String("walkthrough") || drawsChart)
        app = std::make_unique<QApplication>(argc, argv);
    else
        app = std::make_unique<QCoreApplication>(argc, argv);
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
        if (command == QLatin1String("open"))
            return HostCommands::open(args);
        if (command == QLatin1String("settings"))
            return HostCommands::settings(args, out);
        if (command == QLatin1String("connstr"))
            return HostCommands::connstr(args, out);
        if (command == QLatin1String("demo"))
            return HostCommands::demo(args, out);
        if (command == QLatin1String("query"))
            return HostCommands::query(args, out);
        if (command == QLatin1String("audit"))
            return HostCommands::audit(args, out);
        if (command == QLatin1String("option"))
            return HostCommands::option(args, out);
        if (command == QLatin1String("qc"))
            return HostCommands::qc(args, out);
        if (command == QLatin1String("server"))
            return HostCommands::server(args, out);
        if (command == QLatin1String("walkthrough")) {
            if (args.size() != 1)
                throw LisError(ErrNo::InvalidArgument,
                               QStringLiteral("walkthrough takes the folder for its pictures"));
            return Walkthrough::run(args.first(), out);
        }
        HostCommands::usage(command.isEmpty() || command == QLatin1String("--help") ? out : err);
        return command.isEmpty() || command == QLatin1String("--help") ? 0 : 2;
    } catch (const LisError& e) {
        out.flush();
        err << "Error " << e.number() << ": " << e.description() << "\n";
        return 1;
    }
}
