#include "DbDriver.h"
#include "platform/LisError.h"

#include <QMutex>

DbSession::~DbSession() = default;

bool DbSession::watch(const QString&, std::function<void(const QString&)>)
{
    return false;
}

void DbSession::unwatch(const QString&) {}
DbDriver::~DbDriver() = default;

namespace {
struct Registry {
    QMutex mutex;
    QList<std::shared_ptr<DbDriver>> drivers;
};
Registry& registry()
{
    static Registry r;
    return r;
}
} // namespace

void DriverRegistry::add(std::shared_ptr<DbDriver> driver)
{
    QMutexLocker lock(&registry().mutex);
    for (const auto& d : registry().drivers)
        if (d->name() == driver->name())
            return;
    registry().drivers.append(std::move(driver));
}

std::shared_ptr<DbDriver> DriverRegistry::find(const ConnectionString& cs)
{
    QMutexLocker lock(&registry().mutex);
    for (const auto& d : registry().drivers)
        if (d->accepts(cs))
            return d;
    throw LisError(ErrNo::DbConnectionFailed,
                   QStringLiteral("Cannot connect to the database server \"%1\": no database "
                                  "driver serves it. Leave the Server setting empty for the "
                                  "embedded laboratory database, or name its data folder.")
                       .arg(ConnectionString::withoutPassword(cs.dataSource())));
}
