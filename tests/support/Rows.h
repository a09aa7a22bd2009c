#pragma once

#include "platform/db/DbDriver.h"

// Each row of a result, its cells as text joined by the separator.
inline QStringList textRows(const ResultSet& rs, QChar separator = u' ')
{
    QStringList out;
    for (const QVariantList& r : rs.rows) {
        QStringList cells;
        for (const QVariant& v : r)
            cells << v.toString();
        out << cells.join(separator);
    }
    return out;
}
