#include "AutomationObject.h"
#include "Caught.h"
#include "ConnSettings.h"
#include "SettingsStore.h"

#include <QtTest>

namespace {
void setConnection(const QString& key, const QString& value)
{
    SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Connection"), key,
                       value);
}
} // namespace

class TstConnSettings : public QObject {
    Q_OBJECT
private slots:
    void connStr_data()
    {
        QTest::addColumn<QString>("user");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("server");
        QTest::addColumn<int>("regType");
        QTest::addColumn<QString>("catalog");
        QTest::addColumn<QString>("expected");
        const QString tail = QStringLiteral(";Persist Security Info=False;Initial Catalog=");
        QTest::newRow("integrated login") << ""
                                          << ""
                                          << "SRV1" << 4 << "LABORATORY"
                                          << "Provider=SQLOLEDB.8;Integrated Security=SSPI" + tail +
                                                 "LABORATORY;Data Source=SRV1";
        QTest::newRow("user and password") << "labuser"
                                           << "pw"
                                           << "SRV1" << 4 << "LABORATORY"
                                           << "Provider=SQLOLEDB.8;User ID=labuser;Password =pw" +
                                                  tail + "LABORATORY;Data Source=SRV1";
        QTest::newRow("password ignored without user")
            << ""
            << "pw"
            << "SRV1" << 4 << "LABORATORY"
            << "Provider=SQLOLEDB.8;Integrated Security=SSPI" + tail +
                   "LABORATORY;Data Source=SRV1";
        QTest::newRow("a blank is a user")
            << " "
            << "pw"
            << "SRV1" << 4 << "LABORATORY"
            << "Provider=SQLOLEDB.8;User ID= ;Password =pw" + tail + "LABORATORY;Data Source=SRV1";
        QTest::newRow("no catalog")
            << ""
            << ""
            << "SRV1" << 4 << ""
            << "Provider=SQLOLEDB.8;Integrated Security=SSPI" + tail + ";Data Source=SRV1";
        QTest::newRow("nothing set")
            << ""
            << ""
            << "" << 4 << "LABORATORY"
            << "Provider=SQLOLEDB.8;Integrated Security=SSPI" + tail + "LABORATORY;Data Source=";
        QTest::newRow("equals sign goes in unchanged")
            << "u"
            << "a=b"
            << "SRV1" << 4 << "LABORATORY"
            << "Provider=SQLOLEDB.8;User ID=u;Password =a=b" + tail + "LABORATORY;Data Source=SRV1";
        QTest::newRow("semicolon is quoted")
            << "u"
            << "x;Data Source=EVIL"
            << "SRV1" << 4 << "LABORATORY"
            << "Provider=SQLOLEDB.8;User ID=u;Password =\"x;Data Source=EVIL\"" + tail +
                   "LABORATORY;Data Source=SRV1";
        QTest::newRow("slot 1") << "labuser"
                                << "pw"
                                << "SRV1" << 1 << ""
                                << "labuser";
        QTest::newRow("slot 2") << "labuser"
                                << "pw"
                                << "SRV1" << 2 << ""
                                << "pw";
        QTest::newRow("slot 3") << "labuser"
                                << "pw"
                                << "SRV1" << 3 << ""
                                << "SRV1";
        QTest::newRow("slot 5") << "labuser"
                                << "pw"
                                << "SRV1" << 5 << ""
                                << "";
    }
    void connStr()
    {
        QFETCH(QString, user);
        QFETCH(QString, password);
        QFETCH(QString, server);
        QFETCH(int, regType);
        QFETCH(QString, catalog);
        QFETCH(QString, expected);
        setConnection(QStringLiteral("User"), user);
        setConnection(QStringLiteral("Password"), password);
        setConnection(QStringLiteral("Server"), server);
        QCOMPARE(ConnSettings().connStr(regType, catalog), expected);
    }

    void otherNumbersAreSubscriptErrors()
    {
        for (int n : {0, 6, -1, 100}) {
            const Caught e = caught([&] { ConnSettings().connStr(n); });
            QCOMPARE(e.number, 9);
            QCOMPARE(e.description, QStringLiteral("Subscript out of range"));
        }
    }

    void nothingIsCached()
    {
        auto settings = CreateObjectAs<ConnSettings>(QStringLiteral("Velquor.ConnSettings"));
        QVERIFY(settings);
        setConnection(QStringLiteral("Server"), QStringLiteral("SRV1"));
        const QString first = settings->connStr(4, QStringLiteral("LABORATORY"));
        setConnection(QStringLiteral("Server"), QStringLiteral("SRV2"));
        const QString second = settings->connStr(4, QStringLiteral("LABORATORY"));
        QVERIFY(first.endsWith(QStringLiteral(";Data Source=SRV1")));
        QVERIFY(second.endsWith(QStringLiteral(";Data Source=SRV2")));
    }

    void unknownProgIdCannotBeCreated()
    {
        const Caught e = caught([] { CreateObject(QStringLiteral("Velquor.NoSuchClass")); });
        QCOMPARE(e.number, 429);
        QVERIFY(e.description.contains(QStringLiteral("Velquor.NoSuchClass")));
    }
};

QTEST_GUILESS_MAIN(TstConnSettings)
#include "tst_conn_settings.moc"
