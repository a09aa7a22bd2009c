#pragma once

#include "platform/db/ConnectionString.h"

#include <QList>
#include <QPair>
#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// Where the Server setting (a connection string's Data Source) puts the
// laboratory. The one reading of that setting: the embedded driver accepts
// what this calls embedded, and the PostgreSQL connection uses the rest.
//
//   empty                                   the embedded default data folder
//   postgresql://... or postgres://...      a PostgreSQL URI (any case)
//   contains '/', starts with '~', . or ..  an embedded laboratory folder
//   anything else                           a PostgreSQL host or host:port
struct ServerAddress {
    enum Kind { EmbeddedDefault, EmbeddedFolder, PostgreSql, Invalid };

    Kind kind = EmbeddedDefault;
    QString text; // the setting, trimmed

    // PostgreSQL only; empty or -1 leaves the value to libpq's defaults.
    QString host; // a name, an address, or the folder of a Unix socket
    int port = -1;
    QString database; // a URI's path; when empty, Initial Catalog names it
    QString user;     // a URI's own login, which wins over User ID/Password
    QString password;
    QList<QPair<QString, QString>> parameters; // a URI's other parameters

    QString error; // Invalid only: what is wrong, naming the setting

    static ServerAddress classify(const QString& dataSource);
    bool isEmbedded() const { return kind == EmbeddedDefault || kind == EmbeddedFolder; }
    // The server as messages name it: never a password.
    QString displayName() const;
    // The same, short: "host:port", "host" or the socket folder.
    QString address() const;
};

// Opens a PostgreSQL laboratory database for a connection string whose Data
// Source classifies as PostgreSql.
class PgConnection {
public:
    // libpq's SSL modes, in the order of the protection they give.
    static const QStringList& sslModes();

    // An open QPSQL connection under a name of its own; the caller closes it
    // and removes it with QSqlDatabase::removeDatabase(db.connectionName()).
    // The database is the URI's path when it has one, else Initial Catalog
    // (else laboratory), tried lower-cased first and then as written. A
    // failure throws a LisError with the connection-failed number.
    static QSqlDatabase open(const ConnectionString& cs);
};

// What libpq knows of an open QPSQL connection and Qt does not tell, and a
// deadline for each statement: a link frozen in the network (a stopped
// router, a suspended proxy) acknowledges every packet, so neither the
// server's timeouts nor TCP keepalives end the wait; at the deadline the
// socket is shut, and the statement fails instead of hanging.
class PgLink {
public:
    PgLink();
    ~PgLink();
    PgLink(const PgLink&) = delete;
    PgLink& operator=(const PgLink&) = delete;

    // True when libpq has given the connection up (the server went away).
    static bool isLost(const QSqlDatabase& db);

    // Shuts the connection's socket if the statement is still running after ms.
    void arm(const QSqlDatabase& db, int ms);
    void disarm();
    // Whether the last armed statement ran out of time.
    bool expired() const { return m_expired; }

private:
    void watch();

    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_socket = -1;
    std::chrono::steady_clock::time_point m_due;
    bool m_watching = false; // asleep until m_watchingUntil, not without a deadline
    std::chrono::steady_clock::time_point m_watchingUntil;
    std::atomic<bool> m_expired = false;
    bool m_stopping = false;
    std::thread m_thread;
};
