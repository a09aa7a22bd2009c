#pragma once

#include "platform/db/DbDriver.h"

#include <memory>

class LabStore;

// The embedded laboratory database as a database server: it serves a
// connection string whose Data Source is empty (the user's data folder) or a
// folder path.
class EmbeddedDriver : public DbDriver {
public:
    QString name() const override { return QStringLiteral("embedded"); }
    bool accepts(const ConnectionString& cs) const override;
    std::unique_ptr<DbSession> connect(const ConnectionString& cs) override;

    // The per-user default data folder; LIS_DATA_DIR moves it.
    static QString defaultDataFolder();
    // The laboratory folder a connection string names (made when it is the
    // default one); a catalog other than laboratory is refused.
    static QString folderOf(const ConnectionString& cs);
    static bool isFolderPath(const QString& dataSource);
};

// The laboratory store a connection string names, embedded or on a server,
// for programs that write through the store rather than command texts.
std::unique_ptr<LabStore> openLaboratory(const ConnectionString& cs);

// Registers the embedded and the server driver and every stored procedure,
// once per process.
void registerLabDrivers();
