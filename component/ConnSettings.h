#pragma once

#include "component/AutomationObject.h"

// Turns the user's database connection settings into the connection string
// the component opens its database with, and hands single settings out by
// number. The only place that knows the settings' names. Keeps no state.
class LIS_EXPORT ConnSettings : public AutomationObject {
public:
    static constexpr auto kProgId = "Velquor.ConnSettings";
    QString progId() const override { return QString::fromLatin1(kProgId); }

    // regType 4: the connection string for database regSQLdb; 1, 2, 3: the
    // User, Password and Server settings; 5: empty text; anything else:
    // error 9. Every call reads the settings anew.
    QString connStr(int regType, const QString& regSQLdb = {}) const;
};
