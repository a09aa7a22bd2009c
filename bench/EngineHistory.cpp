#include "bench/BenchLab.h"
#include "bench/CommandSave.h"
#include "bench/EngineFigures.h"
#include "platform/Clock.h"
#include "platform/db/Connection.h"

#include <QElapsedTimer>
#include <QSqlQuery>
#include <algorithm>

using namespace Qt::StringLiterals;

namespace EngineFigures {
namespace {

// Ten years of work loaded into `years`: statistics for the planner, as a
// server in use would have them; the journal checkpointed, as a laboratory
// in use has it (SQLite's own checkpoints and the store's keep it small).
void loadHistory(QTextStream& out, const Lab& years, int requests)
{
    QElapsedTimer load;
    load.start();
    BenchLab::addHistory(*years.store(), requests, kHistoryItems, Clock::today());
    if (years.isServer()) {
        execOrDie(years.direct(), u"VACUUM ANALYZE"_s);
    } else {
        execOrDie(years.direct(), u"PRAGMA main.wal_checkpoint(TRUNCATE)"_s);
        execOrDie(years.direct(), u"PRAGMA patient_data.wal_checkpoint(TRUNCATE)"_s);
    }
    out << u"  %1: the history loaded in %2 s\n"_s.arg(years.engine)
               .arg(load.elapsed() / 1000.0, 0, 'f', 1);
    out.flush();
}

struct Pair {
    double empty = 0;
    double years = 0;
};

// One read on both laboratories, their rounds taking turns, so a slow
// spell of the machine weighs on both alike; the best round of each.
Pair pairedRead(const Lab& empty, const Lab& years, const ReadCase& c)
{
    Connection onEmpty, onYears;
    onEmpty.open(empty.connectionString);
    onYears.open(years.connectionString);
    commandMs(onEmpty, c.command, 50);
    commandMs(onYears, c.command, 50);
    QList<double> e, y;
    for (int r = 0; r < kHistoryReadRounds; ++r) {
        // Each goes first in every other round: the second of a pair can
        // find the processor's caches holding the first one's work.
        if (r % 2)
            y << commandMs(onYears, c.command, kReadRepeats);
        e << commandMs(onEmpty, c.command, kReadRepeats);
        if (r % 2 == 0)
            y << commandMs(onYears, c.command, kReadRepeats);
    }
    return {fastest(e), fastest(y)};
}

// The save of figure b on both, taking turns (each first in every other
// round) after one unmeasured save each.
Pair pairedSave(const Lab& empty, const Lab& years)
{
    const QDate day = Clock::today();
    Connection onEmpty, onYears;
    onEmpty.open(empty.connectionString);
    onYears.open(years.connectionString);
    QList<double> e, y;
    for (int i = 0; i <= kHistoryRounds; ++i) {
        const QString request = BenchLab::benchRequest(kHistoryFirstRequest + i);
        const auto save = [&](Connection& db) {
            return msOf([&] { saveThroughCommands(db, request, u"B1"_s, kSaveRows, day); });
        };
        const double b = i % 2 ? save(onYears) : 0;
        const double a = save(onEmpty);
        const double c = i % 2 ? b : save(onYears);
        if (i > 0) {
            e << a;
            y << c;
        }
    }
    return {fastest(e), fastest(y)};
}

void printPair(QTextStream& out, const QString& label, const QString& engine, Pair p)
{
    const double ratio = p.years / p.empty;
    out << u"  %1 %2 %3 %4 %5x  %6\n"_s.arg(label, -42)
               .arg(engine, -10)
               .arg(ms(p.empty))
               .arg(ms(p.years))
               .arg(ratio, 6, 'f', 2)
               .arg(verdict(ratio, kHistoryGoal));
    out.flush();
}
} // namespace

std::optional<double> benchHistory(QTextStream& out, const QList<const Lab*>& empty,
                                   const QList<const Lab*>& years)
{
    const int requests = qEnvironmentVariableIsSet("LIS_BENCH_HISTORY_REQUESTS")
                             ? qEnvironmentVariableIntValue("LIS_BENCH_HISTORY_REQUESTS")
                             : kHistoryRequests;
    out << u"d. A laboratory with ten years of history (%1 requests with their logbook entries "
           "and headers, %2 verified results and as many audit rows, %1 posted downloads) beside "
           "an empty one of the same engine: each read of figure a and the save of figure b "
           "through Connection on both, the two taking turns (the best of %3 rounds and of %4 "
           "saves; goal: within %5x of the empty laboratory)\n"_s.arg(requests)
               .arg(qint64(requests) * kHistoryItems)
               .arg(kHistoryReadRounds)
               .arg(kHistoryRounds)
               .arg(kHistoryGoal);
    for (const Lab* lab : years)
        loadHistory(out, *lab, requests);
    tableHeader(out, u"figure"_s, u"empty"_s, u"ten years"_s);
    std::optional<double> worst;
    for (int l = 0; l < years.size(); ++l) {
        QList<std::pair<QString, Pair>> figures;
        for (const ReadCase& c : readCases(Clock::today()))
            figures.append({c.label, pairedRead(*empty[l], *years[l], c)});
        figures.append({u"%1-row save"_s.arg(kSaveRows), pairedSave(*empty[l], *years[l])});
        for (const auto& [label, p] : figures) {
            printPair(out, label, years[l]->engine, p);
            worst = std::max(worst.value_or(0), p.years / p.empty);
        }
    }
    out << "\n";
    return worst;
}
} // namespace EngineFigures
