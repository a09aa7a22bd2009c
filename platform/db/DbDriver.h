#pragma once

#include "platform/db/ConnectionString.h"

#include <QList>
#include <QStringList>
#include <QVariant>
#include <functional>
#include <memory>

// What a server hands back for one command text: named columns and rows.
// A command without a result set has no columns.
struct ResultSet {
    QStringList columns;
    QList<QVariantList> rows;
};

// The channel on which a server tells of new instrument results:
// "INSTRUMENT|SAMPLE" in upper case, once per sample of a message that
// stored new results, when it is committed.
inline QString downloadsChannel()
{
    return QStringLiteral("lis_downloads");
}

// One open session with a database server.
class DbSession {
public:
    virtual ~DbSession();
    virtual ResultSet run(const QString& commandText) = 0;
    virtual void beginTransaction() = 0;
    virtual void commitTransaction() = 0;
    virtual void rollbackTransaction() = 0;
    // Calls onNotice with each notice the server sends on the channel, from
    // the event loop, until unwatch. False when the server sends none.
    virtual bool watch(const QString& channel, std::function<void(const QString&)> onNotice);
    virtual void unwatch(const QString& channel);
};

// A driver serves the connection strings it accepts; the first registered
// driver that accepts one gets it.
class DbDriver {
public:
    virtual ~DbDriver();
    virtual QString name() const = 0;
    virtual bool accepts(const ConnectionString& cs) const = 0;
    virtual std::unique_ptr<DbSession> connect(const ConnectionString& cs) = 0;
};

namespace DriverRegistry {
void add(std::shared_ptr<DbDriver> driver);
// Throws a connection error naming the server when no driver accepts it.
std::shared_ptr<DbDriver> find(const ConnectionString& cs);
} // namespace DriverRegistry
