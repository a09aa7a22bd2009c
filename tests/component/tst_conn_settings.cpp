#include "component/AutomationObject.h"
#include "component/ConnSettings.h"
#include "platform/SettingsStore.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/Caught.h"

#include <QtTest>

namespace {
void setConnection(const QStringList& values) // user, password, server
{
    const QStringList keys{"User", "Password", "Server"};
    for (int i = 0; i < keys.size(); ++i)
        SettingsStore::set("TARVIK Current User", "Connection", keys[i], values[i]);
}
} // namespace

class TstConnSettings : public QObject {
    Q_OBJECT
private slots:
    void connStr_data()
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
    void connStr()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, login);
        setConnection({user, password, "SRV1"});
        const QString text = ConnSettings().connStr(4, QStringLiteral("LABORATORY"));
        QCOMPARE(text,
                 "Provider=SQLOLEDB.8;" + login +
                     ";Persist Security Info=False;Initial Catalog=LABORATORY;Data Source=SRV1");
        // The server gets the password as it was stored.
        if (!user.isEmpty())
            QCOMPARE(ConnectionString::parse(text).password(), password);
    }

    void otherSlotsAreReadFreshOrRefused()
    {
        const auto settings = CreateObjectAs<ConnSettings>(QStringLiteral("Velquor.ConnSettings"));
        setConnection({"labuser", "pw", "SRV1"});
        QCOMPARE((QStringList{settings->connStr(1), settings->connStr(2), settings->connStr(3),
                              settings->connStr(5)}),
                 (QStringList{"labuser", "pw", "SRV1", ""}));
        setConnection({"", "", "SRV2"}); // nothing is cached
        QVERIFY(settings->connStr(4).endsWith(";Initial Catalog=;Data Source=SRV2"));
        for (int n : {0, 6, -1})
            QCOMPARE(caught([&] { settings->connStr(n); }).number, 9);

        const Caught e = caught([] { CreateObject(QStringLiteral("Velquor.NoSuchClass")); });
        QCOMPARE(e.number, 429);
        QVERIFY(e.description.contains("Velquor.NoSuchClass"));
    }
};

QTEST_GUILESS_MAIN(TstConnSettings)
#include "tst_conn_settings.moc"
