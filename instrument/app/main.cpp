#include "instrument/app/InstrumentCommands.h"
#include "platform/LisError.h"

#include <QCoreApplication>
#include <QTextStream>

// The interface process between analysers and the laboratory: it receives
// their results and stores them where the result windows find them.
int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Laboratory Instrument Interface"));
    const QStringList all = QCoreApplication::arguments();
    const QString command = all.value(1);
    const QStringList args = all.mid(2);
    QTextStream out(stdout);
    QTextStream err(stderr);
    try {
        if (command == QLatin1String("listen"))
            return InstrumentCommands::listen(args, out);
        if (command == QLatin1String("serial"))
            return InstrumentCommands::serial(args, out);
        if (command == QLatin1String("import"))
            return InstrumentCommands::importFile(args, out);
        if (command == QLatin1String("serve"))
            return InstrumentCommands::serve(args, out);
        if (command == QLatin1String("held"))
            return InstrumentCommands::held(args, out);
        if (command == QLatin1String("map"))
            return InstrumentCommands::map(args, out);
        if (command == QLatin1String("replay"))
            return InstrumentCommands::replay(args, out);
        if (command == QLatin1String("status"))
            return InstrumentCommands::status(args, out);
        const bool help = command.isEmpty() || command == QLatin1String("--help");
        InstrumentCommands::usage(help ? out : err);
        return help ? 0 : 2;
    } catch (const LisError& e) {
        out.flush();
        err << "Error " << e.number() << ": " << e.description() << "\n";
        return 1;
    }
}
