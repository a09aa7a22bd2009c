#include "EngineBench.h"
#include "bench/BenchLab.h"
#include "bench/CommandSave.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/PgCluster.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sched.h>

using namespace Qt::StringLiterals;

#include "bench/EngineFigures.h"

namespace EngineFigures {
Judged judged;

void execOrDie(QSqlDatabase db, const QString& sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        qFatal("bench set-up failed: %s: %s", qPrintable(sql), qPrintable(q.lastError().text()));
}

QSqlDatabase openSqliteDirect(const QString& folder, const QString& name)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, name);
    db.setDatabaseName(folder + u"/laboratory.db"_s);
    db.setConnectOptions(u"QSQLITE_BUSY_TIMEOUT=5000"_s);
    if (!db.open())
        qFatal("cannot open %s", qPrintable(folder));
    // As the component's connection has it: the same durability, the same checks.
    execOrDie(db, u"ATTACH DATABASE '%1/patient_data.db' AS patient_data"_s.arg(folder));
    execOrDie(db, u"PRAGMA synchronous=NORMAL"_s);
    execOrDie(db, u"PRAGMA foreign_keys=ON"_s);
    return db;
}

// The embedded laboratory of the figures.
class SqliteLab {
public:
    explicit SqliteLab(const QString& directName = u"bench-direct-sqlite"_s)
        : m_bench(kSaveRows)
    {
        {
            LabStore store(m_bench.folder());
            BenchLab::addWorkstationRequests(store, kWsSlots, kWsPerSlot, kWsRows, Clock::today());
        }
        const QString folder = m_bench.folder();
        openSqliteDirect(folder, directName);
        lab = {u"SQLite"_s, u"Initial Catalog=LABORATORY;Data Source="_s + folder, directName,
               [folder] {
                   openSqliteDirect(folder, u"bench-open"_s).close();
                   QSqlDatabase::removeDatabase(u"bench-open"_s);
               },
               [folder] { return std::make_unique<LabStore>(folder); }};
    }
    ~SqliteLab()
    {
        QSqlDatabase::database(lab.directName, false).close();
        QSqlDatabase::removeDatabase(lab.directName);
    }
    Lab lab;

private:
    BenchLab m_bench;
};

// A throwaway PostgreSQL server with the laboratory, the demo and the
// bench's own rows; stopped, and its folders removed, with the object.
class PgLab {
public:
    explicit PgLab(const QString& directName = u"bench-direct-pg"_s)
    {
        if (!start())
            return;
        try {
            if (!createSchema(directName))
                return;
            const QString server =
                u"postgresql:///lis_bench?host=%1&port=%2&user=%3"_s.arg(m_cluster.socketDir())
                    .arg(m_cluster.port())
                    .arg(m_cluster.superuser());
            fill(server);
            QSqlDatabase direct = openDirect(directName);
            // Statistics for the planner, as a server in use would have them,
            // and nothing left for autovacuum to do during the figures.
            execOrDie(direct, u"VACUUM ANALYZE"_s);
            PgCluster* cluster = &m_cluster;
            lab = {u"PostgreSQL"_s,
                   u"Initial Catalog=LABORATORY;Data Source="_s +
                       ConnectionString::quoteValue(server),
                   directName, [cluster] { openOnce(*cluster); },
                   [server] {
                       return std::make_unique<LabStore>(ConnectionString::parse(
                           u"Data Source="_s + ConnectionString::quoteValue(server)));
                   }};
        } catch (const LisError& e) {
            m_why = e.description();
        }
    }
    bool ready() const { return m_why.isEmpty(); }
    const QString& why() const { return m_why; }
    // The server's first process, which every new connection's process is
    // forked from; 0 when unknown.
    pid_t serverPid() const
    {
        QFile f(m_cluster.dataDir() + u"/postmaster.pid"_s);
        return f.open(QIODevice::ReadOnly) ? pid_t(f.readLine().trimmed().toInt()) : 0;
    }
    double startMs() const { return m_startMs; }
    const QString& version() const { return m_version; }
    Lab lab;

private:
    // The server started and its database made, timed; false (and why) if not.
    bool start()
    {
        if (!m_cluster.available()) {
            m_why = m_cluster.reason();
            return false;
        }
        QElapsedTimer t;
        t.start();
        if (!m_cluster.start() || !m_cluster.createDatabase(u"lis_bench"_s)) {
            m_why = m_cluster.reason();
            return false;
        }
        m_startMs = double(t.nsecsElapsed()) / 1e6;
        return true;
    }

