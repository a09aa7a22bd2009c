#include "Caught.h"
#include "Connection.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
Caught opening(const QString& folder)
{
    return caught([&] { LabStore store(folder); });
}

// A laboratory in the folder with a row of its own.
void makeLaboratory(const QString& folder)
{
    LabStore(folder).exec(u"INSERT INTO tbHospitalInfo (Title) VALUES ('ours')"_s);
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
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
    void initTestCase() { registerLabDrivers(); }

    void aFirstVersionDatabaseIsBroughtUpToDateWithItsData()
    {
        QTemporaryDir dir;
        {
            // As the first version left it: its own sample index, version 1,
            // exam items without conventional limits or checks of their own,
            // results without their checks and no audit trail.
            LabStore store(dir.path());
            for (const char* sql :
                 {"DROP INDEX ixDLResultSampleDay",
                  "CREATE INDEX ixDLResultSample ON tbLabInstrumentDLHemaResult (InstrumentID, "
                  "SampleNum)",
                  "INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, Resultdate, "
                  "InstrumentItem, ResultValue) VALUES ('AN-01', '7', '2024-03-07 08:00:00', "
                  "'HBSAG', '0.41')",
                  "ALTER TABLE tbLabExamItem DROP COLUMN CMin",
                  "ALTER TABLE tbLabExamItem DROP COLUMN CMax",
                  "ALTER TABLE tbLabExamItem DROP COLUMN CriticalLow",
                  "ALTER TABLE tbLabExamItem DROP COLUMN DeltaPercent",
                  "ALTER TABLE tbLabResult DROP COLUMN CorrectedFrom",
                  "DROP TABLE tbLabResultAudit",
                  "INSERT INTO tbLabExamItem (ItemID, ExamName) VALUES ('GLU', 'Glucose')",
                  "PRAGMA main.user_version=1"})
                store.exec(QLatin1String(sql));
        }
        QCOMPARE(
            LabStore(dir.path())
                .query(u"SELECT name FROM sqlite_master WHERE type = 'index' AND name LIKE "
                       "'ixDLResultSample%' UNION ALL SELECT ResultValue FROM "
                       "tbLabInstrumentDLHemaResult UNION ALL SELECT ExamName || "
                       "ifnull(CMin, ' without limits') || ifnull(CriticalLow, ', no critical "
                       "limits, delta in percent: ') || DeltaPercent FROM tbLabExamItem "
                       "UNION ALL SELECT count(CorrectedFrom) FROM tbLabResult "
                       "UNION ALL SELECT count(*) FROM tbLabResultAudit"_s)
                .rows,
            (QList<QVariantList>{{"ixDLResultSampleDay"},
                                 {"0.41"},
                                 {"Glucose without limits, no critical limits, delta in percent: N"},
                                 {0},
                                 {0}}));
    }

    void unusableFolders()
    {
        QTemporaryDir dir;
        QVERIFY(opening(dir.filePath(u"nowhere"_s)).description.contains("does not exist"));
        QFile file(dir.filePath(u"plain.txt"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(opening(file.fileName()).description.contains("is not a folder"));
        // Even root cannot create files in a process's own /proc folder.
        QVERIFY(opening(u"/proc/self"_s).description.contains("is read-only"));
    }

    void onlyTheEmbeddedLaboratoryIsServed()
    {
        EmbeddedDriver d;
        QStringList served;
        for (const char* ds : {"", "/srv/lab", "./lab", "~/lab", "SRV1", "SRV1\\LAB"})
            if (d.accepts(ConnectionString::parse(u"Data Source="_s + QLatin1String(ds))))
                served << QLatin1String(ds);
        QCOMPARE(served, (QStringList{"", "/srv/lab", "./lab", "~/lab"}));

        QTemporaryDir dir;
        const Caught e = caught(
            [&] { Connection().open(u"Initial Catalog=PAYROLL;Data Source="_s + dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY(e.description.contains(u"database 'PAYROLL' requested"_s));
    }

    void theDefaultFolderIsCreatedOwnerOnlyWithTheSchema()
    {
        const QString folder = EmbeddedDriver::defaultDataFolder();
        QCOMPARE(folder, QDir::cleanPath(qEnvironmentVariable("LIS_DATA_DIR")));
        QVERIFY(!QFileInfo::exists(folder));
        Connection().open(u"Initial Catalog=LABORATORY;Data Source="_s);
        QVERIFY(ownerOnly(folder));
        {
            LabStore store(folder);
            QVERIFY(store.table(u"LABORATORY"_s, u"tbLabResult"_s));
            QVERIFY(store.table(u"patient_data"_s, u"tbPatient"_s));
            QVERIFY(!store.table(u"laboratory"_s, u"tbPatient"_s));
            store.exec(u"INSERT INTO tbHospitalInfo (Title) VALUES ('kept')"_s);
        }
        QCOMPARE(LabStore(folder).query(u"SELECT Title FROM tbHospitalInfo"_s).rows,
                 QList<QVariantList>{{"kept"}});
    }

    void patientDataIsTheUsersAloneWhereverItIsMade()
    {
        // A folder of any permissions: the files made in it, journals
        // included, are owner-only; the folder itself is the administrator's.
        QTemporaryDir dir;
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::Permissions(0x7755)));
        LabStore store(dir.path()); // open, so its journals are there too
        store.exec(u"INSERT INTO tbHospitalInfo (Title) VALUES ('open')"_s);
        QStringList open;
        for (const char* file : {"laboratory.db", "patient_data.db", "laboratory.db-wal",
                                 "laboratory.db-shm", "patient_data.db-wal"})
            if (const QString path = dir.filePath(QLatin1String(file));
                !QFileInfo::exists(path) || !ownerOnly(path))
                open << path;
        QCOMPARE(open, QStringList());
        QCOMPARE(QFile::permissions(dir.path()) & 0x0077, QFileDevice::Permissions(0x0055));
    }

    // A foreign file, or half a laboratory: named, and left as it was.
    void whatIsNotALaboratoryIsNamedNeverReplaced_data()
    {
        QTest::addColumn<bool>("made"); // a laboratory first
        QTest::addColumn<QString>("file");
        QTest::addColumn<QByteArray>("content"); // put in its place; null removes it
        QTest::addColumn<QString>("why");
        const QByteArray list = "Shopping list: milk, bread, eggs.\n"_ba.repeated(200);
        const QString lab = u"laboratory.db"_s, patients = u"patient_data.db"_s;
        QTest::newRow("foreign laboratory") << false << lab << list << QString();
        QTest::newRow("foreign patient data") << false << patients << list << QString();
        QTest::newRow("patient data missing") << true << patients << QByteArray() << "is missing";
        QTest::newRow("patient data empty") << true << patients << ""_ba
                                            << "is empty";
        QTest::newRow("laboratory missing") << true << lab << QByteArray() << "is missing";
    }
    void whatIsNotALaboratoryIsNamedNeverReplaced()
    {
        QFETCH(bool, made);
        QFETCH(QString, file);
        QFETCH(QByteArray, content);
        QFETCH(QString, why);
        QTemporaryDir dir;
        if (made)
            makeLaboratory(dir.path());
        QFile f(dir.filePath(file));
        QVERIFY(content.isNull()
                    ? f.remove()
                    : f.open(QIODevice::WriteOnly) && f.write(content) == content.size());
        f.close();
        const auto files = [&] {
            return contents(dir.filePath(u"laboratory.db"_s)) + '|' +
                   contents(dir.filePath(u"patient_data.db"_s));
        };
        const QByteArray before = files();

        const Caught e = opening(dir.path());
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY2(e.description.contains(f.fileName()) && e.description.contains(why),
                 qPrintable(e.description));
        QCOMPARE(files(), before);
    }

    void aReadOnlyLaboratorySaysSo()
    {
        if (geteuid() == 0)
            QSKIP("root writes anywhere");
        QTemporaryDir dir;
        makeLaboratory(dir.path());
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString why = opening(dir.path()).description;
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
        QVERIFY2(why.contains("is read-only") && why.contains("write access"), qPrintable(why));
    }
};

QTEST_GUILESS_MAIN(TstLabStore)
#include "tst_lab_store.moc"
