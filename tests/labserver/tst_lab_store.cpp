#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "platform/db/Connection.h"
#include "tests/support/Caught.h"
#include "tests/support/Files.h"

#include <QSqlDatabase>
#include <QSqlQuery>
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
            // As the first versions left it: their own sample and day indexes,
            // exam items without conventional limits or checks of their own,
            // results without their checks and no audit trail.
            LabStore store(dir.path());
            for (const char* sql :
                 {"DROP INDEX ixDLResultSampleDay",
                  "CREATE INDEX ixDLResultSample ON tbLabInstrumentDLHemaResult (InstrumentID, "
                  "SampleNum)",
                  "DROP INDEX ixDLResultOfDay",
                  "CREATE INDEX ixDLResultDay ON tbLabInstrumentDLHemaResult (InstrumentID, "
                  "Resultdate)",
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
        QCOMPARE(LabStore(dir.path())
                     .query(u"SELECT group_concat(name, ' ') FROM (SELECT name FROM sqlite_master "
                            "WHERE type = 'index' AND name LIKE 'ixDLResult%Day' ORDER BY name) "
                            "UNION ALL SELECT ResultValue FROM "
                            "tbLabInstrumentDLHemaResult UNION ALL SELECT ExamName || "
                            "ifnull(CMin, ' without limits') || ifnull(CriticalLow, ', no critical "
                            "limits, delta in percent: ') || DeltaPercent FROM tbLabExamItem "
                            "UNION ALL SELECT count(CorrectedFrom) FROM tbLabResult "
                            "UNION ALL SELECT count(*) FROM tbLabResultAudit"_s)
                     .rows,
                 (QList<QVariantList>{
                     {"ixDLResultOfDay ixDLResultSampleDay"},
                     {"0.41"},
                     {"Glucose without limits, no critical limits, delta in percent: N"},
                     {0},
                     {0}}));
    }

    // Folders that cannot hold a laboratory, and a catalog it does not serve
    // (which Data Source the embedded driver takes is read with the server
    // addresses in tst_pg_connection).
    void unusableFoldersAndCatalogs()
    {
        QTemporaryDir dir;
        QVERIFY(opening(dir.filePath(u"nowhere"_s)).description.contains("does not exist"));
        QFile file(dir.filePath(u"plain.txt"_s));
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(opening(file.fileName()).description.contains("is not a folder"));
        // Even root cannot create files in a process's own /proc folder.
        QVERIFY(opening(u"/proc/self"_s).description.contains("is read-only"));
        const Caught e = caught(
            [&] { Connection().open(u"Initial Catalog=PAYROLL;Data Source="_s + dir.path()); });
        QCOMPARE(e.number, ErrNo::DbConnectionFailed);
        QVERIFY(e.description.contains(u"database 'PAYROLL' requested"_s));
        if (geteuid() == 0)
            return; // root writes anywhere
        makeLaboratory(dir.path());
        QVERIFY(QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        const QString why = opening(dir.path()).description;
        QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                              QFileDevice::ExeOwner);
        QVERIFY2(why.contains("is read-only") && why.contains("write access"), qPrintable(why));
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
        // Values go in and come out as the SQL module hands them: a null
        // text is NULL and an empty one is not; numbers keep their kind.
        const ResultSet kinds =
            LabStore(folder).query(u"SELECT ? IS NULL, ? IS NULL, typeof(?), typeof(?), NULL"_s,
                                   {QString(), u""_s, 42, 1.5});
        QCOMPARE(kinds.rows.value(0),
                 (QVariantList{qlonglong(1), qlonglong(0), u"integer"_s, u"real"_s,
                               QVariant(QMetaType::fromType<QString>())}));
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

    // Foreign, damaged, swapped, newer or half laboratories: each named with
    // what to do, left byte for byte, and nothing made beside them.
    void whatIsNotALaboratoryIsNamedNeverReplaced_data()
    {
        // a laboratory made first; the file changed, and named in the message;
        // the change; what the message says
        QTest::addColumn<QStringList>("r");
        const QString lab = u"laboratory.db"_s, patients = u"patient_data.db"_s;
        const auto row = [](const char* name, bool made, const QString& file, const char* change,
                            const char* why) {
            QTest::newRow(name) << QStringList{made ? u"made"_s : QString(), file, change, why};
        };
        row("text as the laboratory", false, lab, "text", "no database at all");
        row("text as the patient data", false, patients, "text", "no database at all");
        row("another program's database", false, lab, "sql:CREATE TABLE notes (t TEXT)",
            "is not a laboratory database");
        row("another program's mark", true, patients, "sql:PRAGMA application_id = 1234",
            "another program's");
        row("halves swapped", true, lab, "swap", "holds the patient data");
        row("unmarked halves swapped", true, lab, "unmark swap", "holds the patient data");
        row("newer laboratory", true, lab, "sql:PRAGMA user_version = 99", "newer version");
        row("newer patient data", true, patients, "sql:PRAGMA user_version = 99", "newer version");
        row("both empty", false, lab, "empty", "remove the empty files");
        row("patient data missing", true, patients, "remove", "is missing");
        row("patient data empty", true, patients, "empty", "is empty");
        row("laboratory missing", true, lab, "remove", "is missing");
        row("pages damaged", true, lab, "damage", "restore the laboratory from its backup");
        row("unreadable", true, lab, "unreadable", "cannot be read by this user");
        row("disk full", true, lab, "full", "Free space");
    }
    void whatIsNotALaboratoryIsNamedNeverReplaced()
    {
        QFETCH(QStringList, r);
        const bool made = !r[0].isEmpty();
        const QString &file = r[1], &change = r[2], &why = r[3];
        if (change == u"unreadable"_s && geteuid() == 0)
            QSKIP("root reads anything");
        QTemporaryDir dir;
        const QString path = dir.filePath(file);
        const QString other =
            dir.filePath(file == u"laboratory.db"_s ? u"patient_data.db"_s : u"laboratory.db"_s);
        if (made) {
            makeLaboratory(dir.path());
            // Enough rows that damage reaches a table's pages.
            LabStore store(dir.path());
            for (int i = 0; i < 200; ++i)
                store.exec(u"INSERT INTO tbLabOption (Name, Value) VALUES (?, ?)"_s,
                           {u"R%1"_s.arg(i), QString(60, u'x')});
        }
        const auto sqlite = [&](const QString& target, const QString& sql) {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"change"_s);
            db.setDatabaseName(target);
            QVERIFY(db.open());
            QSqlQuery(db).exec(sql);
            db.close();
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(u"change"_s);
        };
        if (change == u"text"_s || change == u"empty"_s) {
            for (const QString& p :
                 change == u"empty"_s && !made ? QStringList{path, other} : QStringList{path}) {
                QFile f(p);
                QVERIFY(f.open(QIODevice::WriteOnly));
                f.write(change == u"text"_s ? "Shopping list: milk, bread, eggs.\n"_ba.repeated(200)
                                            : QByteArray());
            }
        } else if (change.startsWith(u"sql:"_s)) {
            sqlite(path, change.mid(4));
        } else if (change.endsWith(u"swap"_s)) {
            if (change.startsWith(u"unmark"_s)) // as a build before the marks left them
                for (const QString& p : {path, other})
                    sqlite(p, u"PRAGMA application_id = 0"_s);
            QVERIFY(QFile::rename(path, path + u".x"_s) && QFile::rename(other, path) &&
                    QFile::rename(path + u".x"_s, other));
        } else if (change == u"remove"_s) {
            QVERIFY(QFile::remove(path));
        } else if (change == u"damage"_s) {
            QFile f(path);
            QVERIFY(f.open(QIODevice::ReadWrite));
            const qint64 page = 4096;
            for (qint64 at = page; at < f.size(); at += page) {
                f.seek(at);
                f.write(QByteArray(int(page), '\xa5'));
            }
        } else if (change == u"unreadable"_s) {
            QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
        }
        const auto files = [&] {
            return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).join(u' ').toUtf8() +
                   '|' + fileBytes(path) + '|' + fileBytes(other);
        };
        const QByteArray before = files();

        const Caught e = caught([&] {
            LabStore store(dir.path());
            if (change == u"full"_s) {
                store.exec(u"PRAGMA main.max_page_count = 1"_s);
                store.exec(u"INSERT INTO tbLabOption (Name, Value) VALUES ('F', ?)"_s,
                           {QString(100000, u'x')});
            }
            store.query(u"SELECT count(*) FROM tbLabRequest"_s);
            store.query(u"SELECT count(*) FROM tbPatient"_s);
        });
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY2(e.number == ErrNo::DbConnectionFailed || e.number == ErrNo::DbCommandFailed,
                 qPrintable(e.description));
        QVERIFY2(e.description.contains(change == u"full"_s ? dir.path() : path) &&
                     e.description.contains(why),
                 qPrintable(e.description));
        if (change != u"full"_s)
            QCOMPARE(files(), before);
    }
};

QTEST_GUILESS_MAIN(TstLabStore)
#include "tst_lab_store.moc"
