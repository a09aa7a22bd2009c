#include "ConnSettings.h"
#include "platform/LisError.h"
#include "platform/SettingsStore.h"
#include "platform/db/ConnectionString.h"

#include <array>

QString ConnSettings::connStr(int regType, const QString& regSQLdb) const
{
    const QString app = QStringLiteral("TARVIK Current User");
    const QString section = QStringLiteral("Connection");
    const std::array<QString, 5> slot = {
        SettingsStore::get(app, section, QStringLiteral("User")),
        SettingsStore::get(app, section, QStringLiteral("Password")),
        SettingsStore::get(app, section, QStringLiteral("Server")),
        QString(), // never handed out
        QString(),
    };
    if (regType != 4) {
        if (regType < 1 || regType > 5)
            throw LisError(ErrNo::SubscriptOutOfRange, QStringLiteral("Subscript out of range"));
        return slot[size_t(regType - 1)];
    }

    return ConnectionString::ofWorkstation(regSQLdb);
}
