#include "Caught.h"
#include "DemoLaboratory.h"
#include "EmbeddedSession.h"
#include "ProcedureRegistry.h"
#include "TestDatabase.h"

#include <QProcess>
#include <QtTest>

namespace {
// Requests W-0001..W-kRequests of L-1001's exam, for the saves.
constexpr int kRequests = 4000;

// A workstation process (workstation_child.cpp), killed and reaped whatever
// the test's outcome.
class Workstation {
public:
    explicit Workstation(const QStringList& arguments)
    {
        m_p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_p.start(QStringLiteral(LIS_WORKSTATION_CHILD), arguments);
    }
    ~Workstation() { kill(); }
    Workstation(const Workstation&) = delete;
    Workstation& operator=(const Workstation&) = delete;

    void kill()
    {
        if (m_p.state() != QProcess::NotRunning) {
            m_p.kill();
            m_p.waitForFinished(10000);
        }
    }

    // The next line it writes; empty when none comes within the time.
    QString next(int ms = 60000)
    {
        const QDeadlineTimer deadline(ms);
        while (!m_p.canReadLine()) {
            if (m_p.state() == QProcess::NotRunning || deadline.hasExpired())
                return QString::fromUtf8(m_p.readAll()).trimmed();
            m_p.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
        }
        return QString::fromUtf8(m_p.readLine()).trimmed();
    }
    // Lines up to one starting with `prefix` (returned whole), or empty.
    QString until(const QString& prefix, QStringList* seen = nullptr, int ms = 60000)
    {
        const QDeadlineTimer deadline(ms);
        for (QString line = next(ms); !line.isEmpty();
             line = next(int(qMax<qint64>(1, deadline.remainingTime())))) {
            if (seen)
                seen->append(line);
            if (line.startsWith(prefix))
                return line;
        }
        return {};
    }

private:
    QProcess m_p;
};

// Whole W- saves: logbook entry, three results and the header, or none of
// them. Requests saved in part are listed in `broken`.
int wholeSaves(TestDatabase& db, int first, int last, QStringList* broken)
{
    const ResultSet rs = db.query(
        QStringLiteral("SELECT r.RequestNum, "
                       "(SELECT count(*) FROM tbLabLogbook l WHERE l.RequestNum = r.RequestNum), "
                       "(SELECT count(*) FROM tbLabResult x WHERE x.RequestNum = r.RequestNum), "
                       "(SELECT count(*) FROM tbLabResultHeader h WHERE h.RequestNum = "
                       "r.RequestNum) FROM tbLabRequest r WHERE r.RequestNum BETWEEN "
                       "printf('W-%04d', %1) AND printf('W-%04d', %2)")
            .arg(first)
            .arg(last));
    int whole = 0;
    for (const QVariantList& r : rs.rows) {
        const QString counts =
            QStringLiteral("%1 %2 %3").arg(r[1].toInt()).arg(r[2].toInt()).arg(r[3].toInt());
        if (counts == QLatin1String("1 3 1"))
            ++whole;
        else if (counts != QLatin1String("0 0 0"))
            broken->append(r[0].toString() + QLatin1Char(' ') + counts);
    }
    return whole;
}

QString integrity(TestDatabase& db)
{
    return db.query(QStringLiteral("PRAGMA main.integrity_check"))
               .rows.value(0)
               .value(0)
               .toString() +
           QLatin1Char(' ') +
           db.query(QStringLiteral("PRAGMA patient_data.integrity_check"))
               .rows.value(0)
               .value(0)
               .toString();
}
} // namespace

