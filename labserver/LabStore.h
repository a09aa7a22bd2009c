#pragma once

#include <functional>

#include "labserver/Catalogue.h"
#include "labserver/SqlDialect.h"
#include "platform/db/ConnectionString.h"
#include "platform/db/DbDriver.h"

#include <QHash>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QString>
#include <QVariantList>
#include <memory>
#include <unordered_map>

class StoreEngine;

// The laboratory's databases behind one connection, on either engine.
//
// Embedded: the two database files laboratory.db (as main) and
// patient_data.db (attached under that name) of one folder. A folder
// without them gets both, with the full schema; a file there that is no
// database is reported, never overwritten.
//
// PostgreSQL: schemas laboratory and patient_data of one database, made by
// ServerSchema::init; unqualified names find either. A schema at another
// version than this build's is refused. Every statement has a deadline (the
// server's statement_timeout, and a client-side one for a frozen link); a
// connection the server lost is made again, once, by the next statement
// outside a transaction, and one lost inside a transaction fails it whole,
// with a message saying the server cannot be reached.
class LabStore {
public:
    using Table = Catalogue::Table; // schema "main" or "patient_data"

    explicit LabStore(const QString& folder);
    // The laboratory on the PostgreSQL server a connection string names.
    explicit LabStore(const ConnectionString& server);
    ~LabStore();
    LabStore(const LabStore&) = delete;
    LabStore& operator=(const LabStore&) = delete;

    // The embedded laboratory's folder; empty on a server.
    const QString& folder() const { return m_folder; }
    // The laboratory as messages name it: its folder or its server.
    const QString& where() const { return m_where; }
    // Procedures build their statements for it (SqlDialect).
    Engine engine() const { return m_engine; }
    // The schema version this build reads and writes.
    static int schemaVersion();

    // database: "laboratory", "patient_data" (any case) or empty for the
    // laboratory database. nullptr when the table is not there.
    const Table* table(const QString& database, const QString& name) const;

    // Runs one statement with bound values; dateColumns name the result
    // columns that hold stored date-times, handed out as general dates.
    ResultSet query(const QString& sql, const QVariantList& binds = {},
                    const QStringList& dateColumns = {});
    // How long the server may work on one statement of a workstation.
    static int statementTimeoutMs();
    // The number of rows the statement changed.
    int exec(const QString& sql, const QVariantList& binds = {});

    // begin() opens a writing transaction. SQLite takes the laboratory's
    // write lock at once (BEGIN IMMEDIATE); on PostgreSQL a writer locks what
    // it touches (lock()), so writers of different requests run side by side.
    // Either waits for another connection's lock up to the busy timeout; a
    // lock held longer fails with a message naming the database and what to do.
    void begin();
    // What a writing transaction is about to read and change, locked until
    // it ends (PostgreSQL; the embedded laboratory holds everything already):
    // a request, an instrument, an instrument's sample. Keys compare without
    // case and trailing blanks, as the laboratory's keys do.
    enum class Lock { Request = 1, Instrument = 2, Sample = 3 };
    void lock(Lock kind, const QString& key);
    // A savepoint rolled back gave up the locks taken inside it, and what
    // was read once inside it.
    void forgetLocks();
    // A read whose answer holds for the rest of the transaction (a request
    // exists under its lock, an exam item's definition): asked once, not
    // once a row of a 200-row save. Outside a transaction, an ordinary query.
    ResultSet queryOnce(const QString& sql, const QVariantList& binds);
    // A write that holds for the rest of the transaction until another of
    // its kind may undo it (a sample posted to a request, under the
    // sample's lock): true when the last write of this kind in the
    // transaction had the same key, so it is done already. Remembers the key.
    bool repeatsLast(const QString& kind, const QString& key);
    // The transaction (or the statement outside one) failed because two
    // transactions waited for each other or could not be ordered: worth
    // running again rather than telling anyone.
    bool lastFailureWasConflict() const { return m_conflict; }
    // How a session works on this engine (see StoreEngine).
    bool refusesWritesInTransactions() const;
    bool stopsConflicts() const;
    bool readsInReadOnlySavepoints() const;
    // Runs the check set by setBeforeCommit, empties the audit context and
    // seals the audit rows the transaction wrote, then commits. A check or
    // seal that fails leaves the transaction for the caller's rollback.
    void commit();
    void rollback();
    // Who the writing transaction works for, as the audit triggers record
    // every change it makes; kept until commit or rollback.
    void setAuditContext(const QString& employee, const QString& workstation,
                         const QString& changedAt, const QString& note = {});
    // What the audit rows written from now on say made the change (an
    // amendment's reason); empty again with the next context.
    void setAuditNote(const QString& note);
    // One audit row written as the triggers write theirs, from the context.
    void addAuditRow(const QString& requestNum, const QString& itemId, const QString& field,
                     const QString& oldValue, const QString& newValue);
    bool hasAuditContext() const { return m_hasAuditContext; }
    const QString& auditEmployee() const { return m_auditEmployee; }
    // The laboratory's last word on what a transaction wrote, inside it.
    void setBeforeCommit(std::function<void()> check) { m_beforeCommit = std::move(check); }
    void setBusyTimeout(int ms);

