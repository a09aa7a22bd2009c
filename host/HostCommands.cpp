#include "HostCommands.h"
#include "component/ConnSettings.h"
#include "component/ResultWindow.h"
#include "component/clsLISResultEntry.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/PgConnection.h"
#include "labserver/ServerImport.h"
#include "labserver/ServerSchema.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/LisError.h"
#include "platform/PrivateFiles.h"
#include "platform/SettingsStore.h"
#include "platform/db/Connection.h"
#include "screens/ResultWindows.h"

#include <QDir>
#include <QSqlDatabase>
#include <iostream>
#include <memory>
#include <string>
#include <termios.h>
#include <unistd.h>

void HostCommands::badUsage(const QString& why)
{
    throw LisError(ErrNo::InvalidArgument,
                   QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

QString HostCommands::componentConnection()
{
    return ConnSettings().connStr(4, QStringLiteral("LABORATORY"));
}

namespace {
using HostCommands::badUsage;
using HostCommands::componentConnection;

QString valueOf(const QStringList& args, qsizetype& i)
{
    if (i + 1 >= args.size())
        badUsage(QStringLiteral("%1 needs a value").arg(args.at(i)));
    return args.at(++i);
}

// One line from standard input; at a terminal, asked for without echo.
QString valueFromInput(const QString& key)
{
    const bool terminal = isatty(STDIN_FILENO) == 1;
    termios saved{};
    const bool quiet = terminal && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal)
        QTextStream(stderr) << key << ": " << Qt::flush;
    if (quiet) {
        termios noEcho = saved;
        noEcho.c_lflag &= ~tcflag_t(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &noEcho);
    }
    std::string line;
    const bool read = bool(std::getline(std::cin, line));
    if (quiet)
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    if (terminal)
        QTextStream(stderr) << "\n";
    if (!read)
        badUsage(QStringLiteral("settings set %1 without a value reads it from standard input, "
                                "which gave none")
                     .arg(key));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromStdString(line);
}

int integerOf(const QString& option, const QString& text, int low, int high)
{
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

void HostCommands::usage(QTextStream& out, const QString& command)
{
    // One entry a form of a sub-command; a continuation line starts with blanks.
    static const char* const forms[] = {
        "open REQUESTNUM [--verify] [--edit] [--entry-mode N] [--employee CODE]\n"
        "                [--employee-name NAME] [--clerk] [--supervisor ID] [--top T] [--left L]",
        "settings get APP SECTION KEY",
        "settings set APP SECTION KEY [VALUE]   (without VALUE: read from standard input)",
        "settings list",
        "connstr N [CATALOG]",
        "demo",
        "server init",
        "server import FOLDER",
        "query \"COMMAND TEXT\"",
        "audit REQUESTNUM | --check",
        "option [NAME on|off]",
        "walkthrough DIR",
        "qc add INSTRUMENT ITEM LOT VALUE [--at TIME] [--employee CODE]",
        "qc lot add INSTRUMENT ITEM MATERIAL LEVEL LOT EXPIRY [MEAN SD] [--unit U] [--ids ID,...]",
        "qc lot list [INSTRUMENT [ITEM]] | qc lot retire INSTRUMENT ITEM LOT",
        "qc rules ITEM RULE,... | qc action INSTRUMENT ITEM \"TEXT\"",
        "qc confirm REQUESTNUM ITEM --employee CODE | qc holds REQUESTNUM",
        "qc chart INSTRUMENT ITEM [--from DATE] [--to DATE] FILE.pdf|FILE.png",
    };
    QStringList lines;
    for (const char* form : forms) {
        const QString text = QString::fromUtf8(form);
        if (command.isEmpty() || text.section(QLatin1Char(' '), 0, 0) == command)
            lines << QStringLiteral("  lis-host ") + text;
    }
    // A sub-command this program does not have gets every form.
    if (lines.isEmpty())
        return usage(out);
    out << "Usage:\n" << lines.join(QLatin1Char('\n')) << "\n";
}

bool HostCommands::asksForHelp(const QStringList& args)
{
    return args.contains(QLatin1String("--help")) || args.contains(QLatin1String("-h"));
}

int HostCommands::open(const QStringList& args)
{
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
    ResultWindows::install();
    entry->Show_ResultEntry(args.at(0), top, left);
    return 0;
}

int HostCommands::settings(const QStringList& args, QTextStream& out)
{
    const QString verb = args.value(0);
    if (verb == QLatin1String("get") && args.size() == 4) {
        out << SettingsStore::get(args.at(1), args.at(2), args.at(3)) << "\n";
        return 0;
    }
    if (verb == QLatin1String("set") && args.size() == 5) {
        SettingsStore::set(args.at(1), args.at(2), args.at(3), args.at(4));
        return 0;
    }
    if (verb == QLatin1String("set") && args.size() == 4) {
        // A value on the command line is in the process list and the shell's
        // history: a password is typed at a prompt or piped in instead.
        SettingsStore::set(args.at(1), args.at(2), args.at(3), valueFromInput(args.at(3)));
        return 0;
    }
    if (verb == QLatin1String("list") && args.size() == 1) {
        out << "# " << SettingsStore::folder() << "\n";
        for (const SettingsStore::Entry& e : SettingsStore::all())
            out << e.application << "\t" << e.section << "\t" << e.key << "\t" << e.value << "\n";
        return 0;
    }
    badUsage(QStringLiteral("settings get APP SECTION KEY | set APP SECTION KEY [VALUE] | list"));
}

int HostCommands::connstr(const QStringList& args, QTextStream& out)
{
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

namespace {
// The laboratory the settings name, on a server; a folder is refused.
std::unique_ptr<LabStore> serverLaboratory(const QString& command)
{
    const ConnectionString cs = ConnectionString::parse(componentConnection());
    const ServerAddress a = ServerAddress::classify(cs.dataSource());
    if (a.isEmbedded())
        throw LisError(
            ErrNo::DbConnectionFailed,
            QStringLiteral("%1 works on a PostgreSQL server, and the Server setting "
                           "([Connection] in TARVIK Current User.ini) names the "
                           "embedded laboratory %2. Set Server to the server first.")
                .arg(command, a.text.isEmpty() ? EmbeddedDriver::defaultDataFolder() : a.text));
    return std::make_unique<LabStore>(cs);
}
} // namespace

int HostCommands::server(const QStringList& args, QTextStream& out)
{
    registerLabDrivers();
    if (args.value(0) == QLatin1String("init") && args.size() == 1) {
        const ConnectionString cs = ConnectionString::parse(componentConnection());
        const ServerAddress a = ServerAddress::classify(cs.dataSource());
        if (a.isEmbedded())
            serverLaboratory(QStringLiteral("server init")); // says why not
        // Closed and removed however init ends.
        const std::unique_ptr<QSqlDatabase, void (*)(QSqlDatabase*)> db(
            new QSqlDatabase(PgConnection::open(cs)), [](QSqlDatabase* d) {
                const QString name = d->connectionName();
                delete d;
                QSqlDatabase::removeDatabase(name);
            });
        QStringList notes;
        const int before = ServerSchema::init(*db, a.displayName(), &notes);
        const QString database = db->databaseName();
        const int now = LabStore::schemaVersion();
        out << "The laboratory database " << database << " on " << a.displayName() << " is at "
            << "schema version " << now << ": "
            << (before == 0     ? QStringLiteral("made.")
                : before == now ? QStringLiteral("it was already; nothing changed.")
                                : QStringLiteral("upgraded from version %1.").arg(before))
            << "\n";
        for (const QString& note : notes)
            out << note << "\n";
        return 0;
    }
    if (args.value(0) == QLatin1String("import") && args.size() == 2) {
        const QString folder = QDir::cleanPath(args.at(1));
        auto server = serverLaboratory(QStringLiteral("server import"));
        const ServerImport::Summary s = ServerImport::run(folder, *server);
        out << "Copied " << s.rows << (s.rows == 1 ? " row" : " rows") << " of " << s.tables
            << " tables from " << QDir::toNativeSeparators(folder) << " into the laboratory on "
            << server->where() << ".\n";
        return 0;
    }
    badUsage(QStringLiteral("server init | server import FOLDER"));
}

int HostCommands::demo(const QStringList& args, QTextStream& out)
{
    if (!args.isEmpty())
        badUsage(QStringLiteral("demo takes no arguments"));
    registerLabDrivers();
    const ConnectionString cs = ConnectionString::parse(componentConnection());
    const bool embedded = EmbeddedDriver().accepts(cs);
    QString folder = cs.dataSource().trimmed();
    if (folder.isEmpty() || !embedded)
        folder = EmbeddedDriver::defaultDataFolder();
    QString where = folder;
    DemoLaboratory::Summary demo;
    if (embedded) {
        // Opening the connection creates the folder and the database on first use.
        Connection db;
        db.open(cs.text());
        db.close();
        demo = DemoLaboratory::build(folder, DemoLaboratory::dayAt(Clock::now()));
    } else {
        auto server = serverLaboratory(QStringLiteral("demo"));
        where = server->where();
        demo = DemoLaboratory::build(*server, DemoLaboratory::dayAt(Clock::now()));
        // The direct prints still go to this workstation's data folder.
        if (!PrivateFiles::makeFolder(folder))
            throw LisError(ErrNo::DbConnectionFailed,
                           QStringLiteral("The data folder %1 cannot be created.").arg(folder));
    }
    SettingsStore::set(QStringLiteral("TarvikInstrumentID"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), demo.instrumentId);
    SettingsStore::set(QStringLiteral("TarvikInstrumentname"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), demo.instrumentName);
    // Direct prints of the demo land as PDF files beside its data, unless
    // this workstation has a printer set already.
    const QString user = QStringLiteral("TARVIK Current User");
    if (SettingsStore::get(user, QStringLiteral("Laboratory"), QStringLiteral("Printer"))
            .isEmpty()) {
        const QString reports = QDir(folder).filePath(QStringLiteral("reports"));
        PrivateFiles::makeFolder(reports);
        SettingsStore::set(user, QStringLiteral("Laboratory"), QStringLiteral("Printer"), reports);
    }

    out << "Demo laboratory in " << (embedded ? QDir::toNativeSeparators(folder) : where) << "\n";
    out << "This workstation's instrument: " << demo.instrumentId << " (" << demo.instrumentName
        << "), samples downloaded " << Clock::today().toString(QStringLiteral("MM/dd/yyyy"))
        << "\n\n";
    for (const DemoLaboratory::Request& r : demo.requests) {
        const QString window = resultWindowName(chooseResultWindow(r.formType, r.valueType));
        out << qSetFieldWidth(8) << Qt::left << r.requestNum << qSetFieldWidth(16)
            << (window.isEmpty() ? QStringLiteral("no window") : window) << qSetFieldWidth(0)
            << r.exam << " for " << r.patient << " (form " << r.formType
            << (r.valueType.isEmpty() ? QString() : QLatin1Char('/') + r.valueType) << ")";
        if (!r.note.isEmpty())
            out << ": " << r.note;
        out << "\n";
    }
    return 0;
}

int HostCommands::query(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1)
        badUsage(QStringLiteral("query takes one command text, in quotes"));
    registerLabDrivers();
    Connection db;
    db.open(componentConnection());
    auto rs = db.openRecordset(args.first(), CursorOptions::clientDynamic());
    if (rs->fieldCount() == 0) {
        out << "done\n";
        return 0;
    }
    const ResultSet& data = rs->data();
    out << data.columns.join(QLatin1Char('\t')) << "\n";
    for (const QVariantList& row : data.rows) {
        QStringList cells;
        for (const QVariant& v : row)
            cells << (v.isNull() ? QStringLiteral("NULL") : Recordset::toText(v));
        out << cells.join(QLatin1Char('\t')) << "\n";
    }
    out << "(" << data.rows.size() << (data.rows.size() == 1 ? " row)\n" : " rows)\n");
    return 0;
}
