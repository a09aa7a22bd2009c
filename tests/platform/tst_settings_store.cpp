#include "Caught.h"
#include "SettingsFile.h"
#include "SettingsStore.h"

#include <QRandomGenerator>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {
const QString kApp = QStringLiteral("TARVIK Current User");
const QString kConnection = QStringLiteral("Connection");
const QString kLaboratory = QStringLiteral("Laboratory");

QByteArray marker(const char* eol = "\n")
{
    return SettingsFile::markerLine().toUtf8() + eol;
}

QByteArray contents(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

int mode(const QString& path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QString path(const QString& application = kApp)
{
    return SettingsStore::folder() + u'/' + application + QStringLiteral(".ini");
}

} // namespace

class TstSettingsStore : public QObject {
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> m_scratch;

private slots:
    // Every case starts without a settings folder, so creating it is tested too.
    void init()
    {
        const QString base = qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath());
        QDir().mkpath(base);
        m_scratch = std::make_unique<QTemporaryDir>(base + QStringLiteral("/settings-XXXXXX"));
        QVERIFY(m_scratch->isValid());
        qputenv("LIS_CONFIG_DIR", QFile::encodeName(m_scratch->filePath(QStringLiteral("cfg"))));
    }

    // The lines that were misread before, and Qt's own forms, in a file with
    // and without the marker line.
    void handWrittenValuesReadAsWritten_data()
    {
        QTest::addColumn<QByteArray>("line");
        QTest::addColumn<QString>("plain");
        QTest::addColumn<QString>("legacy");
        const auto row = [](const char* line, const char* plain, const char* legacy) {
            QTest::newRow(line) << QByteArray(line) << QString::fromUtf8(plain)
                                << QString::fromUtf8(legacy);
        };
        row("password=SRV1\\SQLEXPRESS", "SRV1\\SQLEXPRESS", "SRV1\\SQLEXPRESS");
        row("password=lab,user", "lab,user", "lab,user");
        row("password=p;w#=", "p;w#=", "p;w#=");
        row("  PassWord \t=  Jürgen Ø \t", "Jürgen Ø", "Jürgen Ø");
        row("password=\" \"", " ", " ");
        row("password=\"\"x\"\"", "\"x\"", "\"\"x\"\"");
        row("password=\"a\\\\b\\\"c\"", "a\\\\b\\\"c", "a\\b\"c");
        row("password=@@x", "@@x", "@x");
    }
    void handWrittenValuesReadAsWritten()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, plain);
        QFETCH(QString, legacy);
        for (const bool marked : {true, false}) {
            const QByteArray bytes =
                (marked ? marker() : QByteArray()) + "# by hand\n[connection]\n" + line + '\n';
            write(path(), bytes);
            QCOMPARE(SettingsStore::get(kApp, kConnection, "Password"), marked ? plain : legacy);
            QCOMPARE(contents(path()), bytes);
        }
    }

    // Each value read back from a file the previous store wrote (QSettings
    // itself), from that file once converted, and from a file of our own.
    void valuesSurvive_data()
    {
        QTest::addColumn<QString>("value");
        for (const char* v : {"SRV1\\SQLEXPRESS", "lab,user", "p;w", "#x", "a=b=", "\"quoted\"",
                              "\"", "\"\"", " ", "  lead", "trail\t", "in\tside", "@x", "@@x", "",
                              "\\\\", "O'Brien", "Jürgen Østergård €😀", "\\\"a\\\""})
            QTest::newRow(v) << QString::fromUtf8(v);
    }
    void valuesSurvive()
    {
        QFETCH(QString, value);
        const QString password = QStringLiteral("Password");
        // Qt wrote a tab as \t, which now reads as the two characters (a
        // hand-written srv1\test means them), so legacy files skip tabs.
        if (!value.contains(u'\t')) {
            QDir().mkpath(SettingsStore::folder());
            {
                QSettings old(path(), QSettings::IniFormat);
                old.setValue("Connection/Password", value);
                old.setValue("Laboratory/Lab Name", value); // Qt writes Lab%20Name
            }
            for (const bool converted : {false, true}) {
                QCOMPARE(SettingsStore::get(kApp, kConnection, password), value);
                QCOMPARE(SettingsStore::get(kApp, kLaboratory, QStringLiteral("Lab Name")), value);
                QCOMPARE(contents(path()).startsWith(marker()), converted);
                SettingsStore::set(kApp, kConnection, QStringLiteral("User"), QStringLiteral("u"));
            }
        }
        SettingsStore::set(QStringLiteral("New"), kConnection, password, value);
        QCOMPARE(SettingsStore::get(QStringLiteral("New"), kConnection, password), value);
    }

    void setChangesOnlyItsLine_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QStringList>("set"); // section, key, value
        QTest::addColumn<QByteArray>("after");
        const auto row = [](const char* name, const QByteArray& before, const QStringList& set,
                            const QByteArray& after) {
            QTest::newRow(name) << before << set << after;
        };
        const QByteArray m = marker();
        const QByteArray body = "; the server\n[Connection]\nServer = old  \nUser=u\n\n"
                                "; printing\n[Laboratory]\nPrinter=p\n";
        row("existing key keeps its spacing", m + body, {"connection", "SERVER", "SRV1\\X"},
            m + QByteArray(body).replace("Server = old  ", "Server = SRV1\\X"));
        row("new key after the section's last key", m + body, {"Connection", "Password", " "},
            m + QByteArray(body).replace("User=u\n", "User=u\nPassword=\" \"\n"));
        row("new section appended", m + "[Connection]\nUser=u", {"Laboratory", "Printer", "x"},
            m + "[Connection]\nUser=u\n\n[Laboratory]\nPrinter=x\n");
        row("CRLF lines stay CRLF", marker("\r\n") + "[Connection]\r\nUser=u\r\n",
            {"Connection", "Server", "S"},
            marker("\r\n") + "[Connection]\r\nUser=u\r\nServer=S\r\n");
        row("byte order mark kept", "\xEF\xBB\xBF" + m + "[Connection]\nUser=u\n",
            {"Connection", "User", "v"}, "\xEF\xBB\xBF" + m + "[Connection]\nUser=v\n");
        row("key before any section", m + "Top=1\n[Connection]\n", {"", "Next", "2"},
            m + "Top=1\nNext=2\n[Connection]\n");
        row("same value, no rewrite", m + "[Connection]\nUser = \"u\"\n",
            {"Connection", "User", "u"}, m + "[Connection]\nUser = \"u\"\n");
        row("legacy file gains the marker, keeps lines that mean the same",
            "[Connection]\nServer=SRV1\\SQL\nUser=\"a,b\"\n", {"Connection", "User", "a,b"},
            m + "[Connection]\nServer=SRV1\\SQL\nUser=\"a,b\"\n");
        row("legacy escapes rewritten plain", "[Connection]\nPassword=\"a\\\\b\"\nLab%20Name=@@x\n",
            {"Connection", "User", "u"}, m + "[Connection]\nPassword=a\\b\nLab Name=@x\nUser=u\n");
    }
    void setChangesOnlyItsLine()
    {
        QFETCH(QByteArray, before);
        QFETCH(QStringList, set);
        QFETCH(QByteArray, after);
        write(path(), before);
        SettingsStore::set(kApp, set[0], set[1], set[2]);
        QCOMPARE(contents(path()), after);
        QCOMPARE(SettingsStore::get(kApp, set[0], set[1]), set[2]);
    }

    void unreadableFilesAreRefusedAndKept_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<int>("line"); // 0: no line to name
        QRandomGenerator random(20240607);
        QByteArray garbage(512, '\0');
        random.fillRange(reinterpret_cast<quint32*>(garbage.data()), garbage.size() / 4);
        QTest::newRow("random bytes") << garbage << 1;
        QTest::newRow("cut mid UTF-8") << QByteArray("[Connection]\nUser=J\xC3") << 2;
        QTest::newRow("cut mid section line") << QByteArray("[Connection]\nUser=u\n[Labo") << 3;
        QTest::newRow("broken section above the keys")
            << QByteArray("[Connection\nServer=S\nUser=u\nPassword=p\n") << 1;
        const char nul[] = "[Connection]\nUser=a\0b\n";
        QTest::newRow("NUL byte") << QByteArray(nul, sizeof nul - 1) << 2;
        QTest::newRow("lone carriage return") << QByteArray("[Connection]\rUser=u\n") << 1;
        QTest::newRow("no equals sign") << QByteArray("[Connection]\nServer SRV1\n") << 2;
        QTest::newRow("text after the bracket") << QByteArray("[Connection] ; c\nUser=u\n") << 1;
        QTest::newRow("key twice") << QByteArray("[Connection]\nUser=a\n\nuser=b\n") << 4;
        QTest::newRow("folder in its place") << QByteArray() << 0;
        QTest::newRow("no read permission") << QByteArray("[Connection]\nUser=u\n") << 0;
    }
    void unreadableFilesAreRefusedAndKept()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(int, line);
        const bool folder = QByteArray(QTest::currentDataTag()).startsWith("folder");
        if (folder)
            QVERIFY(QDir().mkpath(path()));
        else
            write(path(), bytes);
        if (QByteArray(QTest::currentDataTag()).startsWith("no read")) {
            if (::geteuid() == 0)
                QSKIP("root reads a file whatever its permissions");
            QFile::setPermissions(path(), QFileDevice::Permissions());
        }
        const QStringList entries = QDir(SettingsStore::folder()).entryList(QDir::AllEntries);

        const QList<std::function<void()>> calls = {
            [] { SettingsStore::get(kApp, kConnection, QStringLiteral("User")); },
            [] { SettingsStore::set(kApp, kLaboratory, QStringLiteral("Printer"), "x"); },
            [] { SettingsStore::set(kApp, kConnection, QStringLiteral("Server"), "x"); },
            [] { SettingsStore::all(); }};
        for (const auto& call : calls) {
            const Caught e = caught(call);
            QCOMPARE(e.number, 75);
            QVERIFY2(e.description.contains(path()), qPrintable(e.description));
            if (line > 0)
                QVERIFY2(e.description.contains(QStringLiteral("line %1 ").arg(line)),
                         qPrintable(e.description));
        }
        QCOMPARE(QDir(SettingsStore::folder()).entryList(QDir::AllEntries), entries);
        QCOMPARE(QFileInfo(path()).isDir(), folder);
        QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (!folder)
            QCOMPARE(contents(path()), bytes);
    }

    void permissionsStayUserOnly_data()
    {
        QTest::addColumn<int>("before"); // -1: no file yet
        QTest::addColumn<int>("after");
        QTest::newRow("new file") << -1 << 0600;
        QTest::newRow("loosened by hand") << 0644 << 0600;
        QTest::newRow("user-only") << 0600 << 0600;
        QTest::newRow("tightened by hand") << 0400 << 0400;
    }
    void permissionsStayUserOnly()
    {
        QFETCH(int, before);
        QFETCH(int, after);
        if (before >= 0) {
            write(path(), marker() + "[Connection]\nUser=u\n");
            QCOMPARE(::chmod(QFile::encodeName(path()).constData(), mode_t(before)), 0);
        }
        const Caught e = caught(
            [] { SettingsStore::set(kApp, kConnection, QStringLiteral("Password"), "s3cr=t;x"); });
        // Only root can write a file its user made read-only.
        QCOMPARE(e.number, before == 0400 && ::geteuid() != 0 ? 75 : 0);
        QCOMPARE(mode(path()), after);
        if (before < 0)
            QCOMPARE(mode(SettingsStore::folder()), 0700);
    }

    void namesFoundInAnyCaseAndListed()
    {
        const QString lower = SettingsStore::folder() + QStringLiteral("/tarvik current user.ini");
        write(lower, marker() + "[connection]\nserver=X\n");
        QCOMPARE(SettingsStore::filePath(kApp), lower);
        QCOMPARE(SettingsStore::get(kApp, kConnection, QStringLiteral("Server")), "X");
        SettingsStore::set(kApp, kConnection, QStringLiteral("SERVER"), QStringLiteral("Y"));
        QCOMPARE(contents(lower), marker() + "[connection]\nserver=Y\n");
        write(path(QStringLiteral("b")), marker() + "Top=t\n[S]\nK=\" v \"\n");
        QList<QStringList> listed;
        for (const SettingsStore::Entry& e : SettingsStore::all())
            listed.append({e.application, e.section, e.key, e.value});
        QCOMPARE(listed,
                 (QList<QStringList>{{"b", "", "Top", "t"},
                                     {"b", "S", "K", " v "},
                                     {"tarvik current user", "connection", "server", "Y"}}));

        // Two files differing only in case: neither is chosen silently.
        write(path(), marker());
        for (const auto& call : QList<std::function<void()>>{
                 [] { SettingsStore::get(kApp, kConnection, QStringLiteral("Server")); },
                 [] { SettingsStore::set(kApp, kConnection, QStringLiteral("Server"), "Z"); },
                 [] { SettingsStore::all(); }}) {
            const Caught e = caught(call);
            QCOMPARE(e.number, 75);
            QVERIFY(e.description.contains(lower) && e.description.contains(path()));
        }
    }

    void badNamesAndValuesRefused_data()
    {
        QTest::addColumn<QStringList>("set"); // application, section, key, value
        QTest::newRow("key with equals") << QStringList{kApp, kConnection, "a=b", "v"};
        QTest::newRow("key like a comment") << QStringList{kApp, kConnection, ";k", "v"};
        QTest::newRow("section with bracket") << QStringList{kApp, "a]b", "k", "v"};
        QTest::newRow("line break in value") << QStringList{kApp, kConnection, "k", "a\nServer=x"};
        QTest::newRow("application with slash") << QStringList{"../x", kConnection, "k", "v"};
    }
    void badNamesAndValuesRefused()
    {
        QFETCH(QStringList, set);
        QCOMPARE(caught([&] { SettingsStore::set(set[0], set[1], set[2], set[3]); }).number, 5);
        QVERIFY(!QFileInfo::exists(SettingsStore::folder()));
    }

    // Two programs setting values at once: each change survives.
    void concurrentWritersLoseNothing()
    {
        std::atomic<int> failures = 0;
        const auto writer = [&](const QString& prefix) {
            for (int i = 0; i < 20; ++i) {
                failures +=
                    caught([&] {
                        SettingsStore::set(kApp, kLaboratory, prefix + QString::number(i), prefix);
                    }).number != 0;
            }
        };
        std::thread a(writer, QStringLiteral("a"));
        std::thread b(writer, QStringLiteral("b"));
        a.join();
        b.join();
        QCOMPARE(failures.load(), 0);
        QCOMPARE(SettingsStore::all().size(), 40);
    }
};

QTEST_GUILESS_MAIN(TstSettingsStore)
#include "tst_settings_store.moc"
