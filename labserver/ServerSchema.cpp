#include "ServerSchema.h"
#include "labserver/LabStore.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

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

QVariant answer(QSqlDatabase& db, const QString& sql, const QString& where)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The laboratory's schema on %1 cannot be made: %2")
                           .arg(where, failure(q)));
    return q.next() ? q.value(0) : QVariant();
}

bool roleExists(QSqlDatabase& db, const QString& role, const QString& where)
{
    return answer(db,
                  QStringLiteral("SELECT count(*) FROM pg_roles WHERE rolname = '%1'").arg(role),
                  where)
               .toInt() > 0;
}

// Makes the role when this login may; another init making it at the same
// moment is no failure.
void makeRole(QSqlDatabase& db, const QString& role, const QString& where)
{
    if (roleExists(db, role, where))
        return;
    run(db,
        QStringLiteral("DO $$ BEGIN CREATE ROLE %1 NOLOGIN; EXCEPTION WHEN "
                       "insufficient_privilege OR duplicate_object OR unique_violation THEN "
                       "NULL; END $$")
            .arg(role),
        where);
}

// False, with a note of what the server's administrator runs, when this
// login could not make the roles.
bool rolesMade(QSqlDatabase& db, const QStringList& roles, const QString& where,
               QStringList* notes)
{
    QStringList missing;
    for (const QString& role : roles)
        if (!roleExists(db, role, where))
            missing << role;
    if (missing.isEmpty())
        return true;
    if (notes)
        *notes << QStringLiteral("This login may not make roles. As the server's "
                                 "administrator run: %1; then \"lis-host server init\" "
                                 "again to grant them their tables.")
                      .arg(QStringLiteral("CREATE ROLE %1 NOLOGIN")
                               .arg(missing.join(QStringLiteral(" NOLOGIN; CREATE ROLE "))));
    return false;
}

// The tables a working login writes: all but the options, the schema
// version and the audit trail.
QStringList writableTables(QSqlDatabase& db, const QString& where)
{
    QStringList writable;
    QSqlQuery tables(db);
    if (!tables.exec(QStringLiteral(
            "SELECT quote_ident(schemaname) || '.' || quote_ident(tablename) FROM pg_tables "
            "WHERE schemaname IN ('laboratory', 'patient_data') AND tablename NOT IN "
            "('tblaboption', 'tbschemaversion', 'tblabresultaudit') ORDER BY 1")))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The laboratory's schema on %1 cannot be made: %2")
                           .arg(where, failure(tables)));
    while (tables.next())
        writable << tables.value(0).toString();
    return writable;
}

// Each role gets what its people work with, on the tables there are now
// (an upgrade runs this again for the tables it adds). The audit table's
// grants are not made here.
void grantRoles(QSqlDatabase& db, const QString& where, QStringList* notes)
{
    const QString working = QLatin1String(ServerSchema::kWorkingRole);
    const QString admin = QLatin1String(ServerSchema::kAdministratorRole);
    makeRole(db, working, where);
    makeRole(db, admin, where);
    if (!rolesMade(db, {working, admin}, where, notes))
        return;
    const QStringList writable = writableTables(db, where);
    const QString both = working + QStringLiteral(", ") + admin;
    for (const QString& sql :
         {QStringLiteral("GRANT USAGE ON SCHEMA laboratory, patient_data TO ") + both,
          QStringLiteral("GRANT SELECT, INSERT, UPDATE, DELETE ON %1 TO %2")
              .arg(writable.join(QStringLiteral(", ")), working),
          QStringLiteral("GRANT USAGE, SELECT ON ALL SEQUENCES IN SCHEMA laboratory, "
                         "patient_data TO ") +
              working,
          QStringLiteral("GRANT SELECT ON laboratory.tbLabOption, laboratory.tbSchemaVersion TO ") +
              both,
          QStringLiteral("GRANT INSERT, UPDATE, DELETE ON laboratory.tbLabOption TO ") + admin,
          // The audit trail is written by the laboratory's triggers (as the
          // owner); a working login reads it and seals the rows its
          // transaction wrote, nothing else.
          QStringLiteral("GRANT SELECT, UPDATE (Hash, SealNo) ON laboratory.tbLabResultAudit TO ") +
              working,
          // Its procedures add their own rows through the laboratory's
          // function; no other login may.
          QStringLiteral("REVOKE EXECUTE ON FUNCTION laboratory.auditRow(text, text, text, text, "
                         "text) FROM PUBLIC"),
          QStringLiteral("GRANT EXECUTE ON FUNCTION laboratory.auditRow(text, text, text, text, "
                         "text) TO ") +
              working,
          QStringLiteral("DO $$ BEGIN GRANT %1 TO %2; EXCEPTION WHEN insufficient_privilege "
                         "THEN NULL; END $$")
              .arg(working, admin)})
        run(db, sql, where);
    if (notes)
        *notes << QStringLiteral("Workstations and the instrument service log in as members of "
                                 "%1, the laboratory's administrator as a member of %2 (GRANT "
                                 "%1 TO login; GRANT %2 TO login).")
                      .arg(working, admin);
}

