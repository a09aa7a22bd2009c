#include "labserver/Catalogue.h"
#include "labserver/LabStore.h"
#include "platform/SettingsStore.h"
#include "tests/support/Files.h"
#include "tests/support/HostProgram.h"
#include "tests/support/PgCluster.h"
#include "tests/support/TestDatabase.h"

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
        const int current = LabStore::schemaVersion();
        const auto query = [](int status = 1) {
            return said({"query", "select * from tbLabRequest"}, status);
        };
        const auto init = [](int status = 0) { return said({"server", "init"}, status); };
        QCOMPARE(query(), QStringLiteral("Error -2147467259: The database %1 on %2 holds no "
                                         "laboratory. Make it with \"lis-host server init\" "
                                         "under this workstation's settings.\n")
                              .arg(db, where));
        const QString made =
            QStringLiteral("The laboratory database %1 on %2 is at schema version %3: ")
                .arg(db, where)
                .arg(current);
        QCOMPARE(init().section('\n', 0, 0), made + "made.");
        QCOMPARE(init().section('\n', 0, 0), made + "it was already; nothing changed.");
        QCOMPARE(query(0).section('\n', 1), "(0 rows)\n");

        QVERIFY(run(db, "UPDATE laboratory.tbSchemaVersion SET Version = 2"));
        QCOMPARE(query(), QStringLiteral("Error -2147467259: The laboratory database %1 on %2 has "
                                         "schema version 2; this workstation expects version %3. "
                                         "Upgrade the server's laboratory with \"lis-host server "
                                         "init\".\n")
                              .arg(db, where)
                              .arg(current));
        // A laboratory of version 4 had no checks of results yet.
        for (const char* change : {"ALTER TABLE laboratory.tbLabExamItem DROP COLUMN DeltaPercent",
                                   "ALTER TABLE laboratory.tbLabResult DROP COLUMN CorrectedFrom",
                                   "DROP TABLE laboratory.tbLabResultAudit"})
            QVERIFY2(run(db, change), change);
        QCOMPARE(init().section('\n', 0, 0), made + "upgraded from version 2.");
        QCOMPARE(tableCount(db, "laboratory.tbLabExamItem WHERE DeltaPercent <> 'N'"), 0);
        QCOMPARE(tableCount(db, "laboratory.tbLabResultAudit"), 0);

        QVERIFY(run(
            db,
            QStringLiteral("UPDATE laboratory.tbSchemaVersion SET Version = %1").arg(current + 1)));
        QVERIFY(query().contains(QStringLiteral("has schema version %1; this workstation expects "
                                                "version %2. Install this component's newer "
                                                "version on this workstation.")
                                     .arg(current + 1)
                                     .arg(current)));
        QVERIFY(init(1).contains(
            QStringLiteral("newer than this component's version %1; it is left as it is")
                .arg(current)));
        QCOMPARE(tableCount(db, QStringLiteral("laboratory.tbSchemaVersion WHERE Version = %1")
                                    .arg(current + 1)),
                 1);

        // A folder is no server.
        setConnection("Server", QStringLiteral("/srv/lab"));
        QVERIFY(init(1).startsWith("Error -2147467259: server init works on a PostgreSQL server, "
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
        QVERIFY(said({"server", "init"}).contains("made."));
        QVERIFY(said({"demo"}).startsWith("Demo laboratory in "));
        const QString bench = unique("bench"), admin = unique("admin");
        QVERIFY(run(db, "CREATE ROLE " + bench + " LOGIN IN ROLE lis_working"));
        QVERIFY(run(db, "CREATE ROLE " + admin + " LOGIN IN ROLE lis_administrator"));
        // A reporting login that may read the schema adds nothing to the audit trail.
        QVERIFY(run(db, "CREATE ROLE " + admin + "_r LOGIN"));
        QVERIFY(run(db, "GRANT USAGE ON SCHEMA laboratory TO " + admin + "_r"));
        QVERIFY(run(db, "SET ROLE " + admin + "_r")); // on the one connection run() keeps
        QVERIFY(!run(db, "SELECT laboratory.auditRow('L-1001', '', 'Result', '', 'x')"));
        QVERIFY(run(db, "RESET ROLE"));
        useDatabase(db, bench);
        QCOMPARE(said({"query", kLogbookEntry}), "done\n");
        QVERIFY(said({"server", "init"}).endsWith("it was already; nothing changed.\n"));
        QVERIFY(said({"option", "SeparateVerifier", "on"}, 1)
                    .contains("are changed only by its administrator (a login in the role "
                              "lis_administrator)"));
        QVERIFY(said({"demo"}, 1).contains("only by the login that owns the laboratory"));
        useDatabase(db, admin);
        QCOMPARE(said({"option", "SeparateVerifier", "on"}),
                 "SeparateVerifier on: verification by whoever entered a result is refused\n");
        QCOMPARE(said({"option", "SeparateVerifier", "off"}),
                 "SeparateVerifier off: whoever entered a result may also verify it\n");
        QCOMPARE(tableCount(db, "laboratory.tbLabLogbook WHERE RequestNum = 'L-1001'"), 1);
    }

    void anEmbeddedLaboratoryIsCopiedWholeAndOnlyOnce()
    {
        // The demo in this workstation's embedded laboratory.
        setConnection("Server", QString());
        QVERIFY(said({"demo"}).startsWith("Demo laboratory in "));
        const QString folder = qEnvironmentVariable("LIS_DATA_DIR");
        const auto files = [&] {
            return fileBytes(folder + "/laboratory.db") + fileBytes(folder + "/patient_data.db");
        };
        const QByteArray before = files();
        QVERIFY(!before.isEmpty());

        const QString db = unique("imported");
        useDatabase(db);
        QVERIFY(said({"server", "init"}).contains("made."));
        QVERIFY(said({"server", "import", folder})
                    .startsWith("Copied 382 rows of 32 tables from " + folder));
        // The folder was only read; the audit trail's chain holds on the server.
        QCOMPARE(files(), before);
        QVERIFY(said({"audit", "--check"}).startsWith("The audit trail holds"));

        QSqlDatabase source = QSqlDatabase::addDatabase("QSQLITE", "source");
        source.setDatabaseName(folder + "/laboratory.db");
        source.setConnectOptions("QSQLITE_OPEN_READONLY");
        QVERIFY(source.open());
        QSqlQuery(source).exec("ATTACH DATABASE '" + folder + "/patient_data.db' AS patient_data");
        const auto sourceCount = [&](const QString& sql) {
            QSqlQuery n(source);
            return n.exec(sql) && n.next() ? n.value(0).toInt() : -1;
        };
        for (const Catalogue::Table& t : SqliteCatalogue(source).tables())
            if (!t.name.startsWith("sqlite_"))
                QCOMPARE(
                    tableCount(db, (t.schema == "main" ? "laboratory" : t.schema) + '.' + t.name),
                    sourceCount("SELECT count(*) FROM " + t.schema + '.' + t.name));

        // Keys go on after the copied ones; a second import is refused whole.
        QCOMPARE(said({"query", kLogbookEntry}), "done\n");
        QCOMPARE(tableCount(db, "laboratory.tbLabLogbook WHERE RequestNum = 'L-1001' AND "
                                "LogbookID = " +
                                    QString::number(sourceCount(
                                        "SELECT max(LogbookID) + 1 FROM tbLabLogbook"))),
                 1);
        const int requests = tableCount(db, "laboratory.tbLabRequest");
        QVERIFY(said({"server", "import", folder}, 1)
                    .contains("holds 19 requests and 10 patients already"));
        QCOMPARE(tableCount(db, "laboratory.tbLabRequest"), requests);
        source.close();
    }

private:
    static inline const QString kLogbookEntry =
        QStringLiteral("Lab_ResultEntryDLL_SaveToLogbook 'L-1001','','MT01','','',''");

    // Databases stay with the run's server: a second run by hand makes new ones.
    static QString unique(const char* name)
    {
        return QLatin1String(name) + u'_' + QString::number(QCoreApplication::applicationPid());
    }

    // This workstation's Server setting names a new, empty database.
    // With a login, the database is there already and that login is used.
    void useDatabase(const QString& name, const QString& login = {})
    {
        if (login.isEmpty())
            QVERIFY(m_cluster.createDatabase(name));
        setConnection("Server", QStringLiteral("postgresql:///%1?host=%2&port=%3&user=%4")
                                    .arg(name, m_cluster.socketDir())
                                    .arg(m_cluster.port())
                                    .arg(login.isEmpty() ? m_cluster.superuser() : login));
    }

    bool run(const QString& database, const QString& sql)
    {
        return QSqlQuery(m_cluster.connect(database)).exec(sql);
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
