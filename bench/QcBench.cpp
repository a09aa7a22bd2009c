#include "QcBench.h"
#include "labserver/LabStore.h"
#include "labserver/demo/DemoLaboratory.h"
#include "labserver/procedures/QualityControl.h"
#include "platform/DateText.h"
#include "platform/db/ScopedTransaction.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <vector>

namespace {
const QDate kDay(2024, 3, 7);

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// A year before the demo's month: two runs a day at both glucose levels.
void addYear(LabStore& store)
{
    const ResultSet lots = store.query(QStringLiteral(
        "SELECT LotID, Level FROM tbLabQCLot WHERE InstrumentID = 'AN-01' AND ItemID = 'GLU'"));
    ScopedTransaction transaction(store);
    for (int back = 400; back > 31; --back) {
        QStringList values;
        QVariantList binds;
        for (int run = 0; run < 2; ++run)
            for (const QVariantList& lot : lots.rows) {
                const QDateTime at(kDay.addDays(-back), QTime(7 + 8 * run, lot[1].toInt()));
                values << QStringLiteral("(?, ?, ?, ?, 0.5, '', 'accepted', 'M', '', 'MT01', ?)");
                binds << lot[0] << DateText::storage(at)
                      << DateText::storage(QDateTime(at.date(), QTime(7 + 8 * run, 0)))
                      << (lot[1].toInt() == 1 ? QStringLiteral("5.07") : QStringLiteral("15.20"))
                      << DateText::storage(at);
            }
        store.exec(QStringLiteral("INSERT INTO tbLabQCResult (LotID, MeasuredAt, RunAt, Value, "
                                  "ZScore, Rules, Verdict, Source, SampleID, EnteredBy, "
                                  "EnteredAt) VALUES ") +
                       values.join(QStringLiteral(", ")),
                   binds);
    }
    transaction.commit();
}
} // namespace

void benchQualityControl(QTextStream& out)
{
    QTemporaryDir dir;
    DemoLaboratory::build(dir.path(), kDay);
    LabStore store(dir.path());
    addYear(store);
    const qint64 levels[] = {QualityControl::lotOf(store, "AN-01", "GLU", "GL1-2611"),
                             QualityControl::lotOf(store, "AN-01", "GLU", "GL2-2611")};
    const QString means[] = {QStringLiteral("5.02"), QStringLiteral("15.10")};
    std::vector<double> judged, bare;
    QDateTime at(kDay, QTime(10, 0));
    for (int i = 0; i < 200; ++i) {
        const int level = i % 2;
        if (level == 0)
            at = at.addSecs(45 * 60); // a run of its own
        QualityControl::Arrival a;
        a.instrument = QStringLiteral("AN-01");
        a.lotId = levels[level];
        // Every tenth run rejected (1-3s), so holds open and lift.
        a.value = i % 20 == 0 ? QStringLiteral("5.60") : means[level];
        a.measuredAt = at.addSecs(60 * level);
        a.employee = QStringLiteral("MT01");
        QElapsedTimer t;
        t.start();
        {
            ScopedTransaction transaction(store);
            QualityControl::record(store, a);
            transaction.commit();
        }
        judged.push_back(t.nsecsElapsed() / 1e6);
        t.restart();
        {
            ScopedTransaction transaction(store);
            store.exec(QStringLiteral("INSERT INTO tbLabQCResult (LotID, MeasuredAt, RunAt, Value, "
                                      "Verdict, EnteredAt) VALUES (?, ?, ?, ?, 'accepted', ?)"),
                       {a.lotId, QStringLiteral("2000-01-01 00:00:00"),
                        QStringLiteral("2000-01-01 00:00:00"), a.value,
                        QStringLiteral("2000-01-01 00:00:00")});
            transaction.commit();
        }
        bare.push_back(t.nsecsElapsed() / 1e6);
    }
    const double j = median(judged), b = median(bare);
    out << "Quality control (a year of glucose control history at two levels)\n";
    out << QStringLiteral("  judging a control and its gate   : %1 ms, bare insert %2 ms, ratio "
                          "%3x (goal: under 5 ms)\n\n")
               .arg(j, 8, 'f', 3)
               .arg(b, 8, 'f', 3)
               .arg(j / b, 5, 'f', 2);
}
