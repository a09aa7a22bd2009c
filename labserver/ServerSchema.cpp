#include "ServerSchema.h"
#include "LabStore.h"
#include "LisError.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

namespace {
// Schema changes of several workstations' init wait for each other.
constexpr int kInitLockKey = 0x4c495349;

QString failure(const QSqlQuery& q)
{
    const QString text = q.lastError().databaseText().trimmed();
    return text.isEmpty() ? q.lastError().text() : text;
}

void run(QSqlDatabase& db, const QString& sql, const QString& where)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The laboratory's schema on %1 cannot be made: %2")
                           .arg(where, failure(q)));
}
} // namespace

namespace ServerSchema {
QStringList statements(const QString& path, const QString& schema)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(ErrNo::DbConnectionFailed,
                       QStringLiteral("The script %1 cannot be read. %2").arg(path, f.errorString()));
    QString script;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')))
        if (!line.trimmed().startsWith(QStringLiteral("--")))
            script += line + QLatin1Char('\n');
    QStringList found;
    for (const QString& part : script.split(QStringLiteral(";\n"))) {
        QString statement = part.trimmed();
        if (statement.isEmpty())
            continue;
        if (!schema.isEmpty()) {
            statement.replace(QStringLiteral("CREATE TABLE IF NOT EXISTS "),
                              QStringLiteral("CREATE TABLE IF NOT EXISTS %1.").arg(schema));
            statement.replace(QStringLiteral("CREATE INDEX IF NOT EXISTS "),
                              QStringLiteral("CREATE INDEX IF NOT EXISTS %1.").arg(schema));
        }
        found.append(statement);
    }
    return found;
}

int version(const QSqlDatabase& db)
{
    QSqlQuery q(db);
    if (!q.exec(QStringLiteral("SELECT to_regclass('laboratory.tbschemaversion') IS NOT NULL")) ||
        !q.next())
        throw LisError(ErrNo::DbConnectionFailed,
                       QStringLiteral("The laboratory's schema version cannot be read: %1")
                           .arg(failure(q)));
    if (!q.value(0).toBool())
        return 0;
    if (!q.exec(QStringLiteral("SELECT max(Version) FROM laboratory.tbSchemaVersion")) || !q.next())
        throw LisError(ErrNo::DbConnectionFailed,
                       QStringLiteral("The laboratory's schema version cannot be read: %1")
                           .arg(failure(q)));
    return q.value(0).toInt();
}

int init(QSqlDatabase& db, const QString& where)
{
    // The script's "already exists, skipping" notices are no news.
    run(db, QStringLiteral("SET client_min_messages = warning"), where);
    run(db, QStringLiteral("BEGIN"), where);
    try {
        run(db, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(kInitLockKey), where);
        const int before = version(db);
        if (before > LabStore::schemaVersion())
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The laboratory database %1 on %2 has schema version "
                                          "%3, newer than this component's version %4; it is "
                                          "left as it is. Install the newer component.")
                               .arg(db.databaseName(), where)
                               .arg(before)
                               .arg(LabStore::schemaVersion()));
        for (const QString& file : {QStringLiteral(":/labserver/postgresql/laboratory.sql"),
                                    QStringLiteral(":/labserver/postgresql/patient_data.sql")})
            for (const QString& statement : statements(file))
                run(db, statement, where);
        run(db,
            QStringLiteral("UPDATE laboratory.tbSchemaVersion SET Version = %1")
                .arg(LabStore::schemaVersion()),
            where);
        run(db, QStringLiteral("COMMIT"), where);
        return before;
    } catch (...) {
        QSqlQuery(db).exec(QStringLiteral("ROLLBACK"));
        throw;
    }
}

const QList<Catalogue::Table>& spelling()
{
    static const QList<Catalogue::Table> tables = [] {
        const QString name = QStringLiteral("lis-schema-spelling");
        QList<Catalogue::Table> found;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
            db.setDatabaseName(QStringLiteral(":memory:"));
            QSqlQuery q(db);
            if (db.open() && q.exec(QStringLiteral("ATTACH ':memory:' AS patient_data"))) {
                for (const auto& [file, schema] :
                     {std::pair{QStringLiteral(":/labserver/laboratory.sql"),
                                QStringLiteral("main")},
                      std::pair{QStringLiteral(":/labserver/patient_data.sql"),
                                QStringLiteral("patient_data")}})
                    for (const QString& statement : statements(file, schema))
                        q.exec(statement);
                found = SqliteCatalogue(db).tables();
            }
            db.close();
        }
        QSqlDatabase::removeDatabase(name);
        return found;
    }();
    return tables;
}
} // namespace ServerSchema
