// Administration of the laboratory's own records: the audit trail of a
// request's results and the laboratory-wide options.
#include "host/HostCommands.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "platform/CommandText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/db/Recordset.h"
#include "platform/db/ScopedTransaction.h"

namespace {
using HostCommands::badUsage;
using HostCommands::componentConnection;

struct Option {
    QString name;
    QString whenOn;
    QString whenOff;
};

// The options the laboratory knows, with what each state means.
const QList<Option>& knownOptions()
{
    static const QList<Option> options = {
        {QStringLiteral("SeparateVerifier"),
         QStringLiteral("verification by whoever entered a result is refused"),
         QStringLiteral("whoever entered a result may also verify it")},
    };
    return options;
}

// On a server the grants decide; asked first, so the refusal says who may.
void requireAdministrator(LabStore& store)
{
    if (store.engine() != Engine::PostgreSQL ||
        store
            .query(QStringLiteral("SELECT has_table_privilege('laboratory.tbLabOption', "
                                  "'INSERT') AND has_table_privilege('laboratory.tbLabOption', "
                                  "'DELETE')"))
            .rows.value(0)
            .value(0)
            .toBool())
        return;
    throw LisError(ErrNo::DbCommandFailed,
                   QStringLiteral("The laboratory's options on %1 are changed only by its "
                                  "administrator (a login in the role %2); this login may read "
                                  "them. Nothing was changed.")
                       .arg(store.where(), QLatin1String(ServerSchema::kAdministratorRole)));
}
} // namespace

int HostCommands::audit(const QStringList& args, QTextStream& out)
{
    if (args.size() != 1 || args.first().trimmed().isEmpty())
        badUsage(QStringLiteral("audit takes one request number, or --check"));
    registerLabDrivers();
    Connection db;
    db.open(componentConnection());
    if (args.first() == QLatin1String("--check")) {
        auto chain =
            db.openRecordset(QStringLiteral("Lab_CheckAuditTrail"), CursorOptions::clientDynamic());
        const QString broken = chain->text(QStringLiteral("BrokenAt"));
        if (broken != QLatin1String("0")) {
            out << "The audit trail is broken at row " << broken
                << ": that row or one before it was changed or removed after it was written.\n";
            return 1;
        }
        out << "The audit trail holds: " << chain->text(QStringLiteral("Rows"))
            << " rows, each following from the one before.\n";
        return 0;
    }
    const QString req = args.first().trimmed();
    auto rs = db.openRecordset(CommandText::call(QStringLiteral("Lab_GetAuditTrail"), {req}),
                               CursorOptions::clientDynamic());
    const ResultSet& data = rs->data();
    if (data.rows.isEmpty()) {
        out << "No change to the results of request " << req << " is recorded.\n";
        return 0;
    }
    QList<QStringList> lines = {{QStringLiteral("When"), QStringLiteral("Item"),
                                 QStringLiteral("What"), QStringLiteral("Was"),
                                 QStringLiteral("Now"), QStringLiteral("By"),
                                 QStringLiteral("Workstation"), QStringLiteral("Note")}};
    for (const QVariantList& r : data.rows) {
        QStringList cells;
        for (const QVariant& v : r)
            cells << (v.isNull() ? QString() : Recordset::toText(v));
        lines << cells;
    }
    QList<qsizetype> widths(lines.first().size(), 0);
    for (const QStringList& l : lines)
        for (qsizetype c = 0; c < l.size() && c < widths.size(); ++c)
            widths[c] = std::max(widths[c], l[c].size());
    out << "Audit trail of request " << req << "\n";
    for (const QStringList& l : lines) {
        QString line;
        for (qsizetype c = 0; c < l.size() && c < widths.size(); ++c)
            line += c + 1 == l.size() ? l[c] : l[c].leftJustified(widths[c] + 2);
        out << line << "\n";
    }
    return 0;
}

int HostCommands::option(const QStringList& args, QTextStream& out)
{
    if (args.size() != 0 && args.size() != 2)
        badUsage(QStringLiteral("option [NAME on|off]"));
    registerLabDrivers();
    const auto store = openLaboratory(ConnectionString::parse(componentConnection()));
    if (args.size() == 2) {
        const auto known =
            std::find_if(knownOptions().begin(), knownOptions().end(), [&](const auto& o) {
                return o.name.compare(args[0], Qt::CaseInsensitive) == 0;
            });
        if (known == knownOptions().end())
            badUsage(QStringLiteral("the laboratory has no option \"%1\"").arg(args[0]));
        const QString value = args[1].toLower();
        if (value != QLatin1String("on") && value != QLatin1String("off"))
            badUsage(QStringLiteral("an option is on or off, not \"%1\"").arg(args[1]));
        requireAdministrator(*store);
        ScopedTransaction transaction(*store);
        store->exec(QStringLiteral("DELETE FROM tbLabOption WHERE Name = ?"), {known->name});
        store->exec(QStringLiteral("INSERT INTO tbLabOption (Name, Value) VALUES (?, ?)"),
                    {known->name,
                     value == QLatin1String("on") ? QStringLiteral("Y") : QStringLiteral("N")});
        transaction.commit();
    }
    for (const Option& o : knownOptions()) {
        const bool on =
            store->query(QStringLiteral("SELECT Value FROM tbLabOption WHERE Name = ?"), {o.name})
                .rows.value(0)
                .value(0)
                .toString() == QLatin1String("Y");
        out << o.name << " " << (on ? "on" : "off") << ": " << (on ? o.whenOn : o.whenOff) << "\n";
    }
    return 0;
}
