#pragma once

#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/db/Connection.h"
#include "platform/db/Recordset.h"
#include "tests/support/TestDatabase.h"

#include <QDateTime>

// The demo laboratory of 7 March 2024, the clock pinned at 3 PM that day,
// and a connection to it as the component opens one.
class DemoLab {
public:
    static inline const QDate kDay{2024, 3, 7};

    DemoLab()
    {
        DemoLaboratory::build(db.store(), kDay);
        conn.open(db.connectionString());
    }

    // The first row of a query on the database, its cells as text.
    QStringList firstRow(const QString& sql)
    {
        QStringList values;
        for (const QVariant& v : db.query(sql).rows.value(0))
            values << v.toString();
        return values;
    }

    // What "procedure 'request'" returns in these columns, as text, in the
    // row whose key column holds the key (without a key, the first row);
    // empty when there is no such row.
    QStringList rowOf(const char* procedure, const QString& request, const QStringList& columns,
                      const QString& key = {}, const char* keyColumn = "ExamName")
    {
        auto rs = conn.openRecordset(QStringLiteral("%1 '%2'").arg(procedure, request));
        for (; !rs->eof(); rs->moveNext()) {
            if (keyColumn && !key.isEmpty() && rs->text(QLatin1String(keyColumn)) != key)
                continue;
            QStringList values;
            for (const QString& c : columns)
                values << rs->text(c);
            return values;
        }
        return {};
    }

private:
    // Pinned before the laboratory is made, released after it is gone.
    struct PinnedClock {
        PinnedClock() { Clock::pin(QDateTime(kDay, QTime(15, 0))); }
        ~PinnedClock() { Clock::setSource({}); }
    } m_clock;

public:
    TestDatabase db;
    Connection conn;
};
