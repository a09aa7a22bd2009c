#include "Caught.h"
#include "Connection.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

namespace {
QString refusal(const QString& folder)
{
    return caught([&] { LabStore store(folder); }).description;
}

bool ownerOnly(const QString& path)
{
    return (QFile::permissions(path) & 0x0077) == QFileDevice::Permissions();
}
} // namespace

// Where the embedded laboratory lives, and what it does with a folder.
class TstLabStore : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerEmbeddedDriver(); }

    void aFirstVersionDatabaseIsBroughtUpToDateWithItsData()
    {
        QTemporaryDir dir;
        {
            // As the first version left it: its own sample index, version 1.
            LabStore store(dir.path());
            store.exec(QStringLiteral("DROP INDEX ixDLResultSampleDay"));
            store.exec(QStringLiteral("CREATE INDEX ixDLResultSample ON "
                                      "tbLabInstrumentDLHemaResult (InstrumentID, SampleNum)"));
            store.exec(QStringLiteral(
                "INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, Resultdate, "
                "InstrumentItem, ResultValue) VALUES ('AN-01', '7', '2024-03-07 08:00:00', "
                "'HBSAG', '0.41')"));
            // Nor had its exam items conventional limits of their own.
            store.exec(QStringLiteral("ALTER TABLE tbLabExamItem DROP COLUMN CMin"));
            store.exec(QStringLiteral("ALTER TABLE tbLabExamItem DROP COLUMN CMax"));
            store.exec(QStringLiteral("INSERT INTO tbLabExamItem (ItemID, ExamName) VALUES "
                                      "('GLU', 'Glucose')"));
            store.exec(QStringLiteral("PRAGMA main.user_version=1"));
        }
        LabStore store(dir.path());
        QCOMPARE(store
                     .query(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index' "
                                           "AND name LIKE 'ixDLResultSample%'"))
                     .rows,
                 QList<QVariantList>{{"ixDLResultSampleDay"}});
        QCOMPARE(
            store.query(QStringLiteral("SELECT ResultValue FROM tbLabInstrumentDLHemaResult")).rows,
            QList<QVariantList>{{"0.41"}});
        const ResultSet items =
            store.query(QStringLiteral("SELECT ExamName, CMin FROM tbLabExamItem"));
        QCOMPARE(items.rows.size(), 1);
        QCOMPARE(items.rows[0][0], QVariant("Glucose"));
        QVERIFY(items.rows[0][1].isNull());
    }

    void aForeignFileIsReportedNeverOverwritten_data()
    {
        QTest::addColumn<QString>("file");
        QTest::newRow("laboratory") << "laboratory.db";
        QTest::newRow("patient data") << "patient_data.db";
    }
    void aForeignFileIsReportedNeverOverwritten()
    {
        QFETCH(QString, file);
        QTemporaryDir dir;
        QFile f(dir.filePath(file));
        const QByteArray text =
            QByteArrayLiteral("Shopping list: milk, bread, eggs.\n").repeated(200);
        QVERIFY(f.open(QIODevice::WriteOnly) && f.write(text) == text.size());
        f.close();
        const Caught e = caught([&] { LabStore store(dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY2(e.description.contains(f.fileName()), qPrintable(e.description));
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(f.readAll(), text);
    }

    void unusableFolders()
    {
        QTemporaryDir dir;
        QVERIFY(refusal(dir.filePath(QStringLiteral("nowhere"))).contains("does not exist"));
        QFile file(dir.filePath(QStringLiteral("plain.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(refusal(file.fileName()).contains("is not a folder"));
        // Even root cannot create files in a process's own /proc folder.
        QVERIFY(refusal(QStringLiteral("/proc/self")).contains("is read-only"));
    }

    void onlyTheEmbeddedLaboratoryIsServed()
    {
        EmbeddedDriver d;
        const auto embedded = [&](const char* ds) {
            return d.accepts(
                ConnectionString::parse(QStringLiteral("Data Source=") + QLatin1String(ds)));
        };
        for (const char* ds : {"", "/srv/lab", "./lab", "~/lab"})
            QVERIFY2(embedded(ds), ds);
        for (const char* ds : {"SRV1", "SRV1\\LAB"})
            QVERIFY2(!embedded(ds), ds);

        QTemporaryDir dir;
        Connection c;
        const Caught e = caught(
            [&] { c.open(QStringLiteral("Initial Catalog=PAYROLL;Data Source=") + dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY(e.description.contains(QStringLiteral("database 'PAYROLL' requested")));
    }

    void theDefaultFolderIsCreatedOwnerOnlyWithTheSchema()
    {
        const QString folder = EmbeddedDriver::defaultDataFolder();
        QCOMPARE(folder, QDir::cleanPath(qEnvironmentVariable("LIS_DATA_DIR")));
        QVERIFY(!QFileInfo::exists(folder));
        Connection().open(QStringLiteral("Initial Catalog=LABORATORY;Data Source="));
        QVERIFY(ownerOnly(folder));
        {
            LabStore store(folder);
            QVERIFY(store.table(QStringLiteral("LABORATORY"), QStringLiteral("tbLabResult")));
            QVERIFY(store.table(QStringLiteral("patient_data"), QStringLiteral("tbPatient")));
            QVERIFY(!store.table(QStringLiteral("laboratory"), QStringLiteral("tbPatient")));
            store.exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES ('kept')"));
        }
        QCOMPARE(LabStore(folder).query(QStringLiteral("SELECT Title FROM tbHospitalInfo")).rows,
                 QList<QVariantList>{{"kept"}});
    }

    void patientDataIsTheUsersAloneWhereverItIsMade()
    {
        // A folder of any permissions: the files made in it, journals
        // included, are owner-only; the folder itself is the administrator's.
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
        LabStore store(dir.path());
        store.exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES ('open')"));
        for (const char* file : {"laboratory.db", "patient_data.db", "laboratory.db-wal",
                                 "laboratory.db-shm", "patient_data.db-wal"}) {
            QVERIFY2(QFileInfo::exists(dir.filePath(QLatin1String(file))), file);
            QVERIFY2(ownerOnly(dir.filePath(QLatin1String(file))), file);
        }
        QCOMPARE(QFile::permissions(dir.path()) & 0x0077, QFileDevice::Permissions(0x0055));
    }

    void halfALaboratoryIsNamedNeverReplaced_data()
    {
        QTest::addColumn<QString>("kept");
        QTest::addColumn<QString>("lost");
        QTest::addColumn<bool>("emptied");
        QTest::newRow("patient data missing") << "laboratory.db"
                                              << "patient_data.db" << false;
        QTest::newRow("patient data empty") << "laboratory.db"
                                            << "patient_data.db" << true;
        QTest::newRow("laboratory missing") << "patient_data.db"
                                            << "laboratory.db" << false;
    }
    void halfALaboratoryIsNamedNeverReplaced()
    {
        QFETCH(QString, kept);
        QFETCH(QString, lost);
        QFETCH(bool, emptied);
        QTemporaryDir dir;
        LabStore(dir.path())
            .exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES "
                                 "('ours')"));
        QVERIFY(QFile::remove(dir.filePath(lost)));
        if (emptied)
            QVERIFY(QFile(dir.filePath(lost)).open(QIODevice::WriteOnly));
        QFile keptFile(dir.filePath(kept));
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        const QByteArray before = keptFile.readAll();
        keptFile.close();

        const Caught e = caught([&] { LabStore store(dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY2(e.description.contains(dir.filePath(lost)) &&
                     e.description.contains(emptied ? "is empty" : "is missing"),
                 qPrintable(e.description));
        QCOMPARE(QFileInfo(dir.filePath(lost)).size(), 0);
        QVERIFY(keptFile.open(QIODevice::ReadOnly));
        QCOMPARE(keptFile.readAll(), before);
    }

    void aReadOnlyLaboratorySaysSo()
    {
        if (geteuid() == 0)
            QSKIP("root writes anywhere");
        QTemporaryDir dir;
        LabStore(dir.path())
            .exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES "
                                 "('x')"));
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString why = refusal(dir.path());
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
        QVERIFY2(why.contains("is read-only") && why.contains("write access"), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TstLabStore)
#include "tst_lab_store.moc"
