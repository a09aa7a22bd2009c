#pragma once

#include "Catalogue.h"
#include "DbDriver.h"
#include "SqlDialect.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QString>
#include <QVariantList>
#include <unordered_map>

// The two database files of the embedded laboratory in one SQLite
// connection: laboratory.db as the main database and patient_data.db
// attached under that name. A folder without them gets both, with the full
// schema; a file there that is no database is reported, never overwritten.
class LabStore {
public:
    using Table = Catalogue::Table; // schema "main" or "patient_data"

    explicit LabStore(const QString& folder);
    ~LabStore();
    LabStore(const LabStore&) = delete;
    LabStore& operator=(const LabStore&) = delete;

    const QString& folder() const { return m_folder; }
    // Procedures build their statements for it (SqlDialect).
    Engine engine() const { return Engine::SQLite; }

    // database: "laboratory", "patient_data" (any case) or empty for the
    // laboratory database. nullptr when the table is not there.
    const Table* table(const QString& database, const QString& name) const;

    // Runs one statement with bound values; dateColumns name the result
    // columns that hold stored date-times, handed out as general dates.
    ResultSet query(const QString& sql, const QVariantList& binds = {},
                    const QStringList& dateColumns = {});
    void exec(const QString& sql, const QVariantList& binds = {});

    // begin() takes the write lock at once (BEGIN IMMEDIATE), waiting for
    // another connection's up to the busy timeout; a lock held longer fails
    // with a message naming the database and what to do.
    void begin();
    void commit();
    void rollback();
    void setBusyTimeout(int ms);
    // While on, every write fails instead of taking the write lock: readers
    // run so, and one that writes is caught.
    void refuseWrites(bool refuse);

    // Runs a script file (or resource) of statements that end with ";" at a
    // line end; lines starting with "--" are comments. With a schema, the
    // tables and indexes it creates go there.
    void runScript(const QString& path, const QString& schema = {});

private:
    struct Statement {
        QSqlQuery query;
        QStringList columns;
        QList<int> dates; // positions of the date columns among them
        QStringList dateColumns;
        bool described;
    };
    Statement& prepared(const QString& sql);
    void loadCatalogue();
    void addConventionalLimits();
    [[noreturn]] void fail(const QString& what, const QString& detail) const;
    [[noreturn]] void commandFailed(const QSqlError& e, const QString& sql) const;
    QString busyMessage() const;
    static bool isBusy(const QSqlError& e);
    int busyTimeout();

    QString m_folder;
    QString m_connectionName;
    QSqlDatabase m_db;
    std::unordered_map<QString, Statement> m_statements;
    QHash<QString, Table> m_tables; // key: schema + '.' + lower-case name
    bool m_writesRefused = false;
    int m_busyTimeout = -1; // ms; read from the connection when first needed
};
