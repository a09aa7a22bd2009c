#include "ServerImport.h"
#include "labserver/Catalogue.h"
#include "labserver/LabStore.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUrl>

namespace {
[[noreturn]] void fail(const QString& message)
{
    throw LisError(ErrNo::DbCommandFailed, message);
}

QString quoted(const QString& name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}

QString readOnlyUri(const QString& path)
{
    QUrl url = QUrl::fromLocalFile(path);
    url.setQuery(QStringLiteral("mode=ro"));
    return url.toString(QUrl::FullyEncoded);
}

// The embedded laboratory opened read-only: this never writes the folder,
// not even to upgrade it.
class Source {
public:
    explicit Source(const QString& folder)
        : m_name(QStringLiteral("lis-import-%1").arg(quintptr(this)))
    {
        const QString lab = QDir(folder).filePath(QStringLiteral("laboratory.db"));
        const QString patients = QDir(folder).filePath(QStringLiteral("patient_data.db"));
        for (const QString& path : {lab, patients})
            if (QFileInfo(path).size() == 0)
                fail(QStringLiteral("%1 holds no embedded laboratory: %2 is missing or empty.")
                         .arg(folder, path));
        m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        m_db.setDatabaseName(readOnlyUri(lab));
        m_db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_OPEN_URI"));
        QSqlQuery q(m_db);
        if (!m_db.open() || !q.exec(QStringLiteral("PRAGMA main.user_version")) || !q.next())
            fail(QStringLiteral("The file %1 is not a laboratory database.").arg(lab));
        const int version = q.value(0).toInt();
        q.finish();
        if (version != LabStore::schemaVersion())
            fail(QStringLiteral("The embedded laboratory in %1 has schema version %2; the "
                                "server's has version %3. Open it once with this component "
                                "(lis-host query against it) to bring it to version %3 first.")
                     .arg(folder)
                     .arg(version)
                     .arg(LabStore::schemaVersion()));
        q.prepare(QStringLiteral("ATTACH DATABASE ? AS patient_data"));
        q.addBindValue(readOnlyUri(patients));
        if (!q.exec())
            fail(QStringLiteral("The patient database %1 cannot be opened: %2")
                     .arg(patients, q.lastError().text()));
    }
    ~Source()
    {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_name);
    }
    const QSqlDatabase& db() const { return m_db; }

private:
    QString m_name;
    QSqlDatabase m_db;
};

// The server's tables in an order that puts every referenced table first.
QList<const Catalogue::Table*> insertionOrder(LabStore& server,
                                              const QList<Catalogue::Table>& sourceTables)
{
    const ResultSet refs = server.query(
        QStringLiteral("SELECT n.nspname || '.' || c.relname, rn.nspname || '.' || r.relname "
                       "FROM pg_constraint k JOIN pg_class c ON c.oid = k.conrelid "
                       "JOIN pg_namespace n ON n.oid = c.relnamespace "
                       "JOIN pg_class r ON r.oid = k.confrelid "
                       "JOIN pg_namespace rn ON rn.oid = r.relnamespace "
                       "WHERE k.contype = ? AND n.nspname IN ('laboratory', 'patient_data')"),
        {QStringLiteral("f")});
    QList<const Catalogue::Table*> pending;
    for (const Catalogue::Table& s : sourceTables) {
        if (s.name.startsWith(QLatin1String("sqlite_")))
            continue; // SQLite's own bookkeeping
        const QString database =
            s.schema == QLatin1String("main") ? QStringLiteral("laboratory") : s.schema;
        const Catalogue::Table* t = server.table(database, s.name);
        if (!t)
            fail(QStringLiteral("The server's laboratory has no table %1.%2: is it at schema "
                                "version %3?")
                     .arg(database, s.name)
                     .arg(LabStore::schemaVersion()));
        pending.append(t);
    }
    const auto key = [](const Catalogue::Table* t) {
        return (t->schema + QLatin1Char('.') + t->storedName).toLower();
    };
    QList<const Catalogue::Table*> ordered;
    QSet<QString> done;
    while (!pending.isEmpty()) {
        const qsizetype before = pending.size();
        for (qsizetype i = 0; i < pending.size();) {
            bool ready = true;
            for (const QVariantList& r : refs.rows)
                if (r[0].toString() == key(pending[i]) && r[1].toString() != key(pending[i]) &&
                    !done.contains(r[1].toString()))
                    ready = false;
            if (!ready) {
                ++i;
                continue;
            }
            done.insert(key(pending[i]));
            ordered.append(pending.takeAt(i));
        }
        if (pending.size() == before) {
            ordered += pending; // a cycle: the server says which row breaks it
            break;
        }
    }
    return ordered;
}