    // The laboratory's schema, and the server's version read on the way.
    bool createSchema(const QString& directName)
    {
        QSqlDatabase schema = m_cluster.connect(u"lis_bench"_s, directName + u"-schema"_s);
        if (!schema.isOpen()) {
            m_why = schema.lastError().text();
            return false;
        }
        ServerSchema::init(schema, u"the bench's server"_s);
        QSqlQuery version(schema);
        if (version.exec(u"SHOW server_version"_s) && version.next())
            m_version = version.value(0).toString();
        schema.close();
        return true;
    }

    // The demo laboratory and the bench's own rows.
    static void fill(const QString& server)
    {
        const QDate day = Clock::today();
        LabStore store(
            ConnectionString::parse(u"Data Source="_s + ConnectionString::quoteValue(server)));
        DemoLaboratory::build(store, day);
        BenchLab::addBenchExam(store, kSaveRows, day);
        BenchLab::addWorkstationRequests(store, kWsSlots, kWsPerSlot, kWsRows, day);
    }

    // What opening a connection costs, from nothing to its search path.
    static void openOnce(PgCluster& cluster)
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, u"bench-open"_s);
            db.setHostName(cluster.socketDir());
            db.setPort(cluster.port());
            db.setUserName(cluster.superuser());
            db.setDatabaseName(u"lis_bench"_s);
            if (!db.open())
                qFatal("%s", qPrintable(db.lastError().text()));
            execOrDie(db, u"SET search_path TO laboratory, patient_data"_s);
            db.close();
        }
        QSqlDatabase::removeDatabase(u"bench-open"_s);
    }

    QSqlDatabase openDirect(const QString& name)
    {
        QSqlDatabase db = m_cluster.connect(u"lis_bench"_s, name);
        if (!db.isOpen())
            qFatal("%s", qPrintable(db.lastError().text()));
        execOrDie(db, u"SET search_path TO laboratory, patient_data"_s);
        return db;
    }

    PgCluster m_cluster;
    QString m_why;
    QString m_version;
    double m_startMs = 0;
};

// The machine's load, for reading the figures: other work on it slows
// both sides of a ratio, but the concurrency figure most.
QString loadAverage()
{
    QFile f(u"/proc/loadavg"_s);
    if (!f.open(QIODevice::ReadOnly))
        return u"unknown"_s;
    return QString::fromLatin1(f.readLine()).section(u' ', 0, 2);
}

// Round trips to the server cost twice as much when the OS happens to wake
// the server's process on the other processor, and where it puts each one
// changes from run to run: the latency figures (a, b, d) run with the bench
// and the server on one processor, so both sides of a ratio pay the same.
// The server's processes inherit the affinity of its first one, which
// inherits the bench's when it starts.
class Processors {
public:
    Processors()
    {
        CPU_ZERO(&m_all);
        CPU_ZERO(&m_one);
        if (sched_getaffinity(0, sizeof m_all, &m_all) != 0)
            return;
        for (int c = 0; c < CPU_SETSIZE; ++c)
            if (CPU_ISSET(c, &m_all)) {
                CPU_SET(c, &m_one);
                break;
            }
    }
    ~Processors() { set(m_all, 0); }
    Processors(const Processors&) = delete;
    Processors& operator=(const Processors&) = delete;
    void useOne(pid_t server) { set(m_one, server); }
    void useAll(pid_t server) { set(m_all, server); }

private:
    void set(const cpu_set_t& cpus, pid_t server)
    {
        if (CPU_COUNT(&cpus) == 0)
            return;
        sched_setaffinity(0, sizeof cpus, &cpus);
        if (server > 0)
            sched_setaffinity(server, sizeof cpus, &cpus);
    }
    cpu_set_t m_all;
    cpu_set_t m_one;
};

QString verdict(double ratio, double goal)
{
    return ratio <= goal ? u"met"_s : u"MISSED"_s;
}

QString ms(double v)
{
    return u"%1 ms"_s.arg(v, 9, 'f', v < 10 ? 3 : 1);
}

