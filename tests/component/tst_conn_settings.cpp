#include "AutomationObject.h"
#include "Caught.h"
#include "ConnSettings.h"
#include "SettingsStore.h"

#include <QtTest>

namespace {
void setConnection(const QString& user, const QString& password, const QString& server)
{
    const QString app = QStringLiteral("TARVIK Current User");
    const QString section = QStringLiteral("Connection");
    SettingsStore::set(app, section, QStringLiteral("User"), user);
    SettingsStore::set(app, section, QStringLiteral("Password"), password);
    SettingsStore::set(app, section, QStringLiteral("Server"), server);
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
        const auto row = [](const char* name, const char* user, const char* password,
                            const char* login) {
            QTest::newRow(name) << user << password << login;
        };
        const char* sspi = "Integrated Security=SSPI";
        row("integrated login", "", "", sspi);
        row("user and password", "labuser", "pw", "User ID=labuser;Password =pw");
        row("password ignored without user", "", "pw", sspi);
        row("a blank is a user", " ", "pw", "User ID= ;Password =pw");
        row("equals sign goes in unchanged", "u", "a=b", "User ID=u;Password =a=b");
        row("semicolon is quoted", "u", "x;Data Source=EVIL",
            "User ID=u;Password =\"x;Data Source=EVIL\"");
    }
    void connStr()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, login);
        setConnection(user, password, QStringLiteral("SRV1"));
        QCOMPARE(ConnSettings().connStr(4, QStringLiteral("LABORATORY")),
                 QStringLiteral("Provider=SQLOLEDB.8;") + login +
                     QStringLiteral(";Persist Security Info=False;Initial "
                                    "Catalog=LABORATORY;Data Source=SRV1"));
    }

    void otherSlotsAreReadFreshOrRefused()
    {
        auto settings = CreateObjectAs<ConnSettings>(QStringLiteral("Velquor.ConnSettings"));
        QVERIFY(settings);
        setConnection(QStringLiteral("labuser"), QStringLiteral("pw"), QStringLiteral("SRV1"));
        QCOMPARE((QStringList{settings->connStr(1), settings->connStr(2), settings->connStr(3),
                              settings->connStr(5)}),
                 (QStringList{"labuser", "pw", "SRV1", ""}));
        setConnection(QString(), QString(), QStringLiteral("SRV2")); // nothing is cached
        QVERIFY(settings->connStr(4).endsWith(";Initial Catalog=;Data Source=SRV2"));
        for (int n : {0, 6, -1})
            QCOMPARE(caught([&] { settings->connStr(n); }).number, 9);

        const Caught e = caught([] { CreateObject(QStringLiteral("Velquor.NoSuchClass")); });
        QCOMPARE(e.number, 429);
        QVERIFY(e.description.contains(QStringLiteral("Velquor.NoSuchClass")));
    }
};

QTEST_GUILESS_MAIN(TstConnSettings)
#include "tst_conn_settings.moc"
