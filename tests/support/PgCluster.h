#pragma once

#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// A throwaway PostgreSQL server for one test program: initdb into a fresh
// folder, reachable only through a Unix socket in a private folder under
// /tmp (no TCP), local connections trusted. It runs as an unprivileged user
// when the tests run as root, since initdb and postgres refuse root. The
// server is stopped and the folders it made are removed with the object, or
// at exit for one still alive then; nothing else is ever touched.
class PgCluster {
public:
    PgCluster();
    ~PgCluster();
    PgCluster(const PgCluster&) = delete;
    PgCluster& operator=(const PgCluster&) = delete;

    // False when the server programs, Qt's QPSQL driver or a user to run the
    // server as are missing; reason() says which, and tests skip with it.
    bool available() const { return m_missing.isEmpty(); }
    // Makes the cluster and starts it; false with reason() when that fails.
    bool start();
    // Immediate shutdown, then removes the folders made; true when the
    // server is known to be down.
    bool stop();
    // A fast restart, as an administrator's pg_ctl restart: every session ends.
    bool restart();
    bool isRunning() const { return m_running; }
    QString reason() const { return m_missing.isEmpty() ? m_error : m_missing; }

    QString socketDir() const { return m_socketDir; }
    QString dataDir() const { return m_dataDir; }
    int port() const { return kPort; }
    // The OS user the server runs as, which is also the cluster's superuser.
    QString superuser() const { return m_user; }

    // One server for a whole test run: the fixture program starts it, saves
    // where it is and releases it (it keeps running); each test program
    // loads the state to use it, and the fixture's stop loads it owned and
    // stops it. Only a file that save() wrote is ever read.
    bool save(const QString& stateFile);
    void release();
    bool load(const QString& stateFile, bool owned);

    // With a template, the new database is a copy of it.
    bool createDatabase(const QString& name, const QString& templateName = {});
    // An open QPSQL connection as the superuser (check isOpen()), removed
    // when the cluster goes; by default one name per cluster and database.
    QSqlDatabase connect(const QString& database, const QString& connectionName = {});

private:
    // Only names the socket file: with no TCP listener and a socket folder of
    // its own, this never meets another server, and stays off the usual port.
    static constexpr int kPort = 54329;

    bool run(const QString& program, const QStringList& arguments);
    bool giveToServerUser(const QString& path);

    QString m_binDir;
    QString m_missing;
    QString m_error;
    QString m_user;
    bool m_switchUser = false; // run the server programs through runuser
    QString m_runuser;
    QString m_socketDir; // made with mkdtemp; also holds the data folder as root
    QString m_dataRoot;  // made with mkdtemp in the scratch folder, when not root
    QString m_dataDir;
    bool m_started = false;
    bool m_running = false;
    QStringList m_connections;
};
