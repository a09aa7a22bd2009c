#include "SqlText.h"

QString sqlLiteral(const QString& value)
{
    if (!value.contains(QLatin1Char('\'')))
        return value;
    QString out = value;
    out.replace(QLatin1Char('\''), QStringLiteral("''"));
    return out;
}
