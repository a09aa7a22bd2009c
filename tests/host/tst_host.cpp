#include "platform/SettingsStore.h"
#include "tests/support/Files.h"
#include "tests/support/HostProgram.h"
#include "tests/support/TestDatabase.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
const QString kApp = QStringLiteral("TARVIK Current User");
} // namespace

// The host program as an administrator and a hospital system use it.
class TstHost : public QObject {
    Q_OBJECT
private slots:
    void settingsAndConnstrWithTheirErrors()
    {
        QCOMPARE(host({"connstr", "4", "LABORATORY"}).out,
                 QStringLiteral("Provider=SQLOLEDB.8;Integrated Security=SSPI;Persist Security "
                                "Info=False;Initial Catalog=LABORATORY;Data Source=\n"));
        QCOMPARE(host({"settings", "set", kApp, "Connection", "Server", "SRV1"}).status, 0);
        QVERIFY(host({"connstr", "4", "LABORATORY"}).out.endsWith(";Data Source=SRV1\n"));
        QCOMPARE(host({"settings", "get", kApp, "Connection", "Server"}).out, "SRV1\n");
        QVERIFY(host({"settings", "list"})
                    .out.contains("TARVIK Current User\tConnection\tServer\tSRV1\n"));

        // A server that cannot be reached fails at the creation of the component.
        HostRun r = host({"open", "R1"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("Error -2147467259: Cannot connect to the laboratory database "
                                "\"LABORATORY\" on the PostgreSQL server SRV1: "),
                 qPrintable(r.err));
        r = host({"frobnicate"});
        QCOMPARE(r.status, 2);
        QVERIFY(r.err.contains(QStringLiteral("Usage:")));
        // --help on a sub-command is its usage, never a request number.
        r = host({"open", "--help"});
        QVERIFY2(r.status == 0 && r.out.startsWith("Usage:\n  lis-host open REQUESTNUM ") &&
                     !r.out.contains("settings"),
                 qPrintable(r.out + r.err));
    }

    void openShowsTheWindowOrWhyNot()
    {
        TestDatabase db;
        db.load(QStringLiteral("requests"));
        db.useForComponent();
        HostRun r = host({"open", "  R1  ", "--top", "300", "--left", "450"});
        qunsetenv("LIS_TRACE_COMMANDS");
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.endsWith("] frmDownloaded opened without a display and closed.\n"),
                 qPrintable(r.out));

        r = host({"open", "R4"});
        QCOMPARE(r.out, QStringLiteral("[Invalid Exam Format] Exam not yet formatted.\n  "
                                       "Histopathology of request R4 has no result format, so no "
                                       "result window fits it. Ask the laboratory to give the "
                                       "exam a result format, then open the request again.\n"));
    }

    void demoThenQuery()
    {
        SettingsStore::set(kApp, QStringLiteral("Connection"), QStringLiteral("Server"), QString());
        const HostRun first = host({"demo"});
        QCOMPARE(first.status, 0);
        for (const char* line : {"L-1001  frmDownloaded   Hepatitis B Profile",
                                 "L-1016  frmNVDownloads", "L-1017  no window"})
            QVERIFY2(first.out.contains(QLatin1String(line)), line);
        // Safe to run again: same requests, saved results kept once.
        QCOMPARE(host({"demo"}).out, first.out);

        HostRun r = host({"query", "LABORATORY..Lab_GetResultWithCutOff  'L-1006'"});
        QVERIFY2(r.out.startsWith("ItemID\tExamName\tPatientValue\t") &&
                     r.out.endsWith("(4 rows)\n"),
                 qPrintable(r.out));
        QCOMPARE(host({"query", "Lab_SaveDump_ResultSummary 'L-1016', 'x'"}).out, "done\n");
        r = host({"query", "delete from tbLabResult"});
        QCOMPARE(r.status, 1);
        QVERIFY(r.err.startsWith(QStringLiteral("Error -2147217900: Incorrect syntax near")));
    }

