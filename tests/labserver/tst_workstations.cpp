#include "labserver/EmbeddedDriver.h"
#include "labserver/LabSession.h"
#include "labserver/demo/DemoLaboratory.h"
#include "tests/labserver/Workstations.h"
#include "tests/support/Caught.h"
#include "tests/support/Rows.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>
#include <atomic>
#include <thread>

using namespace Qt::StringLiterals;

namespace {
using Workstations::request;

// A workstation process (workstation_child.cpp), killed and reaped whatever
// the test's outcome; `seen` holds every line it wrote that was read.
class Workstation {
public:
    explicit Workstation(const QStringList& arguments)
    {
        m_p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_p.start(QStringLiteral(LIS_WORKSTATION_CHILD), arguments);
    }
    ~Workstation() { kill(); }

    // Kills it and reads what it wrote before it died.
    void kill()
    {
        if (m_p.state() != QProcess::NotRunning) {
            m_p.kill();
            m_p.waitForFinished(10000);
        }
        until(u"\n"_s); // no line starts so: reads them all
    }

    // The first line starting with `prefix`; empty when none comes within a
    // minute or before it ends.
    QString until(const QString& prefix)
    {
        const QDeadlineTimer deadline(60000);
        for (;;) {
            while (m_p.canReadLine()) {
                seen << QString::fromUtf8(m_p.readLine()).trimmed();
                if (seen.last().startsWith(prefix))
                    return seen.last();
            }
            if (m_p.state() == QProcess::NotRunning || deadline.hasExpired()) {
                if (const QString rest = QString::fromUtf8(m_p.readAll()).trimmed();
                    !rest.isEmpty())
                    seen << rest;
                return {};
            }
            m_p.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
    }

    QStringList seen;

private:
    QProcess m_p;
};

// Rows of the test's own requests, W-0001...
const QString kOurs = u"substr(%1, 1, 2) = 'W-'"_s;

// The cut-off save of one row of request W-n.
QString cutOffSave(int n, const char* remark)
{
    return u"Laboratory..Lab_SaveWithCutOff 'A-1','3/7/2024 2:05:00 PM', "
           "'3/7/2024 2:05:00 PM','%1','HBSAG', '5', 'Exam HBSAG', '0.42', "
           "'1', '0.42', '%2','1'"_s.arg(request(n), QLatin1String(remark));
}

// A request's saved rows: its logbook entries, its results (remarks,
// verified, by whom) and its result headers' remarks.
struct Saved {
    int logbook = 0;
    QStringList results;
    QStringList headers;
    bool whole() const { return logbook == 1 && results.size() == 3 && headers.size() == 1; }
};
} // namespace

// Workstations sharing one laboratory, embedded or on a server: each waits
// for the others' locks instead of failing, and a workstation that dies
// mid-save leaves nothing half saved.
class TstWorkstations : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        LIS_REQUIRE_ENGINE();
        m_db = std::make_unique<TestDatabase>();
        DemoLaboratory::build(m_db->store(), QDate(2024, 3, 7));
        // Each workstation's technologist, known to the laboratory.
        for (int k = 0; k < 9; ++k)
            m_db->store().exec(u"INSERT INTO tbLabStaff (StaffID, StaffName, Role) "
                               "VALUES (?, ?, 'Medical Technologist') "
                               "ON CONFLICT DO NOTHING"_s,
                               {employee(k), employee(k)});
    }
    void cleanup() { m_db.reset(); }

    // Eight workstations at once save, verify and read four requests, each
    // request in the hands of two of them in every round, each saving and
    // verifying as its own employee and posting the instrument's sample 101
    // to the request it saves. None fails for a lock (they wait up to the
    // usual 5 s), saves of a request never overlap, readers never see part of
    // a save, and afterwards each request is as its last save and the
    // verifications after it left it.
    void eightWorkstationsOnTheSameRequests()
    {
        constexpr int kStations = 8, kRequests = 4, kRounds = 6;
        addRequests(kRequests);
        const QString go = m_db->folder() + u"/go"_s;
        std::vector<std::unique_ptr<Workstation>> stations;
        for (int k = 0; k < kStations; ++k) {
            QStringList args{u"shift"_s, m_db->connectionString(), employee(k), go};
            for (int i = 0; i < kRounds; ++i)
                args << QString::number((k + i) % kRequests + 1);
            stations.push_back(std::make_unique<Workstation>(args));
        }
        for (auto& s : stations)
            QCOMPARE(s->until(u"ready"_s), u"ready"_s);
        QVERIFY(QFile(go).open(QIODevice::WriteOnly));

        // saved: request, lock taken, committing; verified: request, sent, answered.
        struct Event {
            QString request;
            qint64 from, to;
            QString employee;
        };
        QList<Event> saved, verified;
        for (int k = 0; k < kStations; ++k) {
            Workstation& s = *stations[k];
            const QString done = s.until(u"done"_s);
            QVERIFY2(done == u"done %1 %1 %1 0"_s.arg(kRounds) &&
                         s.seen.filter(QRegularExpression(u"^(error|torn)"_s)).isEmpty(),
                     qPrintable(employee(k) + u": "_s + s.seen.join(u" | "_s)));
            for (const QString& line : std::as_const(s.seen)) {
                const QStringList f = line.split(u' ');
                if (f[0] == u"saved"_s || f[0] == u"verified"_s)
                    (f[0] == u"saved"_s ? saved : verified)
                        << Event{f[1], f[2].toLongLong(), f[3].toLongLong(), employee(k)};
            }
        }
        std::sort(saved.begin(), saved.end(),
                  [](const Event& a, const Event& b) { return a.from < b.from; });

        // One save of a request at a time: each ends before the next takes
        // the request's lock.
        for (qsizetype i = 1; i < saved.size(); ++i)
            for (qsizetype j = 0; j < i; ++j)
                QVERIFY2(saved[j].request != saved[i].request || saved[j].to < saved[i].from,
                         qPrintable(u"%1 by %2 overlaps its save by %3"_s.arg(
                             saved[j].request, saved[j].employee, saved[i].employee)));

        QCOMPARE(integrity(), QString());
        const QMap<QString, Saved> state = savedRequests();
        for (int n = 1; n <= kRequests; ++n) {
            const QString req = request(n);
            const Saved s = state.value(req);
            // One logbook entry, however many saved it; the last save whole.
            QVERIFY2(s.whole(), qPrintable(req));
            const auto last = std::find_if(saved.rbegin(), saved.rend(),
                                           [&](const Event& e) { return e.request == req; });
            const QString remarks = u"Save %1 by %2"_s.arg(QString::number(n), last->employee);
            QCOMPARE(s.headers, QStringList{remarks});
            // Verified unless no verification may have followed the last
            // save; by one that may have.
            QStringList possible;
            bool surelyVerified = false;
            for (const Event& v : std::as_const(verified)) {
                if (v.request != req || v.to < last->to)
                    continue;
                possible << remarks + u"/Y/"_s + v.employee;
                surelyVerified = surelyVerified || v.from > last->to;
            }
            if (!surelyVerified)
                possible << remarks + u"/N/"_s;
            QVERIFY2(s.results.count(s.results[0]) == 3 && possible.contains(s.results[0]),
                     qPrintable(req + u": "_s + s.results.join(u", "_s) + u", expected one of "_s +
                                possible.join(u", "_s)));
        }

        // The instrument's sample is posted whole to the last request saved,
        // by the first of its saves since another request had the sample: a
        // save of the request the sample is posted to leaves the posting.
        // Saves hold the sample from its posting to their commit, so they
        // post in the order they commit.
        std::sort(saved.begin(), saved.end(),
                  [](const Event& a, const Event& b) { return a.to < b.to; });
        QCOMPARE(audit(), u"0"_s);
        const Event& last = saved.last();
        auto first = saved.size() - 1;
        while (first > 0 && saved[first - 1].request == last.request)
            --first;
        QStringList posted = textRows(m_db->query(
            u"SELECT InstrumentItem, PostedRequestNum, PostedBy FROM tbLabInstrumentDLHemaResult "
            "WHERE SampleNum = '101' AND "_s +
            kOurs.arg(u"PostedRequestNum"_s)));
        posted.sort();
        QCOMPARE(posted, (QStringList{u"HBsAg %1 %2"_s, u"aHBc %1 %2"_s, u"aHBs %1 %2"_s})
                             .replaceInStrings(u"%1"_s, last.request)
                             .replaceInStrings(u"%2"_s, saved[first].employee));
    }

    void killedMidSave_data()
    {
        QTest::addColumn<int>("pauseStep"); // in the second save; -1: killed at a time
        QTest::addColumn<int>("delayMs");   // after the third save, when killed at a time
        QTest::newRow("transaction begun") << 1 << 0;
        QTest::newRow("two rows saved and posted") << 10 << 0;
        QTest::newRow("before commit") << 14 << 0;
        for (int ms : {0, 3})
            QTest::addRow("at %d ms", ms) << -1 << ms;
    }
    void killedMidSave()
    {
        QFETCH(int, pauseStep);
        QFETCH(int, delayMs);
        addRequests(200);
        // A save before the one killed, so the database has been written.
        QStringList args{u"save"_s, m_db->connectionString(), u"1"_s, u"200"_s};
        if (pauseStep >= 0)
            args << u"2"_s << QString::number(pauseStep);
        Workstation saver(args);
        const QString killAfter = QLatin1String(pauseStep >= 0 ? "paused" : "saved 3");
        QCOMPARE(saver.until(killAfter), killAfter);
        QThread::msleep(delayMs);
        saver.kill();
        const int reported = int(saver.seen.filter(u"saved"_s).size());
        QCOMPARE(saver.seen.filter(u"error"_s), QStringList());

        QCOMPARE(integrity(), QString());
        // Each request saved whole or not at all.
        int whole = 0;
        for (const auto& [req, saved] : savedRequests().asKeyValueRange()) {
            QVERIFY2(saved.whole() ||
                         (!saved.logbook && saved.results.isEmpty() && saved.headers.isEmpty()),
                     qPrintable(req + u" saved in part"_s));
            whole += saved.whole();
        }
        // Killed between a commit and its report, one more may be whole.
        QVERIFY2(whole == reported || (pauseStep < 0 && whole == reported + 1),
                 qPrintable(u"%1 whole, %2 reported"_s.arg(whole).arg(reported)));
        // The instrument's results are posted to the last whole save only.
        QCOMPARE(textRows(m_db->query(u"SELECT DISTINCT PostedRequestNum FROM "
                                      "tbLabInstrumentDLHemaResult WHERE SampleNum = '101' AND "_s +
                                      kOurs.arg(u"PostedRequestNum"_s))),
                 QStringList{request(whole)});

        // The dead workstation's lock went with it.
        const auto next = session();
        next->store().setBusyTimeout(1000);
        next->run(u"LAB_Save_VerifyResults 'L-1006','MT03'"_s);
    }

    // Another workstation is mid-save of a request: readers go on, a writer
    // of that request waits the timeout and then says what is locked, and
    // the session works once the lock is free.
    void aLockHeldTooLongIsNamed()
    {
        const auto ws = session();
        ws->store().setBusyTimeout(200);
        const QString verify = u"LAB_Save_VerifyResults 'L-1006','MT09'"_s;
        const QString logbook = u"select * from tbLabLogbook where RequestNum = 'L-1006'"_s;
        const auto holder = session();
        holder->beginTransaction();
        holder->run(logbook);
        QElapsedTimer t;
        t.start();
        for (const char* read : {"Lab_GetResultWithCutOff 'L-1006'",
                                 "select * from tbLabResult where RequestNum = 'L-1006'"})
            QCOMPARE(ws->run(QLatin1String(read)).rows.size(), 4);
        QVERIFY2(t.elapsed() < 200, "a reader waited for the writer");

        // A write alone and one in a transaction wait, then say what is locked.
        for (const bool inTransaction : {false, true}) {
            t.restart();
            const Caught e = caught([&] {
                if (inTransaction)
                    ws->beginTransaction();
                ws->run(inTransaction ? logbook : verify);
            });
            if (inTransaction)
                ws->rollbackTransaction();
            QCOMPARE(e.number, ErrNo::DbCommandFailed);
            QCOMPARE(e.description,
                     u"The laboratory database %1 is busy: another workstation has "
                     "held it for more than 0.2 seconds. Try again; if it stays "
                     "busy, let the saves on the other workstations finish, and "
                     "restart the one whose save does not end."_s.arg(ws->store().where()));
            QVERIFY(t.elapsed() >= 200);
        }
        holder->rollbackTransaction();

        // Nothing half done is left open: the write is seen by others at once.
        ws->run(verify);
        QCOMPARE(rows("SELECT DISTINCT VerifiedBy FROM tbLabResult WHERE RequestNum = 'L-1006'"),
                 (QList<QVariantList>{{u"MT09"_s}}));
    }

    // On a server a save of another request goes on while one is open and
    // commits first, though its audit rows were written later; a save of the
    // same request waits. Two saves that then each hold the request the
    // other wants: the server stops one, which runs again once the other is
    // through; neither says anything to its staff, and both are kept. The
    // audit trail stays one chain, in sealing order. The embedded laboratory
    // has one writer at a time.
    void savesOfDifferentRequestsOverlap()
    {
        addRequests(2);
        const bool parallel = TestDatabase::engine() == Engine::PostgreSQL;
        const auto first = session();
        const auto second = session();
        second->store().setBusyTimeout(200);
        first->beginTransaction();
        first->run(cutOffSave(1, "first"));
        // Another request: saved at once on a server, else after the timeout.
        QCOMPARE(caught([&] { second->run(cutOffSave(2, "second")); }).number,
                 parallel ? 0 : ErrNo::DbCommandFailed);
        // The same request waits on either engine.
        QCOMPARE(caught([&] { second->run(cutOffSave(1, "second")); }).number,
                 ErrNo::DbCommandFailed);
        first->commitTransaction();
        QCOMPARE(rows("SELECT RequestNum, Remarks FROM tbLabResult WHERE RequestNum IN ('W-0001', "
                      "'W-0002') ORDER BY RequestNum"),
                 (parallel
                      ? QList<QVariantList>{{request(1), u"first"_s}, {request(2), u"second"_s}}
                      : QList<QVariantList>{{request(1), u"first"_s}}));
        QCOMPARE(audit(), u"0"_s);
        if (!parallel)
            return;
        // The first save numbered its rows first and sealed them last.
        QCOMPARE(rows("SELECT min(a.AuditID) < min(b.AuditID), min(a.SealNo) > max(b.SealNo) "
                      "FROM tbLabResultAudit a, tbLabResultAudit b WHERE a.RequestNum = "
                      "'W-0001' AND b.RequestNum = 'W-0002'"),
                 (QList<QVariantList>{{true, true}}));

        first->beginTransaction();
        first->run(cutOffSave(1, "mine"));
        std::atomic<bool> holding = false;
        Caught theirs;
        std::thread other([&] {
            theirs = caught([&] {
                const auto s = session();
                s->beginTransaction();
                s->run(cutOffSave(2, "theirs"));
                holding = true;
                s->run(cutOffSave(1, "theirs"));
                s->commitTransaction();
            });
        });
        while (!holding)
            QThread::msleep(5);
        QThread::msleep(100); // theirs waits for request 1
        const Caught ours = caught([&] {
            first->run(cutOffSave(2, "mine"));
            first->commitTransaction();
        });
        other.join();
        QCOMPARE(ours.description + theirs.description, QString());
        QCOMPARE(textRows(m_db->query(
                     u"SELECT RequestNum, count(DISTINCT NewValue) FROM tbLabResultAudit WHERE "
                     "Field = 'Remarks' AND NewValue IN ('mine', 'theirs') GROUP BY RequestNum "
                     "ORDER BY RequestNum"_s)),
                 (QStringList{u"W-0001 2"_s, u"W-0002 2"_s}));
        QCOMPARE(audit(), u"0"_s);
    }

