#pragma once

#include "platform/db/DbDriver.h"

// The laboratory on a PostgreSQL server: serves a connection string whose
// Server names one (a host, host:port or postgresql:// address), and one
// whose Server is neither that nor a folder, to say what is wrong with it.
class ServerDriver : public DbDriver {
public:
    QString name() const override { return QStringLiteral("postgresql"); }
    bool accepts(const ConnectionString& cs) const override;
    std::unique_ptr<DbSession> connect(const ConnectionString& cs) override;
};
