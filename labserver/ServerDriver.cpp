#include "ServerDriver.h"
#include "labserver/LabSession.h"
#include "labserver/PgConnection.h"

bool ServerDriver::accepts(const ConnectionString& cs) const
{
    return !ServerAddress::classify(cs.dataSource()).isEmbedded();
}

std::unique_ptr<DbSession> ServerDriver::connect(const ConnectionString& cs)
{
    return std::make_unique<LabSession>(std::make_unique<LabStore>(cs));
}
