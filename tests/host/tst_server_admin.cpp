#include "labserver/Catalogue.h"
#include "labserver/LabStore.h"
#include "platform/SettingsStore.h"
#include "tests/support/Files.h"
#include "tests/support/HostProgram.h"
#include "tests/support/PgCluster.h"
#include "tests/support/TestDatabase.h"

#include <QProcess>
#include <QSqlQuery>
#include <QtTest>

// An administrator's commands against the run's PostgreSQL test server.
class TstServerAdmin : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        LIS_REQUIRE_ENGINE();
        QVERIFY(m_cluster.load(qEnvironmentVariable("LIS_TEST_PG_STATE"), false));
    }

    void aLaboratoryIsMadeOnceAndItsVersionIsChecked()
    {
        const QString db = unique("made");
        useDatabase(db);
        const QString where =
            QStringLiteral("the PostgreSQL server with its socket in %1 (port %2)")
                .arg(m_cluster.socketDir())
                .arg(m_cluster.port());
        QCOMPARE(host({"query", "select * from tbLabRequest"}).err,
                 QStringLiteral("Error -2147467259: The database %1 on %2 holds no "
                                "laboratory. Make it with \"lis-host server init\" under this "
                                "workstation's settings.\n")
                     .arg(db, where));
        const QString made = QStringLiteral("The laboratory database %1 on %2 is at "
                                            "schema version %3: ")
                                 .arg(db, where)
                                 .arg(LabStore::schemaVersion());
        const HostRun first = host({"server", "init"});
        QCOMPARE(first.out.section('\n', 0, 0), made + "made.");
        QVERIFY2(first.out.contains("Workstations and the instrument service log in as members of "
                                    "lis_working, the laboratory's administrator as a member of "
                                    "lis_administrator"),
                 qPrintable(first.out));
        QCOMPARE(host({"server", "init"}).out.section('\n', 0, 0),
                 made + "it was already; nothing changed.");
        QCOMPARE(host({"query", "select * from tbLabRequest"}).out.section('\n', 1), "(0 rows)\n");

        const auto setVersion = [&](int v) {
            QSqlQuery q(m_cluster.connect(db));
            QVERIFY(q.exec(
                QStringLiteral("UPDATE laboratory.tbSchemaVersion SET Version = %1").arg(v)));
        };
        setVersion(2);
        QCOMPARE(host({"query", "select * from tbLabRequest"}).err,
                 QStringLiteral("Error -2147467259: The laboratory database %1 on %2 has "
                                "schema version 2; this workstation expects version %3. Upgrade "
                                "the server's laboratory with \"lis-host server init\".\n")
                     .arg(db, where)
                     .arg(LabStore::schemaVersion()));
        {
            // A laboratory of version 4 had no checks of results yet.
            QSqlQuery q(m_cluster.connect(db));
            QVERIFY(q.exec("ALTER TABLE laboratory.tbLabExamItem DROP COLUMN DeltaPercent"));
            QVERIFY(q.exec("ALTER TABLE laboratory.tbLabResult DROP COLUMN CorrectedFrom"));
            QVERIFY(q.exec("DROP TABLE laboratory.tbLabResultAudit"));
        }
        QCOMPARE(host({"server", "init"}).out.section('\n', 0, 0),
                 made + "upgraded from version 2.");
        QCOMPARE(tableCount(db, "laboratory.tbLabExamItem WHERE DeltaPercent <> 'N'"), 0);
        QCOMPARE(tableCount(db, "laboratory.tbLabResultAudit"), 0);
        const int current = LabStore::schemaVersion();
        setVersion(current + 1);
        QVERIFY(host({"query", "select * from tbLabRequest"})
                    .err.contains(QStringLiteral("has schema version %1; this workstation expects "
                                                 "version %2. Install this component's newer "
                                                 "version on this workstation.")
                                      .arg(current + 1)
                                      .arg(current)));
        const HostRun refused = host({"server", "init"});
        QCOMPARE(refused.status, 1);
        QVERIFY(refused.err.contains(
            QStringLiteral("newer than this component's version %1; it is left as it is")
                .arg(current)));
        QCOMPARE(tableCount(
                     db, qPrintable(QStringLiteral("laboratory.tbSchemaVersion WHERE Version = %1")
                                        .arg(current + 1))),
                 1);

        // A folder is no server.
        SettingsStore::set("TARVIK Current User", "Connection", "Server", "/srv/lab");
        QVERIFY(host({"server", "init"})
                    .err.startsWith("Error -2147467259: server init works on a PostgreSQL server, "
                                    "and the Server setting ([Connection] in TARVIK Current "
                                    "User.ini) names the embedded laboratory /srv/lab."));
    }

    // The owner makes the laboratory and the demo; a working login works in
    // it and changes neither the schema nor the options; the administrator
    // changes the options.
    void eachLoginMayDoWhatItsPeopleDo()
    {
        const QString db = unique("roles");
        useDatabase(db);
        QCOMPARE(host({"server", "init"}).status, 0);
        QCOMPARE(host({"demo"}).status, 0);
        const QString bench = unique("bench"), admin = unique("admin");
        {
            QSqlQuery q(m_cluster.connect(db));
            QVERIFY(q.exec("CREATE ROLE " + bench + " LOGIN IN ROLE lis_working"));
            QVERIFY(q.exec("CREATE ROLE " + admin + " LOGIN IN ROLE lis_administrator"));
            // A reporting login that may read the schema adds nothing to the audit trail.
            QVERIFY(q.exec("CREATE ROLE " + admin + "_r LOGIN"));
            QVERIFY(q.exec("GRANT USAGE ON SCHEMA laboratory TO " + admin + "_r"));
            QVERIFY(q.exec("SET ROLE " + admin + "_r"));
            QVERIFY(!q.exec("SELECT laboratory.auditRow('L-1001', '', 'Result', '', 'x')"));
            QVERIFY(q.exec("RESET ROLE"));
        }
        useDatabase(db, bench);
        QCOMPARE(
            host({"query", "Lab_ResultEntryDLL_SaveToLogbook 'L-1001','','MT01','','',''"}).status,
            0);
        HostRun r = host({"server", "init"});
        QVERIFY2(r.status == 0 && r.out.endsWith("it was already; nothing changed.\n"),
                 qPrintable(r.out + r.err));
        r = host({"option", "SeparateVerifier", "on"});
        QVERIFY2(r.status == 1 && r.err.contains("are changed only by its administrator (a login "
                                                 "in the role lis_administrator)"),
                 qPrintable(r.err));
        r = host({"demo"});
        QVERIFY2(r.status == 1 && r.err.contains("only by the login that owns the laboratory"),
                 qPrintable(r.err));
        useDatabase(db, admin);
        QCOMPARE(host({"option", "SeparateVerifier", "on"}).out,
                 "SeparateVerifier on: verification by whoever entered a result is refused\n");
        QCOMPARE(host({"option", "SeparateVerifier", "off"}).out,
                 "SeparateVerifier off: whoever entered a result may also verify it\n");
        QCOMPARE(tableCount(db, "laboratory.tbLabLogbook WHERE RequestNum = 'L-1001'"), 1);
    }

    void anEmbeddedLaboratoryIsCopiedWholeAndOnlyOnce()
    {
        // The demo in this workstation's embedded laboratory.
        SettingsStore::set("TARVIK Current User", "Connection", "Server", "");
        QCOMPARE(host({"demo"}).status, 0);
        const QString folder = qEnvironmentVariable("LIS_DATA_DIR");
        const QByteArray before =
            fileBytes(folder + "/laboratory.db") + fileBytes(folder + "/patient_data.db");
        QVERIFY(!before.isEmpty());

        const QString db = unique("imported");
        useDatabase(db);
        QCOMPARE(host({"server", "init"}).status, 0);
        const HostRun copied = host({"server", "import", folder});
        QVERIFY2(copied.out.startsWith("Copied 382 rows of 32 tables from " + folder),
                 qPrintable(copied.out + copied.err));
        // The folder was only read; the audit trail's chain holds on the server.
        QCOMPARE(fileBytes(folder + "/laboratory.db") + fileBytes(folder + "/patient_data.db"),
                 before);
        const HostRun chain = host({"audit", "--check"});
        QVERIFY2(chain.status == 0 && chain.out.startsWith("The audit trail holds"),
                 qPrintable(chain.out + chain.err));

        QSqlDatabase source = QSqlDatabase::addDatabase("QSQLITE", "source");
        source.setDatabaseName(folder + "/laboratory.db");
        source.setConnectOptions("QSQLITE_OPEN_READONLY");
        QVERIFY(source.open());
        QSqlQuery(source).exec("ATTACH DATABASE '" + folder + "/patient_data.db' AS patient_data");
        for (const Catalogue::Table& t : SqliteCatalogue(source).tables()) {
            if (t.name.startsWith("sqlite_"))
                continue;
            QSqlQuery n(source);
            QVERIFY(n.exec(QStringLiteral("SELECT count(*) FROM %1.%2").arg(t.schema, t.name)) &&
                    n.next());
            const QString schema = t.schema == "main" ? "laboratory" : t.schema;
            QCOMPARE(tableCount(db, schema + '.' + t.name), n.value(0).toInt());
        }

        // Keys go on after the copied ones; a second import is refused whole.
        QCOMPARE(
            host({"query", "Lab_ResultEntryDLL_SaveToLogbook 'L-1001','','MT01','','',''"}).status,
            0);
        QSqlQuery last(source);
        QVERIFY(last.exec("SELECT max(LogbookID) + 1 FROM tbLabLogbook") && last.next());
        QCOMPARE(tableCount(db, "laboratory.tbLabLogbook WHERE RequestNum = 'L-1001' AND "
                                "LogbookID = " +
                                    last.value(0).toString()),
                 1);
        const int requests = tableCount(db, "laboratory.tbLabRequest");
        const HostRun again = host({"server", "import", folder});
        QCOMPARE(again.status, 1);
        QVERIFY2(again.err.contains("holds 19 requests and 10 patients already"),
                 qPrintable(again.err));
        QCOMPARE(tableCount(db, "laboratory.tbLabRequest"), requests);
        source.close();
    }

private:
    // Databases stay with the run's server: a second run by hand makes new ones.
    static QString unique(const char* name)
    {
        return QStringLiteral("%1_%2")
            .arg(QLatin1String(name))
            .arg(QCoreApplication::applicationPid());
    }

    // This workstation's Server setting names a new, empty database.
    // With a login, the database is there already and that login is used.
    void useDatabase(const QString& name, const QString& login = {})
    {
        if (login.isEmpty())
            QVERIFY(m_cluster.createDatabase(name));
        SettingsStore::set("TARVIK Current User", "Connection", "Server",
                           QStringLiteral("postgresql:///%1?host=%2&port=%3&user=%4")
                               .arg(name, m_cluster.socketDir())
                               .arg(m_cluster.port())
                               .arg(login.isEmpty() ? m_cluster.superuser() : login));
    }

    int tableCount(const QString& database, const QString& tableAndWhere)
    {
        QSqlQuery q(m_cluster.connect(database));
        return q.exec("SELECT count(*) FROM " + tableAndWhere) && q.next() ? q.value(0).toInt()
                                                                           : -1;
    }

    PgCluster m_cluster;
};

QTEST_GUILESS_MAIN(TstServerAdmin)
#include "tst_server_admin.moc"
