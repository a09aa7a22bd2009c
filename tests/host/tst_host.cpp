#include "platform/SettingsStore.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/Files.h"
#include "tests/support/HostProgram.h"
#include "tests/support/TestDatabase.h"

#include <QTemporaryDir>
#include <QtTest>
#include <pwd.h>
#include <unistd.h>

static const QString kApp = QStringLiteral("TARVIK Current User");

// The host program as an administrator and a hospital system use it.
class TstHost : public QObject {
    Q_OBJECT
private slots:
    // What the component composes from this workstation's settings, as lis-host
    // hands it on: the login as stored, quoted where it must be.
    void connstr_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("login");
        const auto row = [](const char* name, const char* u, const char* p, const char* login) {
            QTest::newRow(name) << u << p << login;
        };
        row("password ignored without user", "", "pw", "Integrated Security=SSPI");
        row("user and password", "labuser", "pw", "User ID=labuser;Password =pw");
        row("a blank is a user", " ", "pw", "User ID= ;Password =pw");
        row("equals sign unchanged", "u", "a=b", "User ID=u;Password =a=b");
        row("semicolon is quoted", "u", "x;Data Source=EVIL",
            "User ID=u;Password =\"x;Data Source=EVIL\"");
        row("quotes of a password kept", "u", "\"Q-pw\"", "User ID=u;Password =\"\"\"Q-pw\"\"\"");
    }
    void connstr()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, login);
        setConnection("User", user);
        setConnection("Password", password);
        const QString text = said({"connstr", "4", "LABORATORY"});
        QCOMPARE(text,
                 "Provider=SQLOLEDB.8;" + login +
                     ";Persist Security Info=False;Initial Catalog=LABORATORY;Data Source=\n");
        // The server gets the password as it was stored.
        if (!user.isEmpty())
            QCOMPARE(ConnectionString::parse(text.chopped(1)).password(), password);
        setConnection("User", QString());
        setConnection("Password", QString());
    }

    void settingsAndTheirErrors()
    {
        QCOMPARE(said({"settings", "set", kApp, "Connection", "Server", "SRV1"}), QString());
        QCOMPARE(said({"settings", "get", kApp, "Connection", "Server"}), "SRV1\n");
        QCOMPARE(said({"connstr", "3"}), "SRV1\n");
        for (const char* slot : {"0", "6", "-1"})
            QCOMPARE(said({"connstr", slot}, 1), "Error 9: Subscript out of range\n");
        // A server that cannot be reached fails at the creation of the component.
        QVERIFY(said({"open", "R1"}, 1)
                    .contains("Error -2147467259: Cannot connect to the laboratory database "
                              "\"LABORATORY\" on the PostgreSQL server SRV1: "));
        QVERIFY(said({"frobnicate"}, 2).contains("Usage:"));
    }

    // A working laboratory, with an analyser's unposted download of a real
    // sample: a request opens its window or says why not; the demo refuses
    // to touch it.
    void aWorkingLaboratory()
    {
        TestDatabase db;
        db.load(QStringLiteral("requests"));
        db.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, "
                               "Resultdate, InstrumentItem, ResultValue) VALUES ('AN-01', "
                               "'REAL-88', '2024-03-07 08:00:00', 'GLU', '5.1')"));
        db.useForComponent();
        QVERIFY(said({"open", "  R1  ", "--top", "300", "--left", "450"})
                    .endsWith("] frmDownloaded opened without a display and closed.\n"));
        // Told as the window says it, the advice indented below.
        QVERIFY(said({"open", "R4"})
                    .startsWith("[Invalid Exam Format] Exam not yet formatted.\n  Histopathology "
                                "of request R4 has no result format"));
        const QString held = QStringLiteral("SELECT SampleNum FROM tbLabInstrumentDLHemaResult "
                                            "UNION ALL SELECT count(*) FROM tbLabRequest");
        const auto before = db.query(held).rows;
        const QString refused = said({"demo"}, 1);
        QVERIFY2(refused.contains("The laboratory at " + db.folder()) &&
                     refused.contains("1 downloaded result,") &&
                     refused.contains("Nothing was changed"),
                 qPrintable(refused));
        QCOMPARE(db.query(held).rows, before);
        qunsetenv("LIS_TRACE_COMMANDS");
    }

    void demoThenQuery()
    {
        setConnection("Server", QString());
        const QString demo = said({"demo"});
        for (const char* line : {"L-1001  frmDownloaded   Hepatitis B Profile",
                                 "L-1016  frmNVDownloads", "L-1017  no window"})
            QVERIFY2(demo.contains(QLatin1String(line)), qPrintable(demo));
        // Safe to run again: same requests, saved results kept once.
        QCOMPARE(said({"demo"}), demo);

        const QString rows = said({"query", "LABORATORY..Lab_GetResultWithCutOff  'L-1006'"});
        QVERIFY2(rows.startsWith("ItemID\tExamName\tPatientValue\t") && rows.endsWith("(4 rows)\n"),
                 qPrintable(rows));
        QVERIFY(said({"query", "delete from tbLabResult"}, 1)
                    .startsWith("Error -2147217900: Incorrect syntax near"));
    }

    // The password is in the settings file and in what connstr is asked for,
    // nowhere else: not in any message, trace line or log line.
    void passwordsStayInTheSettingsFile()
    {
        const QString secret = QStringLiteral("UserPw-LEAK-5522");
        QCOMPARE(
            said({"settings", "set", kApp, "Connection", "Password"}, 0, secret.toUtf8() + "\n"),
            QString());
        QCOMPARE(said({"settings", "get", kApp, "Connection", "Password"}), secret + "\n");
        setConnection("User", QStringLiteral("labuser"));
        // The other slots: user, password, one never handed out.
        QCOMPARE(
            (QStringList{said({"connstr", "1"}), said({"connstr", "2"}), said({"connstr", "5"})}),
            (QStringList{"labuser\n", secret + "\n", "\n"}));
        QTemporaryDir dir;
        qputenv("LIS_TRACE_COMMANDS", dir.filePath(QStringLiteral("trace.txt")).toUtf8());
        const QString uri = QStringLiteral("postgresql://labuser:%1@").arg(secret);
        for (const QString& server :
             {uri + "127.0.0.1:99999/laboratory", uri + "h1,h2/laboratory", uri + "[::1/lab",
              uri + "127.0.0.1/lab?frobnicate=1", uri + "127.0.0.1:1/lab?sslpassword=" + secret,
              QStringLiteral("127.0.0.1:1"),
              QStringLiteral("postgresql://labuser@127.0.0.1:1/lab?password=") + secret}) {
            setConnection("Server", server);
            for (const char* command : {"query|select * from tbLabRequest", "open|R1", "demo",
                                        "server|init", "audit|R1", "option"}) {
                const HostRun r = host(QString::fromLatin1(command).split(u'|'));
                QVERIFY2(r.status != 0 && !r.err.isEmpty(), qPrintable(server));
                QVERIFY2(!(r.out + r.err).contains(secret), qPrintable(r.out + r.err));
            }
        }
        qunsetenv("LIS_TRACE_COMMANDS");
        QVERIFY(!fileBytes(dir.filePath(QStringLiteral("trace.txt"))).contains(secret.toUtf8()));
        setConnection("Server", QString());
        setConnection("User", QString());
    }

    // Root setting a user's settings leaves them the user's.
    void settingsKeepTheirOwner()
    {
        const passwd* nobody = getpwnam("nobody");
        if (geteuid() != 0 || !nobody)
            QSKIP("only root writes another user's file (as nobody's)");
        QTemporaryDir dir;
        const QByteArray folder = QFile::encodeName(dir.path());
        QVERIFY(::chown(folder.constData(), nobody->pw_uid, nobody->pw_gid) == 0);
        const QByteArray ours = qgetenv("LIS_CONFIG_DIR");
        qputenv("LIS_CONFIG_DIR", folder);
        // Made for the user, then changed in the file the user owns.
        for (const char* server : {"SRV1", "SRV2"})
            QCOMPARE(said({"settings", "set", kApp, "Connection", "Server", server}), QString());
        qputenv("LIS_CONFIG_DIR", ours);
        const QFileInfo file(dir.filePath(kApp + ".ini"));
        QCOMPARE((QList<uint>{file.ownerId(), file.groupId()}),
                 (QList<uint>{nobody->pw_uid, nobody->pw_gid}));
        QVERIFY(ownerOnly(file.filePath()));
    }

    // A workstation's laboratory in the folder named: refused, untouched. A
    // folder of its own: the whole job, and again in the folder it marked.
    void walkthroughWorksOnlyInAFolderOfItsOwn()
    {
        TestDatabase db;
        db.exec(QStringLiteral("INSERT INTO tbHospitalInfo (Title) VALUES ('REAL HOSPITAL')"));
        QTemporaryDir parent;
        const QDir dir(parent.filePath(QStringLiteral("walk")));
        QVERIFY(dir.mkpath(QStringLiteral("laboratory")));
        const QByteArray original = fileBytes(db.folder() + QStringLiteral("/laboratory.db"));
        const QString lab = dir.filePath(QStringLiteral("laboratory/laboratory.db"));
        QVERIFY(!original.isEmpty() && QFile::copy(db.folder() + "/laboratory.db", lab));
        QVERIFY(said({"walkthrough", dir.path()}, 1)
                    .startsWith("Error 75: The folder " + dir.path() +
                                " holds files the walkthrough did not make, a laboratory among "
                                "them"));
        QCOMPARE(QDir(dir.filePath(QStringLiteral("laboratory"))).entryList(QDir::Files),
                 QStringList{QStringLiteral("laboratory.db")});
        QCOMPARE(fileBytes(lab), original);

        const QDir own(parent.filePath(QStringLiteral("own")));
        for (int run = 0; run < 2; ++run)
            QVERIFY(
                said({"walkthrough", own.path()}).contains("Every step did what staff expect."));
        // Reports and pictures name patients: the user's alone.
        for (const char* file : {".", "L-1001.pdf", "L-1013.pdf", "01-cut-off-opened.png",
                                 "05-preview.png", "04-cut-off-maximised.png"})
            QVERIFY2(own.exists(file) && ownerOnly(own.filePath(file)), file);
    }
};

QTEST_GUILESS_MAIN(TstHost)
#include "tst_host.moc"