private:
    QList<QVariantList> rows(const char* sql) { return m_db->query(QLatin1String(sql)).rows; }
    QVariant value(const char* sql) { return rows(sql).value(0).value(0); }
    // The first audit row whose seal does not follow from the rows before.
    QString audit() { return session()->run(u"Lab_CheckAuditTrail"_s).rows[0][1].toString(); }
    QString employee(int station) const { return u"MT%1"_s.arg(station + 1, 2, 10, QChar(u'0')); }

    // A session of its own with the laboratory, as a workstation opens one.
    std::unique_ptr<LabSession> session()
    {
        registerLabDrivers();
        const ConnectionString cs = ConnectionString::parse(m_db->connectionString());
        return std::unique_ptr<LabSession>(
            static_cast<LabSession*>(DriverRegistry::find(cs)->connect(cs).release()));
    }

    // Requests W-0001..W-<count> of L-1001's exam, for the saves.
    void addRequests(int count)
    {
        LabStore& store = m_db->store();
        store.begin();
        for (int n = 1; n <= count; ++n)
            store.exec(u"INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, "
                       "IDNum, Code, RequestDate) SELECT ?, RefNum, HospNum, "
                       "IDNum, Code, RequestDate FROM tbLabRequest WHERE "
                       "RequestNum = 'L-1001'"_s,
                       {request(n)});
        store.commit();
    }

    // What the embedded databases' own check finds amiss; the server keeps
    // its pages itself.
    QString integrity()
    {
        if (TestDatabase::engine() != Engine::SQLite)
            return {};
        QStringList found;
        for (const char* check :
             {"PRAGMA main.integrity_check", "PRAGMA patient_data.integrity_check"})
            if (const QString v = value(check).toString(); v != u"ok"_s)
                found << v;
        return found.join(u' ');
    }

    // The W- requests' rows, by request.
    QMap<QString, Saved> savedRequests()
    {
        QMap<QString, Saved> saved;
        const auto ours = [&](const char* sql) {
            return m_db->query(QString::fromLatin1(sql).arg(kOurs.arg(u"RequestNum"_s))).rows;
        };
        for (const QVariantList& r :
             ours("SELECT RequestNum, count(*) FROM tbLabLogbook WHERE %1 GROUP BY RequestNum"))
            saved[r[0].toString()].logbook = r[1].toInt();
        for (const QVariantList& r :
             ours("SELECT RequestNum, Remarks, Verified, VerifiedBy FROM tbLabResult WHERE %1"))
            saved[r[0].toString()].results
                << QStringList{r[1].toString(), r[2].toString(), r[3].toString()}.join(u'/');
        for (const QVariantList& r :
             ours("SELECT RequestNum, Remarks FROM tbLabResultHeader WHERE %1"))
            saved[r[0].toString()].headers << r[1].toString();
        return saved;
    }

    std::unique_ptr<TestDatabase> m_db;
};

QTEST_GUILESS_MAIN(TstWorkstations)
#include "tst_workstations.moc"