// Workstations sharing one laboratory folder: each waits for the others'
// locks instead of failing, and a workstation that dies mid-save leaves
// nothing half saved.
class TstWorkstations : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_db = std::make_unique<TestDatabase>();
        DemoLaboratory::build(m_db->folder(), QDate(2024, 3, 7));
        m_db->exec(QStringLiteral(
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < "
                       "%1) INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, IDNum, Code, "
                       "RequestDate) SELECT printf('W-%04d', i), RefNum, HospNum, IDNum, Code, "
                       "RequestDate FROM tbLabRequest, n WHERE RequestNum = 'L-1001'")
                       .arg(kRequests));
    }
    void cleanup() { m_db.reset(); }

    void savesAndVerificationsAtOnce()
    {
        const QString stop = m_db->folder() + QStringLiteral("/stop");
        Workstation saver({QStringLiteral("save"), m_db->folder(), QStringLiteral("1"),
                           QString::number(kRequests), stop});
        QCOMPARE(saver.next(), QStringLiteral("saved 1"));
        const int rounds = 50;
        Workstation verifier({QStringLiteral("verify"), m_db->folder(), QString::number(rounds)});
        QStringList seen;
        const QString done = verifier.until(QStringLiteral("done"), &seen);
        QFile(stop).open(QIODevice::WriteOnly);
        QStringList saves;
        const QString saverDone = saver.until(QStringLiteral("done"), &saves);
        qInfo("verifier: %s; saver: %s", qPrintable(seen.join(QStringLiteral(" | "))),
              qPrintable(saverDone));

        // done: verified, logged, read, selected, failed, slowest ms.
        const QStringList v = done.split(QLatin1Char(' '));
        QCOMPARE(v.mid(0, 6), (QStringList{"done", "50", "50", "50", "50", "0"}));
        QCOMPARE(saverDone.section(QLatin1Char(' '), 2), QStringLiteral("0"));
        const int saved = saverDone.section(QLatin1Char(' '), 1, 1).toInt();
        QVERIFY2(saved > 1, qPrintable(saverDone));

        // Nothing lost on either side.
        QStringList broken;
        QCOMPARE(wholeSaves(*m_db, 1, kRequests, &broken), saved);
        QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QStringLiteral(", "))));
        QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM tbLabLogbook WHERE RequestNum "
                                            "= 'L-1014' AND Note = 'check'"))
                     .rows[0][0]
                     .toInt(),
                 rounds);
        QCOMPARE(m_db->query(QStringLiteral("SELECT DISTINCT VerifiedBy FROM tbLabResult WHERE "
                                            "RequestNum = 'L-1006'"))
                     .rows,
                 (QList<QVariantList>{{QStringLiteral("MT02")}}));
        QCOMPARE(integrity(*m_db), QStringLiteral("ok ok"));
    }

    void killedMidSave_data()
    {
        QTest::addColumn<int>("pauseStep"); // in the second save; -1: killed at a time
        QTest::addColumn<int>("delayMs");   // after the third save, when killed at a time
        QTest::newRow("transaction begun") << 1 << 0;
        QTest::newRow("logbook entry written") << 3 << 0;
        QTest::newRow("two rows saved and posted") << 10 << 0;
        QTest::newRow("before commit") << 14 << 0;
        for (int ms : {0, 1, 3})
            QTest::addRow("at %d ms", ms) << -1 << ms;
    }
    void killedMidSave()
    {
        QFETCH(int, pauseStep);
        QFETCH(int, delayMs);
        const int first = 1;
        const int last = 200;
        // A save before the one killed, so the database has been written.
        QStringList args{QStringLiteral("save"), m_db->folder(), QString::number(first),
                         QString::number(last), QString()};
        if (pauseStep >= 0)
            args << QStringLiteral("2") << QString::number(pauseStep);
        QStringList seen;
        {
            Workstation saver(args);
            if (pauseStep >= 0) {
                QCOMPARE(saver.until(QStringLiteral("paused"), &seen), QStringLiteral("paused"));
            } else {
                QCOMPARE(saver.until(QStringLiteral("saved 3"), &seen), QStringLiteral("saved 3"));
                QThread::msleep(delayMs);
            }
            saver.kill();
            for (QString line = saver.next(0); !line.isEmpty(); line = saver.next(0))
                seen.append(line);
        }
        const int reported = int(seen.filter(QStringLiteral("saved")).size());
        QCOMPARE(seen.filter(QStringLiteral("error")), QStringList());

        QCOMPARE(integrity(*m_db), QStringLiteral("ok ok"));
        QStringList broken;
        const int whole = wholeSaves(*m_db, first, last, &broken);
        QVERIFY2(broken.isEmpty(), qPrintable(broken.join(QStringLiteral(", "))));
        // Killed between a commit and its report, one more may be whole.
        QVERIFY2(whole == reported || (pauseStep < 0 && whole == reported + 1),
                 qPrintable(QStringLiteral("%1 whole, %2 reported").arg(whole).arg(reported)));
        // The instrument's results are posted to the last whole save only.
        QCOMPARE(
            m_db->query(QStringLiteral("SELECT DISTINCT PostedRequestNum FROM "
                                       "tbLabInstrumentDLHemaResult WHERE SampleNum = '101' "
                                       "AND PostedRequestNum LIKE 'W-%'"))
                .rows,
            (QList<QVariantList>{{QStringLiteral("W-%1").arg(whole, 4, 10, QLatin1Char('0'))}}));

        // The dead workstation's lock went with it.
        EmbeddedSession next(m_db->folder());
        next.store().setBusyTimeout(1000);
        next.run(QStringLiteral("LAB_Save_VerifyResults 'L-1006','MT03'"));
    }

    // Another connection holds the write lock (a workstation mid-save):
    // readers go on, a writer waits the timeout and then says what is
    // locked, and the session works once the lock is free.
    void aLockHeldTooLongIsNamed()
    {
        EmbeddedSession ws(m_db->folder());
        ws.store().setBusyTimeout(200);
        const QString verify = QStringLiteral("LAB_Save_VerifyResults 'L-1006','MT09'");
        m_db->exec(QStringLiteral("BEGIN IMMEDIATE"));
        QElapsedTimer t;
        t.start();
        QCOMPARE(ws.run(QStringLiteral("Lab_GetResultWithCutOff 'L-1006'")).rows.size(), 4);
        QCOMPARE(ws.run(QStringLiteral("select * from tbLabResult where RequestNum = 'L-1006'"))
                     .rows.size(),
                 4);
        QVERIFY2(t.elapsed() < 200, "a reader waited for the writer");

        const std::function<void()> writes[] = {[&] { ws.run(verify); },
                                                [&] { ws.beginTransaction(); }};
        for (const auto& write : writes) {
            t.restart();
            const Caught e = caught(write);
            QCOMPARE(e.number, ErrNo::DbCommandFailed);
            QCOMPARE(e.description,
                     QStringLiteral("The laboratory database %1 is busy: another workstation has "
                                    "held it for more than 0.2 seconds. Try again; if it stays "
                                    "busy, let the saves on the other workstations finish, and "
                                    "restart the one whose save does not end.")
                         .arg(m_db->folder()));
            QVERIFY(t.elapsed() >= 200);
        }
        m_db->exec(QStringLiteral("ROLLBACK"));

        // Nothing half done is left open: the write is seen by others at once.
        ws.run(verify);
        QCOMPARE(m_db->query(QStringLiteral("SELECT DISTINCT VerifiedBy FROM tbLabResult WHERE "
                                            "RequestNum = 'L-1006'"))
                     .rows,
                 (QList<QVariantList>{{QStringLiteral("MT09")}}));
    }

    // A procedure registered as a reader takes no write lock, so a write in
    // it is refused, alone or in a transaction, and writes work after it.
    void aReaderThatWritesIsRefused()
    {
        ProcedureRegistry::add(
            {QStringLiteral("Test_ReadsButWrites"), 0, 0,
             [](ProcedureContext& c) {
                 c.store().exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                                               "VALUES ('L-1001', '2024-01-01 00:00:00')"));
                 return ResultSet();
             },
             ProcedureAccess::Reads});
        EmbeddedSession ws(m_db->folder());
        const auto logbook = [&] {
            return m_db
                ->query(QStringLiteral("SELECT Note FROM tbLabLogbook WHERE RequestNum = "
                                       "'L-1001' ORDER BY LogbookID"))
                .rows;
        };
        const auto before = logbook();
        for (const bool inTransaction : {false, true}) {
            if (inTransaction)
                ws.beginTransaction();
            const Caught e = caught([&] { ws.run(QStringLiteral("Test_ReadsButWrites")); });
            QVERIFY2(e.description.startsWith(QStringLiteral(
                         "Only reading is allowed here, and this statement writes: INSERT INTO "
                         "tbLabLogbook")),
                     qPrintable(e.description));
            ws.run(QStringLiteral("Lab_ResultEntryDLL_SaveToLogbook 'L-1001', 'after', 'MT01', "
                                  "'', '', ''"));
            if (inTransaction)
                ws.commitTransaction();
        }
        QCOMPARE(logbook(), before + QList<QVariantList>({{"after"}, {"after"}}));
    }

private:
    std::unique_ptr<TestDatabase> m_db;
};

QTEST_GUILESS_MAIN(TstWorkstations)
#include "tst_workstations.moc"