double median(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.at(v.size() / 2);
}

double fastest(const QList<double>& v)
{
    return *std::min_element(v.begin(), v.end());
}

void saveHeader(QTextStream& out)
{
    out << u"  %1 %2 %3 %4   %5\n"_s.arg(u"engine"_s, -10)
               .arg(u"command texts"_s, 14)
               .arg(u"direct"_s, 12)
               .arg(u"ratio"_s, 6)
               .arg(u"ms per row"_s, -16);
}

// The save of kSaveRows rows both ways, `rounds` times after one unmeasured
// save each, on requests B-first, B-first+1, ...: the component's and the
// direct one's take turns, so a busy moment of the machine or a table grown
// by the saves before weighs on both alike. Prints one line; the ratio.
double saveLine(QTextStream& out, const Lab& lab, int firstRequest, int rounds,
                double* componentMs = nullptr)
{
    const QDate day = Clock::today();
    QList<double> component, direct;
    Connection db;
    db.open(lab.connectionString);
    DirectSave save(lab.direct(), day);
    for (int i = 0; i <= rounds; ++i) {
        const QString mine = BenchLab::benchRequest(firstRequest + 2 * i);
        const QString theirs = BenchLab::benchRequest(firstRequest + 1 + 2 * i);
        const double c = msOf([&] { saveThroughCommands(db, mine, u"B1"_s, kSaveRows, day); });
        const double d = msOf([&] { save.save(theirs, u"B1"_s, kSaveRows); });
        if (i > 0) {
            component << c;
            direct << d;
        }
    }
    const double c = fastest(component), d = fastest(direct);
    if (componentMs) {
        *componentMs = c;
        return c / d;
    }
    out << u"  %1 %2 %3 %4x   %5 / %6  %7\n"_s.arg(lab.engine, -10)
               .arg(ms(c), 14)
               .arg(ms(d), 12)
               .arg(c / d, 5, 'f', 2)
               .arg(c / kSaveRows, 0, 'f', 3)
               .arg(d / kSaveRows, 0, 'f', 3)
               .arg(verdict(c / d, lab.isServer() ? kSaveGoal : kSqliteSaveGoal));
    if (!lab.isServer())
        judged.sqliteSave = c / d;
    out.flush();
    return c / d;
}

std::optional<double> benchSaves(QTextStream& out, const QList<const Lab*>& labs)
{
    out << u"b. Saving %1 cut-off rows in one transaction: the cut-off window's command texts "
           "through Connection (per row: logbook lookup, item lookup, Lab_SaveWithCutOff, "
           "Lab_UpdateDLHemaResult) against direct prepared writes of the same rows through "
           "QSqlQuery (per row: logbook lookup, item lookup, result and header upserts, posting); "
           "the best of %3, the two taking turns, after one unmeasured save each (goal on "
           "PostgreSQL: within %2x)\n"_s.arg(kSaveRows)
               .arg(kSaveGoal)
               .arg(kSaveRounds);
    saveHeader(out);
    std::optional<double> result;
    for (const Lab* lab : labs) {
        const double ratio = saveLine(out, *lab, kSaveFirstRequest, kSaveRounds);
        if (lab->isServer())
            result = ratio;
    }
    out << "\n";
    return result;
}

// ---- c. concurrent workstations ------------------------------------------------

