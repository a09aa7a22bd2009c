#pragma once

#include "labserver/SqlDialect.h"
#include "platform/db/DbDriver.h"

#include <QString>
#include <QTemporaryDir>
#include <memory>

class LabStore;
class PgCluster;

// A fresh laboratory for one test, filled from SQL fixture files or
// statements, with the component's settings pointing at it and a command
// trace to read back. The engine is the run's choice (LIS_TEST_ENGINE):
// an embedded laboratory in its own folder, or a database of its own,
// copied from the run's template laboratory, on the run's PostgreSQL test
// server (LIS_TEST_PG_STATE), dropped again at the end.
class TestDatabase {
public:
    TestDatabase();
    ~TestDatabase();

    static Engine engine();
    // Empty when the run's engine can be used; else why not, for QSKIP.
    static QString unavailable();

    // Where the trace and other files of the test go.
    const QString& folder() const { return m_folder; }
    // The Server setting that reaches this laboratory.
    const QString& server() const { return m_server; }
    // A connection string for it, as the component composes one.
    QString connectionString() const;
    LabStore& store() { return *m_store; }

    // Runs fixtures/<name>.sql; statements end with ";" at a line end.
    void load(const QString& fixture);
    void exec(const QString& sql);
    ResultSet query(const QString& sql);

    // Points "TARVIK Current User"/Connection/Server at this laboratory and
    // LIS_TRACE_COMMANDS at a fresh trace file.
    void useForComponent();
    QStringList trace() const;
    void clearTrace();

private:
    QString traceFile() const { return m_folder + QStringLiteral("/trace.txt"); }

    QTemporaryDir m_dir;
    QString m_folder;
    QString m_server;
    std::unique_ptr<PgCluster> m_cluster;
    QString m_database; // on the server
    std::unique_ptr<LabStore> m_store;
};

// Skips the test when the run's engine cannot be used here.
#define LIS_REQUIRE_ENGINE()                                                                       \
    do {                                                                                           \
        if (const QString why = TestDatabase::unavailable(); !why.isEmpty())                       \
            QSKIP(qPrintable(why));                                                                \
    } while (false)
