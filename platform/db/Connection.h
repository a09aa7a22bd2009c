#pragma once

#include "platform/db/CommandTrace.h"
#include "platform/db/Recordset.h"

#include <functional>
#include <memory>

// The one kind of database connection the component uses: command texts in,
// recordsets out, with transactions. The server behind it is chosen by the
// connection string through the driver registry.
class Connection {
public:
    Connection();
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Refused (error 3705) while the connection is open.
    void setConnectionString(const QString& text);
    const QString& connectionString() const { return m_connectionString; }

    // An empty text opens with the connection string set before.
    void open(const QString& connectionText = {}, const QString& user = {},
              const QString& password = {});
    void close();
    bool isOpen() const { return m_session != nullptr; }

    std::unique_ptr<Recordset> openRecordset(const QString& commandText,
                                             CursorOptions options = {});
    void execute(const QString& commandText);

    void beginTrans();
    void commitTrans();
    void rollbackTrans();
    bool inTransaction() const { return m_inTransaction; }

    // The server's notices on a channel, while the connection is open (see
    // DbSession::watch); false when its server sends none.
    bool watch(const QString& channel, std::function<void(const QString&)> onNotice);
    void unwatch(const QString& channel);

    // Called with every command text before it is sent; what it throws ends
    // the command as a database failure would. Tests make commands fail with it.
    void setCommandHook(std::function<void(const QString&)> hook) { m_hook = std::move(hook); }

private:
    ResultSet run(const QString& commandText);
    void requireOpen() const;

    QString m_connectionString;
    std::unique_ptr<DbSession> m_session;
    std::unique_ptr<CommandTrace> m_trace;
    bool m_inTransaction = false;
    std::function<void(const QString&)> m_hook;
};
