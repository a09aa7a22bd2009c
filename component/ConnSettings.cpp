#include "ConnSettings.h"
#include "ConnectionString.h"
#include "LisError.h"
#include "SettingsStore.h"

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

    // A value with a semicolon is quoted so it cannot end its key early;
    // every other value goes in exactly as stored.
    const auto v = &ConnectionString::quoteValue;
    QString s = QStringLiteral("Provider=SQLOLEDB.8");
    if (slot[0].isEmpty())
        s += QStringLiteral(";Integrated Security=SSPI");
    else
        s += QStringLiteral(";User ID=") + v(slot[0]) + QStringLiteral(";Password =") + v(slot[1]);
    s += QStringLiteral(";Persist Security Info=False;Initial Catalog=") + v(regSQLdb);
    s += QStringLiteral(";Data Source=") + v(slot[2]);
    // Only a PostgreSQL laboratory reads it; absent, the string is as it always was.
    const QString sslMode = SettingsStore::get(app, section, QStringLiteral("SslMode"));
    if (!sslMode.isEmpty())
        s += QStringLiteral(";SSL Mode=") + v(sslMode);
    return s;
}