qint64 copyTable(const QSqlDatabase& source, const Catalogue::Table& from,
                 const Catalogue::Table& to, LabStore& server)
{
    QStringList columns;
    for (const QString& c : from.columns) {
        const auto match =
            std::find_if(to.columns.begin(), to.columns.end(),
                         [&](const QString& n) { return n.compare(c, Qt::CaseInsensitive) == 0; });
        if (match == to.columns.end())
            fail(QStringLiteral("The server's table %1 has no column %2.").arg(to.name, c));
        columns.append(quoted(to.storedColumns.at(match - to.columns.begin())));
    }
    const QString insert =
        QStringLiteral("INSERT INTO %1.%2 (%3) VALUES (%4)")
            .arg(quoted(to.schema), quoted(to.storedName), columns.join(QStringLiteral(", ")),
                 QStringList(columns.size(), QStringLiteral("?")).join(QStringLiteral(", ")));
    QSqlQuery rows(source);
    rows.setForwardOnly(true);
    if (!rows.exec(QStringLiteral("SELECT * FROM %1.%2").arg(from.schema, quoted(from.name))))
        fail(QStringLiteral("The table %1 cannot be read: %2")
                 .arg(from.name, rows.lastError().text()));
    qint64 count = 0;
    while (rows.next()) {
        QVariantList values;
        for (int i = 0; i < from.columns.size(); ++i)
            values.append(rows.value(i));
        ++count;
        try {
            server.exec(insert, values);
        } catch (const LisError& e) {
            fail(QStringLiteral("Row %1 of %2 cannot be copied: %3")
                     .arg(count)
                     .arg(from.name, e.description()));
        }
    }
    return count;
}
void requireEmpty(LabStore& server)
{
    const ResultSet held =
        server.query(QStringLiteral("SELECT (SELECT count(*) FROM laboratory.tbLabRequest), "
                                    "(SELECT count(*) FROM patient_data.tbPatient)"));
    const qint64 requests = held.rows.value(0).value(0).toLongLong();
    const qint64 patients = held.rows.value(0).value(1).toLongLong();
    if (requests || patients)
        fail(QStringLiteral("The laboratory on %1 holds %2 requests and %3 patients "
                            "already; a laboratory is imported only into an empty one, so "
                            "two laboratories' records are never mixed.")
                 .arg(server.where())
                 .arg(requests)
                 .arg(patients));
}

// The embedded table a server's table is filled from; null for none.
const Catalogue::Table* sourceOf(const QList<Catalogue::Table>& tables, const Catalogue::Table& to)
{
    const auto from = std::find_if(tables.begin(), tables.end(), [&](const auto& s) {
        return s.name.compare(to.name, Qt::CaseInsensitive) == 0 &&
               Catalogue::schemaOf(Engine::PostgreSQL, s.schema == QLatin1String("main")
                                                           ? QStringLiteral("laboratory")
                                                           : s.schema) == to.schema;
    });
    return from == tables.end() ? nullptr : &*from;
}

ServerImport::Summary copyTables(const QSqlDatabase& source,
                                 const QList<Catalogue::Table>& tables, LabStore& server)
{
    ServerImport::Summary summary;
    for (const Catalogue::Table* to : insertionOrder(server, tables)) {
        const Catalogue::Table* from = sourceOf(tables, *to);
        if (to->name.compare(QStringLiteral("tbSchemaVersion"), Qt::CaseInsensitive) == 0 ||
            !from)
            continue;
        // The lists the schema itself starts with give way to the
        // laboratory's own, which began as the same.
        if (to->name.compare(QStringLiteral("tbLabAmendmentReason"), Qt::CaseInsensitive) == 0)
            server.exec(QStringLiteral("DELETE FROM %1.%2")
                            .arg(quoted(to->schema), quoted(to->storedName)));
        // Only empty tables are filled: the demo's or an earlier import's
        // reference rows are not doubled.
        const ResultSet present = server.query(QStringLiteral("SELECT count(*) FROM %1.%2")
                                                   .arg(quoted(to->schema), quoted(to->storedName)));
        if (present.rows.value(0).value(0).toLongLong() > 0)
            fail(QStringLiteral("The laboratory on %1 holds rows in %2 already; a "
                                "laboratory is imported only into an empty one.")
                     .arg(server.where(), to->name));
        summary.rows += copyTable(source, *from, *to, server);
        ++summary.tables;
    }
    return summary;
}

// Generated keys go on after the highest one copied.
void advanceIdentities(LabStore& server)
{
    const ResultSet identities =
        server.query(QStringLiteral("SELECT table_schema, table_name, column_name FROM "
                                    "information_schema.columns WHERE is_identity = ? AND "
                                    "table_schema IN ('laboratory', 'patient_data')"),
                     {QStringLiteral("YES")});
    for (const QVariantList& c : identities.rows)
        server.exec(
            QStringLiteral("SELECT setval(pg_get_serial_sequence(?, ?), "
                           "coalesce(max(%3), 0) + 1, false) FROM %1.%2")
                .arg(quoted(c[0].toString()), quoted(c[1].toString()), quoted(c[2].toString())),
            {quoted(c[0].toString()) + QLatin1Char('.') + quoted(c[1].toString()),
             c[2].toString()});
}
} // namespace

namespace ServerImport {
Summary run(const QString& folder, LabStore& server)
{
    const Source source(folder);
    const QList<Catalogue::Table> tables = SqliteCatalogue(source.db()).tables();
    ScopedTransaction transaction(server);
    requireEmpty(server);
    // The copied audit trail is the record of the copied results: copying
    // them writes no audit rows of its own (the owner's change, undone if
    // the import fails).
    const QString auditTriggers =
        QStringLiteral("ALTER TABLE laboratory.tbLabResult %1 TRIGGER trResultAudit; "
                       "ALTER TABLE laboratory.tbLabOption %1 TRIGGER trOptionAudit");
    server.exec(auditTriggers.arg(QStringLiteral("DISABLE")));
    const Summary summary = copyTables(source.db(), tables, server);
    advanceIdentities(server);
    server.exec(auditTriggers.arg(QStringLiteral("ENABLE")));
    transaction.commit();
    return summary;
}
} // namespace ServerImport
