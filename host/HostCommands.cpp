#include "HostCommands.h"
#include "ConnSettings.h"
#include "DescribingWindowFactory.h"
#include "LisError.h"
#include "SettingsStore.h"
#include "clsLISResultEntry.h"

namespace {
[[noreturn]] void badUsage(const QString& why) {
    throw LisError(5, QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

QString valueOf(const QStringList& args, qsizetype& i) {
    if (i + 1 >= args.size())
        badUsage(QStringLiteral("%1 needs a value").arg(args.at(i)));
    return args.at(++i);
}

int integerOf(const QString& option, const QString& text, int low, int high) {
    bool ok = false;
    const int v = text.toInt(&ok);
    if (!ok || v < low || v > high)
        badUsage(QStringLiteral("%1 takes a whole number from %2 to %3, not \"%4\"")
                     .arg(option)
                     .arg(low)
                     .arg(high)
                     .arg(text));
    return v;
}
} // namespace

void HostCommands::usage(QTextStream& out) {
    out << "Usage:\n"
           "  lis-host open REQUESTNUM [--verify] [--edit] [--entry-mode N] [--employee CODE]\n"
           "                [--employee-name NAME] [--clerk] [--supervisor ID] [--top T] "
           "[--left L]\n"
           "  lis-host settings get APP SECTION KEY\n"
           "  lis-host settings set APP SECTION KEY VALUE\n"
           "  lis-host settings list\n"
           "  lis-host connstr N [CATALOG]\n";
}

int HostCommands::open(const QStringList& args, QTextStream& out) {
    if (args.isEmpty())
        badUsage(QStringLiteral("open needs a request number"));
    auto entry = CreateObjectAs<clsLISResultEntry>(QLatin1String(clsLISResultEntry::kProgId));
    std::optional<qint16> top;
    std::optional<QVariant> left;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--verify"))
            entry->VerifyMode(true);
        else if (a == QLatin1String("--edit"))
            entry->EditMode(true);
        else if (a == QLatin1String("--clerk"))
            entry->Clerk(true);
        else if (a == QLatin1String("--entry-mode"))
            entry->EntryMode(qint16(integerOf(a, valueOf(args, i), -32768, 32767)));
        else if (a == QLatin1String("--employee"))
            entry->EmployeeCode(valueOf(args, i));
        else if (a == QLatin1String("--employee-name"))
            entry->EmployeeName(valueOf(args, i));
        else if (a == QLatin1String("--supervisor"))
            entry->SupervisorId(valueOf(args, i));
        else if (a == QLatin1String("--top"))
            top = qint16(integerOf(a, valueOf(args, i), -32768, 32767));
        else if (a == QLatin1String("--left"))
            left = QVariant(valueOf(args, i));
        else
            badUsage(QStringLiteral("unknown option %1").arg(a));
    }
    DescribingWindowFactory windows(out);
    ResultWindowFactory::install(&windows);
    const std::unique_ptr<ResultWindowFactory, void (*)(ResultWindowFactory*)> uninstall(
        &windows, [](ResultWindowFactory*) { ResultWindowFactory::install(nullptr); });
    entry->Show_ResultEntry(args.at(0), top, left);
    return 0;
}

int HostCommands::settings(const QStringList& args, QTextStream& out) {
    const QString verb = args.value(0);
    if (verb == QLatin1String("get") && args.size() == 4) {
        out << SettingsStore::get(args.at(1), args.at(2), args.at(3)) << "\n";
        return 0;
    }
    if (verb == QLatin1String("set") && args.size() == 5) {
        SettingsStore::set(args.at(1), args.at(2), args.at(3), args.at(4));
        return 0;
    }
    if (verb == QLatin1String("list") && args.size() == 1) {
        out << "# " << SettingsStore::folder() << "\n";
        for (const SettingsStore::Entry& e : SettingsStore::all())
            out << e.application << "\t" << e.section << "\t" << e.key << "\t" << e.value << "\n";
        return 0;
    }
    badUsage(QStringLiteral("settings get APP SECTION KEY | set APP SECTION KEY VALUE | list"));
}

int HostCommands::connstr(const QStringList& args, QTextStream& out) {
    if (args.isEmpty() || args.size() > 2)
        badUsage(QStringLiteral("connstr N [CATALOG]"));
    auto settings = CreateObjectAs<ConnSettings>(QLatin1String(ConnSettings::kProgId));
    bool ok = false;
    const int n = args.at(0).toInt(&ok);
    if (!ok)
        badUsage(QStringLiteral("connstr takes a whole number, not \"%1\"").arg(args.at(0)));
    out << settings->connStr(n, args.value(1)) << "\n";
    return 0;
}
