#pragma once

#include "labserver/Catalogue.h"
#include "labserver/SqliteStatements.h"
#include "platform/db/ConnectionString.h"
#include "platform/db/DbDriver.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QSqlError>
#include <QString>
#include <functional>
#include <memory>

class LabStore;
class PgLink;

// What differs between the engines under one LabStore, as Catalogue is for
// the tables: opening or connecting, how a transaction begins and what it
// locks, the audit's slot, the busy timeout, which failures mean busy,
// read-only, lost or damaged, notices and the journals. LabStore keeps what
// both share: the statements, the catalogue, the audit's seal.
class StoreEngine {
public:
    explicit StoreEngine(LabStore& store)
        : m_store(store)
    {
    }
    virtual ~StoreEngine() = default;
    StoreEngine(const StoreEngine&) = delete;
    StoreEngine& operator=(const StoreEngine&) = delete;

    // Opens the laboratory, or refuses it; the store's connection is set.
    virtual void open() = 0;
    virtual QList<Catalogue::Table> tables() = 0;
    // Runs one statement of the store (run) with this engine's guards.
    virtual ResultSet guarded(const std::function<ResultSet()>& run) { return run(); }
    // Whether a statement with nothing to bind is prepared and kept.
    virtual bool prepares(const QString&) const { return true; }
    // The result's column names as callers expect them.
    virtual QStringList spelt(const QString&, const QStringList& served) const { return served; }
    // Whether the engine runs this statement itself, quicker than the SQL
    // module (runItself); otherwise the module runs it.
    virtual bool runsItself(const QString&) { return false; }
    virtual ResultSet runItself(const QString&, const QVariantList&, const QStringList&)
    {
        return {};
    }
    // Before the connection closes.
    virtual void closing() {}

    virtual void begin() = 0;
    virtual void lock(int, const QString&) {}
    virtual void forgetLocks() {}
    // Before the audit rows are sealed, at commit.
    virtual void beforeSeal() {}
    // After COMMIT or ROLLBACK.
    virtual void ended(bool committed) = 0;

    // The audit context row of this connection, as SQL.
    virtual QString auditSlot() const = 0;
    virtual QString clearAuditContext() const = 0;
    // Adds one audit row from the context, as the triggers do.
    virtual QString auditRow() const = 0;

    virtual void setBusyTimeout(int ms) = 0;
    virtual int busyTimeout() = 0;
    // As the connection has it now, for messages.
    virtual int busyTimeoutInForce() = 0;
    virtual void refuseWrites(bool refuse) = 0;

    virtual bool isBusy(const QSqlError& e) const = 0;
    virtual bool isReadOnlyRefusal(const QSqlError& e) const = 0;
    virtual bool isConflict(const QSqlError&) const { return false; }
    // Throws the message of a failure only this engine knows; else returns.
    virtual void explain(const QSqlError& e, const QString& said) = 0;
    // A message about the server, as unreachable; the text on its own here.
    virtual QString unreachable(const QString& why) const { return why; }

    virtual bool listen(const QString&, std::function<void(const QString&)>) { return false; }
    virtual void unlisten(const QString&) {}
    virtual void notify(const QString&, const QString&) {}

    // The session's ways, told by what the engine does: SQLite refuses
    // writes inside a transaction too, so writers switch it off; a server
    // stops one of two writers that wait for each other, to be run again;
    // a server reads inside a transaction in a read-only savepoint.
    virtual bool refusesWritesInTransactions() const = 0;
    virtual bool stopsConflicts() const = 0;
    virtual bool readsInReadOnlySavepoints() const = 0;

protected:
    static constexpr int kBusyTimeoutMs = 5000;
    LabStore& m_store;
};

// The embedded laboratory: laboratory.db and patient_data.db of one folder.
class SqliteEngine : public StoreEngine {
public:
    using StoreEngine::StoreEngine;
    enum class Found; // what a file of the laboratory turned out to be

