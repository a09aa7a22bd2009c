#pragma once

#include "DbDriver.h"

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
    static bool isFolderPath(const QString& dataSource);
};

// Registers the embedded and the server driver and every stored procedure,
// once per process.
void registerLabDrivers();