// A workstation that stops talking inside a transaction holds every save
// up: the server ends such a session.
void limitIdleTransactions(QSqlDatabase& db, const QString& where, QStringList* notes)
{
    const QString setting = QStringLiteral("idle_in_transaction_session_timeout");
    const bool set =
        answer(db,
               QStringLiteral("SELECT count(*) FROM pg_db_role_setting s JOIN pg_database d ON "
                              "d.oid = s.setdatabase WHERE d.datname = current_database() AND "
                              "s.setrole = 0 AND EXISTS (SELECT 1 FROM unnest(s.setconfig) c "
                              "WHERE c LIKE '%1=%')")
                   .arg(setting),
               where)
            .toInt() > 0;
    if (set)
        return;
    const QString alter =
        QStringLiteral("ALTER DATABASE %1 SET %2 = '20s'")
            .arg(answer(db, QStringLiteral("SELECT quote_ident(current_database())"), where)
                     .toString(),
                 setting);
    const bool owner =
        answer(db,
               QStringLiteral("SELECT pg_has_role(current_user, datdba, 'USAGE') FROM "
                              "pg_database WHERE datname = current_database()"),
               where)
            .toBool();
    if (owner)
        run(db, alter, where);
    else if (notes)
        *notes << QStringLiteral("This login does not own the database: as its owner run %1.")
                      .arg(alter);
}
} // namespace

namespace ServerSchema {
QStringList statements(const QString& path, const QString& schema)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw LisError(
            ErrNo::DbConnectionFailed,
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
        throw LisError(
            ErrNo::DbConnectionFailed,
            QStringLiteral("The laboratory's schema version cannot be read: %1").arg(failure(q)));
    if (!q.value(0).toBool())
        return 0;
    if (!q.exec(QStringLiteral("SELECT max(Version) FROM laboratory.tbSchemaVersion")) || !q.next())
        throw LisError(
            ErrNo::DbConnectionFailed,
            QStringLiteral("The laboratory's schema version cannot be read: %1").arg(failure(q)));
    return q.value(0).toInt();
}

// The schema's own transaction, on the plain connection it is made over.
struct PgTransaction {
    QSqlDatabase& db;
    const QString& where;
    void begin() { run(db, QStringLiteral("BEGIN"), where); }
    void commit() { run(db, QStringLiteral("COMMIT"), where); }
    void rollback() { QSqlQuery(db).exec(QStringLiteral("ROLLBACK")); }
};

int init(QSqlDatabase& db, const QString& where, QStringList* notes)
{
    // The script's "already exists, skipping" notices are no news.
    run(db, QStringLiteral("SET client_min_messages = warning"), where);
    PgTransaction pg{db, where};
    {
        ScopedTransaction transaction(pg);
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
        const bool owner =
            answer(db,
                   QStringLiteral("SELECT coalesce(bool_and(pg_has_role(current_user, nspowner, "
                                  "'USAGE')), true) FROM pg_namespace WHERE nspname IN "
                                  "('laboratory', 'patient_data')"),
                   where)
                .toBool();
        // Nothing to make: a working login learns that, not that it may not make it.
        if (before == LabStore::schemaVersion() && !owner) {
            transaction.commit();
            return before;
        }
        // The owner's run makes again whatever of this version is missing.
        {
            for (const QString& file : {QStringLiteral(":/labserver/postgresql/laboratory.sql"),
                                        QStringLiteral(":/labserver/postgresql/patient_data.sql")})
                for (const QString& statement : statements(file))
                    run(db, statement, where);
            run(db,
                QStringLiteral("UPDATE laboratory.tbSchemaVersion SET Version = %1")
                    .arg(LabStore::schemaVersion()),
                where);
        }
        grantRoles(db, where, notes);
        limitIdleTransactions(db, where, notes);
        transaction.commit();
        return before;
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