    void open() override;
    QList<Catalogue::Table> tables() override;
    void begin() override;
    void ended(bool committed) override;
    QString auditSlot() const override { return QStringLiteral("1"); }
    QString clearAuditContext() const override;
    QString auditRow() const override;
    void setBusyTimeout(int ms) override;
    int busyTimeout() override;
    int busyTimeoutInForce() override;
    void refuseWrites(bool refuse) override;
    bool isBusy(const QSqlError& e) const override;
    bool isReadOnlyRefusal(const QSqlError& e) const override;
    void explain(const QSqlError& e, const QString& said) override;
    bool refusesWritesInTransactions() const override { return true; }
    bool stopsConflicts() const override { return false; }
    bool readsInReadOnlySavepoints() const override { return false; }
    bool runsItself(const QString& sql) override;
    ResultSet runItself(const QString& sql, const QVariantList& binds,
                        const QStringList& dateColumns) override;
    void closing() override { m_statements.clear(); }

private:
    bool checkFiles(const QString& labPath, const QString& patientPath);
    void refuseStrangers(const QString& labPath, const QString& patientPath, bool hasLab,
                         bool hasPatients);
    Found judgeHalf(const QString& schema, const QString& path, int& version, bool& marked);
    void makeOrUpgrade(bool upgrading);
    void keepJournalsSmall();
    QString damagedFile() const;
    int m_busyTimeout = -1;         // ms; read from the connection when first needed
    QElapsedTimer m_journalsLooked; // when keepJournalsSmall last looked
    SqliteStatements m_statements;
};

// A laboratory on a PostgreSQL server. Every statement has a deadline; a
// connection the server lost is made again, once, by the next statement
// outside a transaction.
class PgEngine : public StoreEngine {
public:
    PgEngine(LabStore& store, const ConnectionString& server);
    ~PgEngine() override;

    void open() override;
    QList<Catalogue::Table> tables() override;
    ResultSet guarded(const std::function<ResultSet()>& run) override;
    bool prepares(const QString& sql) const override;
    QStringList spelt(const QString& sql, const QStringList& served) const override;
    void begin() override;
    void lock(int kind, const QString& key) override;
    void forgetLocks() override { m_locked.clear(); }
    void beforeSeal() override;
    void ended(bool) override { m_locked.clear(); }
    QString auditSlot() const override { return QStringLiteral("pg_backend_pid()"); }
    QString clearAuditContext() const override;
    QString auditRow() const override;
    void setBusyTimeout(int ms) override;
    int busyTimeout() override { return m_busyTimeout; }
    int busyTimeoutInForce() override { return m_busyTimeout; }
    void refuseWrites(bool refuse) override;
    bool isBusy(const QSqlError& e) const override;
    bool isReadOnlyRefusal(const QSqlError& e) const override;
    bool isConflict(const QSqlError& e) const override;
    void explain(const QSqlError& e, const QString& said) override;
    QString unreachable(const QString& why) const override;
    bool listen(const QString& channel, std::function<void(const QString&)> onNotice) override;
    void unlisten(const QString& channel) override;
    void notify(const QString& channel, const QString& payload) override;
    bool refusesWritesInTransactions() const override { return false; }
    bool stopsConflicts() const override { return true; }
    bool readsInReadOnlySavepoints() const override { return true; }

private:
    void setUpSession();
    void reconnect();

    ConnectionString m_server;      // to connect again
    QString m_address;              // the server as "host:port"
    std::unique_ptr<PgLink> m_link; // each statement's deadline
    bool m_lost = false;            // the server dropped the connection
    int m_busyTimeout = -1;
    QHash<QString, std::function<void(const QString&)>> m_listeners;
    bool m_noticesConnected = false;
    QHash<QString, QString> m_columnSpelling; // lower case -> as the laboratory spells it
    QSet<QString> m_locked;                   // by this transaction
};