// Each goal met or missed, by the figures measured; a server's only when
// there was one. The history's goal holds on both engines.
void printGoals(QTextStream& out, bool server, std::optional<double> reads,
                std::optional<double> save, std::optional<double> history)
{
    if (judged.sqliteSample || judged.sqliteSave) {
        out << "Goals on SQLite:\n";
        if (judged.sqliteSample)
            out << u"  a. sp_InstrumentGetAxsymSample within %1x of its direct query: %2 (ratio "
                   "%3x)\n"_s.arg(kSqliteSampleGoal)
                       .arg(*judged.sqliteSample <= kSqliteSampleGoal ? u"met"_s : u"MISSED"_s)
                       .arg(*judged.sqliteSample, 0, 'f', 2);
        if (judged.sqliteSave)
            out << u"  b. %1-row save within %2x of direct writes: %3 (ratio %4x)\n"_s
                       .arg(kSaveRows)
                       .arg(kSqliteSaveGoal)
                       .arg(*judged.sqliteSave <= kSqliteSaveGoal ? u"met"_s : u"MISSED"_s)
                       .arg(*judged.sqliteSave, 0, 'f', 2);
        out << "\n";
    }
    if (history)
        out << u"Goal on every engine measured:\n  d. with ten years of history, every read and "
               "the save within %1x of the empty laboratory: %2 (worst ratio %3x)\n\n"_s
                   .arg(kHistoryGoal)
                   .arg(*history <= kHistoryGoal ? u"met"_s : u"MISSED"_s)
                   .arg(*history, 0, 'f', 2);
    if (!reads && !save && !judged.workstations)
        return;
    if (!server) {
        out << "Goals on PostgreSQL: not measured, there was no server\n\n";
        return;
    }
    out << "Goals on PostgreSQL:\n";
    if (reads)
        out << u"  a. reads within %1x of the direct query: %2 (worst ratio %3x)\n"_s.arg(kReadGoal)
                   .arg(*reads <= kReadGoal ? u"met"_s : u"MISSED"_s)
                   .arg(*reads, 0, 'f', 2);
    if (save)
        out << u"  b. %1-row save within %2x of direct writes: %3 (ratio %4x)\n"_s.arg(kSaveRows)
                   .arg(kSaveGoal)
                   .arg(*save <= kSaveGoal ? u"met"_s : u"MISSED"_s)
                   .arg(*save, 0, 'f', 2);
    if (judged.workstations)
        out << u"  c. 8 workstations at %1x one workstation's saves per second or more: %2 "
               "(%3x)\n"_s.arg(kWorkstationsGoal)
                   .arg(*judged.workstations >= kWorkstationsGoal ? u"met"_s : u"MISSED"_s)
                   .arg(*judged.workstations, 0, 'f', 2);
    out << "\n";
    out.flush();
}

} // namespace EngineFigures

using namespace EngineFigures;

void benchEngines(QTextStream& out, const QStringList& parts, const QString& self)
{
    registerLabDrivers();
    out << u"Both engines, side by side in this run (load average %1, %2 processors)\n"_s
               .arg(loadAverage())
               .arg(QThread::idealThreadCount());
    out.flush();
    Processors processors;
    processors.useOne(0);
    SqliteLab sqlite;
    PgLab pg;
    QList<const Lab*> labs{&sqlite.lab};
    if (pg.ready()) {
        labs << &pg.lab;
        out << u"  PostgreSQL %1: a throwaway server of this run (socket only, fsync and "
               "synchronous_commit off), started in %2 s; SQLite: WAL, synchronous=NORMAL\n"_s
                   .arg(pg.version())
                   .arg(pg.startMs() / 1000.0, 0, 'f', 1);
    } else {
        out << u"  PostgreSQL is not available here (%1): the SQLite figures only\n"_s.arg(
            pg.why());
    }
    out << "  a, b and d run with the bench and the server on one processor (where the OS "
           "wakes each server process would otherwise swing single reads by 2x between runs); "
           "c uses all of them\n\n";
    out.flush();
    std::optional<double> reads, save;
    if (parts.contains(u"engine-reads"_s))
        reads = benchReads(out, labs);
    if (parts.contains(u"engine-save"_s))
        save = benchSaves(out, labs);
    if (parts.contains(u"workstations"_s)) {
        processors.useAll(pg.ready() ? pg.serverPid() : 0);
        benchWorkstations(out, labs, self);
        processors.useOne(pg.ready() ? pg.serverPid() : 0);
    }
    std::optional<double> history;
    if (parts.contains(u"history"_s)) {
        SqliteLab sqliteYears(u"bench-years-sqlite"_s);
        QList<const Lab*> years{&sqliteYears.lab};
        std::unique_ptr<PgLab> pgYears;
        if (pg.ready()) {
            pgYears = std::make_unique<PgLab>(u"bench-years-pg"_s);
            if (!pgYears->ready())
                qFatal("the second server of figure d: %s", qPrintable(pgYears->why()));
            processors.useOne(pgYears->serverPid());
            years << &pgYears->lab;
        }
        history = benchHistory(out, labs, years);
    }
    out << u"  load average now %1\n\n"_s.arg(loadAverage());
    printGoals(out, pg.ready(), reads, save, history);
}
