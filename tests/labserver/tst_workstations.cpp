#include "Caught.h"
#include "DemoLaboratory.h"
#include "LabSession.h"
#include "ProcedureRegistry.h"
#include "TestDatabase.h"

#include <QProcess>
#include <QtTest>

namespace {
// Requests W-0001..W-kRequests of L-1001's exam, for the saves.
constexpr int kRequests = 4000;

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
        until(QStringLiteral("\n")); // no line starts so: reads them all
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
        QCOMPARE(saver.until(QStringLiteral("saved")), QStringLiteral("saved 1"));
        Workstation verifier({QStringLiteral("verify"), m_db->folder(), QStringLiteral("50")});
        const QString verified = verifier.until(QStringLiteral("done"));
        QFile(stop).open(QIODevice::WriteOnly);
        const QString done = saver.until(QStringLiteral("done"));

        // done: verified, logged, read, selected, failed, slowest ms.
        QVERIFY2(verified.startsWith(QStringLiteral("done 50 50 50 50 0 ")),
                 qPrintable(verifier.seen.join(QStringLiteral(" | "))));
        // done: saved, failed.
        const int saved = done.section(QLatin1Char(' '), 1, 1).toInt();
        QCOMPARE(done, QStringLiteral("done %1 0").arg(saved));
        QVERIFY(saved > 1);

        // Nothing lost on either side.
        QCOMPARE(saves(), QStringLiteral("ok ok, %1 whole").arg(saved));
        QCOMPARE(value("SELECT count(*) FROM tbLabLogbook WHERE RequestNum = 'L-1014' AND "
                       "Note = 'check'"),
                 50);
        QCOMPARE(rows("SELECT DISTINCT VerifiedBy FROM tbLabResult WHERE RequestNum = 'L-1006'"),
                 (QList<QVariantList>{{QStringLiteral("MT02")}}));
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
        // A save before the one killed, so the database has been written.
        QStringList args{QStringLiteral("save"), m_db->folder(), QStringLiteral("1"),
                         QStringLiteral("200"), QString()};
        if (pauseStep >= 0)
            args << QStringLiteral("2") << QString::number(pauseStep);
        Workstation saver(args);
        const QString killAfter = QLatin1String(pauseStep >= 0 ? "paused" : "saved 3");
        QCOMPARE(saver.until(killAfter), killAfter);
        QThread::msleep(delayMs);
        saver.kill();
        const int reported = int(saver.seen.filter(QStringLiteral("saved")).size());
        QCOMPARE(saver.seen.filter(QStringLiteral("error")), QStringList());

        const QString state = saves();
        const int whole = state.section(QLatin1Char(' '), 2, 2).toInt();
        QCOMPARE(state, QStringLiteral("ok ok, %1 whole").arg(whole));
        // Killed between a commit and its report, one more may be whole.
        QVERIFY2(whole == reported || (pauseStep < 0 && whole == reported + 1),
                 qPrintable(QStringLiteral("%1 whole, %2 reported").arg(whole).arg(reported)));
        // The instrument's results are posted to the last whole save only.
        QCOMPARE(
            rows("SELECT DISTINCT PostedRequestNum FROM tbLabInstrumentDLHemaResult WHERE "
                 "SampleNum = '101' AND PostedRequestNum LIKE 'W-%'"),
            (QList<QVariantList>{{QStringLiteral("W-%1").arg(whole, 4, 10, QLatin1Char('0'))}}));

        // The dead workstation's lock went with it.
        LabSession next(m_db->folder());
        next.store().setBusyTimeout(1000);
        next.run(QStringLiteral("LAB_Save_VerifyResults 'L-1006','MT03'"));
    }

    // Another connection holds the write lock (a workstation mid-save):
    // readers go on, a writer waits the timeout and then says what is
    // locked, and the session works once the lock is free.
    void aLockHeldTooLongIsNamed()
    {
        LabSession ws(m_db->folder());
        ws.store().setBusyTimeout(200);
        const QString verify = QStringLiteral("LAB_Save_VerifyResults 'L-1006','MT09'");
        m_db->exec(QStringLiteral("BEGIN IMMEDIATE"));
        QElapsedTimer t;
        t.start();
        for (const char* read : {"Lab_GetResultWithCutOff 'L-1006'",
                                 "select * from tbLabResult where RequestNum = 'L-1006'"})
            QCOMPARE(ws.run(QLatin1String(read)).rows.size(), 4);
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
        QCOMPARE(rows("SELECT DISTINCT VerifiedBy FROM tbLabResult WHERE RequestNum = 'L-1006'"),
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
        LabSession ws(m_db->folder());
        const char* logbook =
            "SELECT Note FROM tbLabLogbook WHERE RequestNum = 'L-1001' ORDER BY LogbookID";
        const auto before = rows(logbook);
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
        QCOMPARE(rows(logbook), before + QList<QVariantList>({{"after"}, {"after"}}));
    }

private:
    QList<QVariantList> rows(const char* sql) { return m_db->query(QLatin1String(sql)).rows; }
    QVariant value(const char* sql) { return rows(sql).value(0).value(0); }
    // The databases' integrity and how many W- requests are saved whole
    // (logbook entry, three results and the header), then any saved in part.
    QString saves()
    {
        const QVariantList r =
            rows("SELECT sum(c = '1 3 1'), group_concat(CASE WHEN c NOT IN ('1 3 1', '0 0 0') THEN "
                 "n END) "
                 "FROM (SELECT RequestNum n, (SELECT count(*) FROM tbLabLogbook l WHERE "
                 "l.RequestNum = r.RequestNum) || ' ' || (SELECT count(*) FROM tbLabResult x WHERE "
                 "x.RequestNum = r.RequestNum) || ' ' || (SELECT count(*) FROM tbLabResultHeader h "
                 "WHERE h.RequestNum = r.RequestNum) c FROM tbLabRequest r WHERE RequestNum LIKE "
                 "'W-%')")
                .value(0);
        return value("PRAGMA main.integrity_check").toString() + QLatin1Char(' ') +
               value("PRAGMA patient_data.integrity_check").toString() +
               QStringLiteral(", %1 whole").arg(r[0].toInt()) +
               (r[1].isNull() ? QString() : QStringLiteral(", in part: ") + r[1].toString());
    }

    std::unique_ptr<TestDatabase> m_db;
};

QTEST_GUILESS_MAIN(TstWorkstations)
#include "tst_workstations.moc"
