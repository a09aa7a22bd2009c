#include "Catalogue.h"
#include "platform/LisError.h"

#include <QSqlError>
#include <QSqlQuery>

namespace {
const QString kDatabases[] = {QStringLiteral("laboratory"), QStringLiteral("patient_data")};

// Every row of the statement, read whole so no cursor stays open.
QList<QStringList> rows(const QSqlDatabase& db, const QString& sql, int width)
{
    QSqlQuery q(db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        throw LisError(ErrNo::DbCommandFailed, q.lastError().text());
    QList<QStringList> all;
    while (q.next()) {
        QStringList row;
        for (int i = 0; i < width; ++i)
            row.append(q.value(i).toString());
        all.append(row);
    }
    return all;
}
} // namespace

QString Catalogue::schemaOf(Engine engine, const QString& database)
{
    if (database.isEmpty() || database.compare(kDatabases[0], Qt::CaseInsensitive) == 0)
        return engine == Engine::SQLite ? QStringLiteral("main") : kDatabases[0];
    if (database.compare(kDatabases[1], Qt::CaseInsensitive) == 0)
        return kDatabases[1];
    return QString();
}

QList<Catalogue::Table> SqliteCatalogue::tables() const
{
    QList<Table> found;
    for (const QString& database : kDatabases) {
        const QString schema = schemaOf(Engine::SQLite, database);
        const auto names = rows(
            m_db,
            // SQLite's own tables (sqlite_sequence) are no laboratory's.
            QStringLiteral("SELECT name FROM %1.sqlite_master WHERE type = 'table' AND name NOT "
                           "LIKE 'sqlite\\_%' ESCAPE '\\'")
                .arg(schema),
            1);
        for (const QStringList& name : names) {
            Table t{schema, name.at(0), {}, {}, name.at(0), {}, {}};
            for (const QStringList& c : rows(
                     m_db, QStringLiteral("PRAGMA %1.table_info(\"%2\")").arg(schema, t.name), 3)) {
                t.columns.append(c.at(1));
                t.storedColumns.append(c.at(1));
                if (c.at(2).compare(QStringLiteral("DATETIME"), Qt::CaseInsensitive) == 0)
                    t.dateColumns.append(c.at(1));
            }
            found.append(t);
        }
    }
    return found;
}

PgCatalogue::PgCatalogue(const QSqlDatabase& db, const QList<Table>& spelling)
    : m_db(db)
{
    // Keyed by this engine's schema, so lookups need no second mapping.
    for (const QString& database : kDatabases)
        for (const Table& t : spelling) {
            if (t.schema.compare(schemaOf(Engine::SQLite, database), Qt::CaseInsensitive) != 0)
                continue;
            const QString key = schemaOf(Engine::PostgreSQL, database) + u'.' + t.name.toLower();
            m_spelling.insert(key, t.name);
            for (const QString& c : t.columns)
                m_spelling.insert(key + u'.' + c.toLower(), c);
        }
}

QList<Catalogue::Table> PgCatalogue::tables() const
{
    // Tables without columns still count, hence the outer join. The catalog
    // tables answer in a millisecond where information_schema takes ten.
    const auto columns =
        rows(m_db,
             QStringLiteral("SELECT n.nspname, c.relname, coalesce(a.attname, ''), "
                            "coalesce(format_type(a.atttypid, a.atttypmod), ''), "
                            "coalesce(co.collname, '') "
                            "FROM pg_class c JOIN pg_namespace n ON n.oid = c.relnamespace "
                            "LEFT JOIN pg_attribute a ON a.attrelid = c.oid AND a.attnum > 0 "
                            "AND NOT a.attisdropped "
                            "LEFT JOIN pg_collation co ON co.oid = a.attcollation "
                            "WHERE n.nspname IN ('%1', '%2') AND c.relkind IN ('r', 'p') "
                            "ORDER BY n.nspname, c.relname, a.attnum")
                 .arg(schemaOf(Engine::PostgreSQL, kDatabases[0]),
                      schemaOf(Engine::PostgreSQL, kDatabases[1])),
             5);
    const auto spelt = [this](const QString& key, const QString& asServed) {
        return m_spelling.value(key.toLower(), asServed);
    };
    QList<Table> found;
    QString current;
    for (const QStringList& c : columns) {
        const QString key = c.at(0) + u'.' + c.at(1);
        if (key != current)
            found.append(Table{c.at(0), spelt(key, c.at(1)), {}, {}, c.at(1), {}, {}});
        current = key;
        if (c.at(2).isEmpty())
            continue;
        const QString column = spelt(key + u'.' + c.at(2), c.at(2));
        found.last().columns.append(column);
        found.last().storedColumns.append(c.at(2));
        if (c.at(3) == QStringLiteral("timestamp without time zone"))
            found.last().dateColumns.append(column);
        if (c.at(4) == QStringLiteral("nocase"))
            found.last().caseBlindColumns.append(column);
    }
    return found;
}