    void theDemoFillsOnlyAnEmptyLaboratoryOrItsOwn()
    {
        // A working laboratory: an analyser's unposted download of a real sample.
        TestDatabase db;
        db.load(QStringLiteral("requests"));
        db.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, "
                               "Resultdate, InstrumentItem, ResultValue) VALUES ('AN-01', "
                               "'REAL-88', '2024-03-07 08:00:00', 'GLU', '5.1')"));
        db.useForComponent();
        const auto held = [&] {
            return db
                .query(QStringLiteral("SELECT SampleNum FROM tbLabInstrumentDLHemaResult "
                                      "UNION ALL SELECT count(*) FROM tbLabRequest"))
                .rows;
        };
        const auto before = held();
        const HostRun r = host({"demo"});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.contains("The laboratory at " + db.folder()) &&
                     r.err.contains("1 downloaded result,") &&
                     r.err.contains("Nothing was changed"),
                 qPrintable(r.err));
        QCOMPARE(held(), before);
    }

    // The password is in the settings file and in what connstr is asked for,
    // nowhere else: not in any message, trace line or log line.
    void passwordsStayInTheSettingsFile()
    {
        const QString secret = QStringLiteral("UserPw-LEAK-5522");
        QCOMPARE(host({"settings", "set", kApp, "Connection", "Password"}, secret.toUtf8() + "\n")
                     .status,
                 0);
        QCOMPARE(host({"settings", "get", kApp, "Connection", "Password"}).out, secret + "\n");
        SettingsStore::set(kApp, QStringLiteral("Connection"), QStringLiteral("User"),
                           QStringLiteral("labuser"));
        QTemporaryDir dir;
        qputenv("LIS_TRACE_COMMANDS", dir.filePath(QStringLiteral("trace.txt")).toUtf8());
        const QString uri = QStringLiteral("postgresql://labuser:%1@").arg(secret);
        for (const QString& server :
             {uri + "127.0.0.1:99999/laboratory", uri + "h1,h2/laboratory", uri + "[::1/lab",
              uri + "127.0.0.1/lab?frobnicate=1", uri + "127.0.0.1:1/lab?sslpassword=" + secret,
              QStringLiteral("127.0.0.1:1"),
              QStringLiteral("postgresql://labuser@127.0.0.1:1/"
                             "lab?password=") +
                  secret}) {
            SettingsStore::set(kApp, QStringLiteral("Connection"), QStringLiteral("Server"),
                               server);
            for (const QStringList& command : {QStringList{"query", "select * from tbLabRequest"},
                                               {"open", "R1"},
                                               {"demo"},
                                               {"server", "init"},
                                               {"audit", "R1"},
                                               {"option"}}) {
                const HostRun r = host(command);
                QVERIFY2(r.status != 0 && !r.err.isEmpty(), qPrintable(server));
                QVERIFY2(!(r.out + r.err).contains(secret), qPrintable(r.out + r.err));
            }
        }
        qunsetenv("LIS_TRACE_COMMANDS");
        QFile trace(dir.filePath(QStringLiteral("trace.txt")));
        QVERIFY(!trace.open(QIODevice::ReadOnly) || !trace.readAll().contains(secret.toUtf8()));
        SettingsStore::set(kApp, QStringLiteral("Connection"), QStringLiteral("Server"), QString());
        SettingsStore::set(kApp, QStringLiteral("Connection"), QStringLiteral("User"), QString());
    }

    // Root setting a user's settings leaves them the user's.
    void settingsKeepTheirOwner()
    {
        if (geteuid() != 0)
            QSKIP("only root writes another user's file");
        const passwd* nobody = getpwnam("nobody");
        if (!nobody)
            QSKIP("no user nobody");
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path());
        QVERIFY(::chown(folder.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        const QByteArray ours = qgetenv("LIS_CONFIG_DIR");
        qputenv("LIS_CONFIG_DIR", folder);
        // Made for the user, then changed in the file the user owns.
        QCOMPARE(host({"settings", "set", kApp, "Connection", "User", "theirs"}).status, 0);
        QCOMPARE(host({"settings", "set", kApp, "Connection", "Server", "SRV2"}).status, 0);
        qputenv("LIS_CONFIG_DIR", ours);
        struct stat st {};
        QVERIFY(::stat(QFile::encodeName(dir.filePath(kApp + ".ini")).constData(), &st) == 0);
        QCOMPARE(st.st_uid, nobody->pw_uid);
        QCOMPARE(st.st_gid, nobody->pw_gid);
        QCOMPARE(st.st_mode & 0777, 0600u);
    }

    void walkthroughDoesTheWholeJobInAFolderOfItsOwn()
    {
        QTemporaryDir parent;
        const QString dir = parent.filePath(QStringLiteral("walk"));
        // Run twice: a folder the walkthrough marked is its own.
        for (int run = 0; run < 2; ++run) {
            const HostRun r = host({"walkthrough", dir});
            QCOMPARE(r.status, 0);
            QVERIFY2(r.out.contains(QStringLiteral("Every step did what staff expect.")),
                     qPrintable(r.out));
        }
        // Reports and pictures name patients: the user's alone.
        QVERIFY(ownerOnly(dir));
        for (const char* file : {"L-1001.pdf", "L-1013.pdf", "01-cut-off-opened.png",
                                 "05-preview.png", "04-cut-off-maximised.png"}) {
            QVERIFY2(QFile::exists(QDir(dir).filePath(QLatin1String(file))), file);
            QVERIFY2(ownerOnly(QDir(dir).filePath(QLatin1String(file))), file);
        }
    }

    void walkthroughNeverReplacesWhatItDidNotMake()
    {
        // A workstation's laboratory in the folder named: refused, untouched.
        TestDatabase db;
        db.exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES ('REAL HOSPITAL')"));
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("laboratory")));
        const QString lab = dir.filePath(QStringLiteral("laboratory/laboratory.db"));
        QVERIFY(QFile::copy(db.folder() + QStringLiteral("/laboratory.db"), lab));
        const HostRun r = host({"walkthrough", dir.path()});
        QCOMPARE(r.status, 1);
        QVERIFY2(r.err.startsWith("Error 75: The folder " + dir.path() +
                                  " holds files the walkthrough did not make, a laboratory among "
                                  "them"),
                 qPrintable(r.err));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("laboratory"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("laboratory.db")});
        const QByteArray original = fileBytes(db.folder() + QStringLiteral("/laboratory.db"));
        QVERIFY(!original.isEmpty());
        QCOMPARE(fileBytes(lab), original);
    }
};

QTEST_GUILESS_MAIN(TstHost)
#include "tst_host.moc"
