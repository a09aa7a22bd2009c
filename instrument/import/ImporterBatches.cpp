#include "Importer.h"
#include "labserver/LabStore.h"

// The statements that store a message's results a sample at a time: its
// keys, what the laboratory has of its items, its new rows.
namespace {
// Rows a multi-row statement carries: a power of two up to kChunk, so a
// message of any size takes a few statements of a few prepared shapes.
constexpr qsizetype kChunk = 64;

qsizetype chunk(qsizetype left)
{
    qsizetype n = kChunk;
    while (n > left)
        n /= 2;
    return n;
}

QString repeated(const QString& row, qsizetype n)
{
    return QStringList(n, row).join(QStringLiteral(", "));
}

} // namespace

QList<bool> Importer::keep(const QString& specimen, const QList<Key>& keys)
{
    QList<bool> fresh(keys.size(), false);
    for (qsizetype from = 0; from < keys.size();) {
        const qsizetype n = chunk(keys.size() - from);
        QVariantList binds;
        for (qsizetype i = from; i < from + n; ++i)
            binds << m_instrument.id << specimen << keys[i].item << keys[i].status << keys[i].key;
        // A key the statement took comes back as it was written: the first
        // of the chunk's results with that very text is the new one, any
        // other is known (a repeat inside the message included).
        QList<QVariantList> taken =
            m_store
                .query(QStringLiteral("INSERT INTO tbLabInstrumentResultKey (InstrumentID, "
                                      "SampleNum, InstrumentItem, ResultStatus, ResultKey) "
                                      "VALUES ") +
                           repeated(QStringLiteral("(?, ?, ?, ?, ?)"), n) +
                           QStringLiteral(" ON CONFLICT DO NOTHING "
                                          "RETURNING InstrumentItem, ResultStatus, ResultKey"),
                       binds)
                .rows;
        for (qsizetype i = from; i < from + n; ++i) {
            const auto it = std::find_if(taken.begin(), taken.end(), [&](const QVariantList& t) {
                return t.value(0).toString() == keys[i].item &&
                       t.value(1).toString() == keys[i].status &&
                       t.value(2).toString() == keys[i].key;
            });
            if (it != taken.end()) {
                fresh[i] = true;
                taken.erase(it);
            }
        }
        from += n;
    }
    return fresh;
}

QList<Importer::Found> Importer::found(const QString& specimen, const QStringList& items)
{
    QList<Found> found(items.size());
    for (qsizetype from = 0; from < items.size();) {
        const qsizetype n = chunk(items.size() - from);
        QVariantList binds;
        for (qsizetype i = 0; i < n; ++i)
            binds << int(i) << items[from + i];
        binds << m_instrument.id << specimen << m_instrument.id;
        // The item's last row (which the status may change), the
        // laboratory's item and its units (the analyser's unit is written as
        // the laboratory writes it where only case differs). The table's
        // columns stand left of each comparison, so theirs is the collation.
        const ResultSet rs = m_store.query(
            QStringLiteral("WITH r (n, item) AS (VALUES ") +
                repeated(QStringLiteral("(CAST(? AS INTEGER), ?)"), n) +
                QStringLiteral(
                    ") SELECT r.n, d.DLResultID, d.ResultValue, d.ResultStatus, d.Posted, "
                    "coalesce(d.PostedRequestNum, ''), m.ItemID, i.SIUnit, i.CUnit FROM r "
                    "LEFT JOIN tbLabInstrumentDLHemaResult d ON d.DLResultID = "
                    "(SELECT max(x.DLResultID) FROM tbLabInstrumentDLHemaResult x "
                    "WHERE x.InstrumentID = ? AND x.SampleNum = ? AND x.InstrumentItem = r.item) "
                    "LEFT JOIN tbLabInstrumentExams m ON m.InstrumentID = ? "
                    "AND m.InstrumentItem = r.item "
                    "LEFT JOIN tbLabExamItem i ON i.ItemID = m.ItemID ORDER BY r.n"),
            binds);
        QList<bool> seen(n, false);
        for (const QVariantList& c : rs.rows) {
            const qsizetype i = c.value(0).toInt();
            if (i < 0 || i >= n || seen[i])
                continue;
            seen[i] = true;
            Found& f = found[from + i];
            f.row = {QVariant()};
            if (!c.value(1).isNull())
                f.row += c.mid(1, 5);
            if (!c.value(6).isNull())
                f.mapping = c.mid(6, 3);
        }
        from += n;
    }
    return found;
}

void Importer::insertRows(QList<QVariantList>& rows)
{
    for (qsizetype from = 0; from < rows.size();) {
        const qsizetype n = chunk(rows.size() - from);
        QVariantList binds;
        for (qsizetype i = from; i < from + n; ++i)
            binds += rows[i];
        m_store.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                    "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                    "Flags, PatientName, refnum, ResultStatus, Corrects, "
                                    "SampleRemarks) VALUES ") +
                         repeated(QStringLiteral("(?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"), n),
                     binds);
        from += n;
    }
    rows.clear();
}