    // Notices between the workstations of a server (PostgreSQL LISTEN and
    // NOTIFY), delivered by the event loop; the embedded laboratory has none
    // (listen answers false, notify does nothing). notify sends when the
    // transaction it is part of commits, and not at all when it rolls back.
    bool listen(const QString& channel, std::function<void(const QString&)> onNotice);
    void unlisten(const QString& channel);
    void notify(const QString& channel, const QString& payload);
    // While on, every write outside begin() fails instead of taking the write
    // lock: readers run so, and one that writes is caught. The embedded
    // laboratory refuses writes even after begin(); PostgreSQL's begin()
    // opens a writing transaction.
    void refuseWrites(bool refuse);

    // Runs a script file (or resource) of statements that end with ";" at a
    // line end; lines starting with "--" are comments. With a schema, the
    // tables and indexes it creates go there.
    void runScript(const QString& path, const QString& schema = {});

private:
    friend class StoreEngine;
    friend class SqliteEngine;
    friend class PgEngine;

    struct Statement {
        QSqlQuery query;
        QStringList columns;
        QList<int> dates; // positions of the date columns among them
        QStringList dateColumns;
        bool described;
    };
    Statement& prepared(const QString& sql);
    ResultSet run(const QString& sql, const QVariantList& binds, const QStringList& dateColumns);
    ResultSet direct(const QString& sql, const QStringList& dateColumns);
    void describe(const QSqlRecord& rec, const QString& sql, const QStringList& dateColumns,
                  QStringList& columns, QList<int>& dates) const;
    static void readRows(QSqlQuery& q, const QList<int>& dates, ResultSet& rs);
    void opened();
    void loadCatalogue();
    void addMissingColumns();
    [[noreturn]] void fail(const QString& what, const QString& detail) const;
    [[noreturn]] void commandFailed(const QSqlError& e, const QString& sql);
    QString busyMessage() const;
    void sealAudit();
    void close(); // the connection and its statements

    Engine m_engine;
    QString m_folder;
    QString m_where;
    std::unique_ptr<StoreEngine> m_impl;
    QString m_connectionName;
    QSqlDatabase m_db;
    bool m_inTransaction = false;
    std::unordered_map<QString, Statement> m_statements;
    QHash<QString, Table> m_tables; // key: schema + '.' + lower-case name
    bool m_writesRefused = false;
    int m_affected = 0; // by the last statement
    bool m_hasAuditContext = false;
    QString m_auditEmployee;
    bool m_sealsAudit = false; // once the schema has the seal
    bool m_conflict = false;
    std::function<void()> m_beforeCommit;
    QHash<QString, ResultSet> m_readOnce; // by this transaction, by statement and values
    QHash<QString, QString> m_lastWrite;  // by this transaction, the key of each kind's last
};
