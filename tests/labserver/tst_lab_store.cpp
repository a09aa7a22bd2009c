#include "Caught.h"
#include "Connection.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
QByteArray contentOf(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}
} // namespace

// Where the embedded laboratory lives, and what it does with a folder.
class TstLabStore : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { registerEmbeddedDriver(); }

    void aNewFolderGetsTheFullSchema()
    {
        QTemporaryDir dir;
        {
            LabStore store(dir.path());
            for (const char* t :
                 {"tbLabRequest", "tbLabLogbook", "tbLabResult", "tbLabResultHeader",
                  "tbLabResultSummary", "tbLabExam", "tbLabExamItem", "tbLabInstrumentExams",
                  "tbLabInstrumentDLHemaResult", "tbLabInstrumentHemaWorkList"})
                QVERIFY2(store.table(QStringLiteral("LABORATORY"), QLatin1String(t)), t);
            for (const char* t : {"tbHospitalInfo", "tbPatient", "tbAdmission"})
                QVERIFY2(store.table(QStringLiteral("patient_data"), QLatin1String(t)), t);
            QVERIFY(!store.table(QStringLiteral("laboratory"), QStringLiteral("tbPatient")));
            store.exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES ('kept')"));
        }
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("laboratory.db"))));
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("patient_data.db"))));
        LabStore again(dir.path());
        QCOMPARE(again.query(QStringLiteral("SELECT Title FROM tbHospitalInfo")).rows.size(), 1);
    }

    void aFirstVersionDatabaseIsBroughtUpToDateWithItsData()
    {
        QTemporaryDir dir;
        const auto indexes = [](LabStore& store) {
            QStringList names;
            for (const QVariantList& row :
                 store.query(QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'index' "
                                            "AND tbl_name = 'tbLabInstrumentDLHemaResult'"))
                     .rows)
                names << row.at(0).toString();
            return names;
        };
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
            store.exec(QStringLiteral("PRAGMA main.user_version=1"));
        }
        LabStore store(dir.path());
        const QStringList names = indexes(store);
        QVERIFY2(names.contains(QStringLiteral("ixDLResultSampleDay")), qPrintable(names.join(',')));
        QVERIFY(!names.contains(QStringLiteral("ixDLResultSample")));
        QCOMPARE(store.query(QStringLiteral("SELECT ResultValue FROM tbLabInstrumentDLHemaResult"))
                     .rows.value(0)
                     .value(0),
                 QVariant(QStringLiteral("0.41")));
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
        const QString path = dir.filePath(file);
        const QByteArray text =
            QByteArrayLiteral("Shopping list: milk, bread, eggs.\n").repeated(200);
        write(path, text);
        const Caught e = caught([&] { LabStore store(dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY2(e.description.contains(path), qPrintable(e.description));
        QCOMPARE(contentOf(path), text);
    }

    void unusableFolders()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath(QStringLiteral("nowhere"));
        QVERIFY(caught([&] {
                    LabStore s(missing);
                }).description.contains(QStringLiteral("does not exist")));
        const QString file = dir.filePath(QStringLiteral("plain.txt"));
        write(file, "x");
        QVERIFY(caught([&] {
                    LabStore s(file);
                }).description.contains(QStringLiteral("is not a folder")));
        // Even root cannot create files in a process's own /proc folder.
        QVERIFY(caught([&] {
                    LabStore s(QStringLiteral("/proc/self"));
                }).description.contains(QStringLiteral("is read-only")));
    }

    void whichServerNamesTheEmbeddedDatabase()
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
    }

    void theDefaultFolderIsCreatedOnFirstUse()
    {
        const QString folder = EmbeddedDriver::defaultDataFolder();
        QCOMPARE(folder, QDir::cleanPath(qEnvironmentVariable("LIS_DATA_DIR")));
        QDir(folder).removeRecursively();
        Connection c;
        c.open(QStringLiteral("Provider=SQLOLEDB.8;Integrated Security=SSPI;Initial "
                              "Catalog=LABORATORY;Data Source="));
        QVERIFY(QFile::exists(folder + QStringLiteral("/laboratory.db")));
        QCOMPARE(QFile::permissions(folder) & 0x0077, QFileDevice::Permissions());
    }

    void anotherCatalogIsRefused()
    {
        QTemporaryDir dir;
        Connection c;
        const Caught e = caught(
            [&] { c.open(QStringLiteral("Initial Catalog=PAYROLL;Data Source=") + dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY(e.description.contains(QStringLiteral("\"PAYROLL\"")));
    }
};

QTEST_GUILESS_MAIN(TstLabStore)
#include "tst_lab_store.moc"
