#include "platform/CommandText.h"
#include "platform/LisError.h"
#include "platform/SqlText.h"
#include "platform/db/Connection.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/Caught.h"
#include "tests/support/Files.h"

#include <QtTest>

using namespace Qt::StringLiterals;

namespace {
// The transaction calls the fake server received.
QStringList fakeLog;

// A server that answers every command with one fixed result set.
struct FakeSession : DbSession {
    ResultSet run(const QString&) override
    {
        return {{"Name", "Age", "Note"}, {{"O'Brien", 7, QVariant()}, {"Second", 5.5, "x"}}};
    }
    void beginTransaction() override { fakeLog << u"<begin>"_s; }
    void commitTransaction() override { fakeLog << u"<commit>"_s; }
    void rollbackTransaction() override { fakeLog << u"<rollback>"_s; }
};

struct FakeDriver : DbDriver {
    QString name() const override { return u"fake"_s; }
    bool accepts(const ConnectionString& cs) const override { return cs.dataSource() == u"FAKE"_s; }
    std::unique_ptr<DbSession> connect(const ConnectionString&) override
    {
        return std::make_unique<FakeSession>();
    }
};

const QString kFake = u"Provider=X;Data Source=FAKE"_s;
} // namespace

class TstDbClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { DriverRegistry::add(std::make_shared<FakeDriver>()); }

    // Each row: the text -> the key asked for -> its value.
    void connectionStringFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        for (const char* row :
             {"User ID=u;Password =secret -> Password -> secret",
              "data source=S1 -> Data Source -> S1", "User ID= ;Password =p -> User ID ->  ",
              "Initial Catalog=;Data Source= -> Data Source -> ",
              "Password =\"a;b\"\"c\";Data Source=S -> Password -> a;b\"c",
              "Password =\"x;Data Source=EVIL\";Data Source=S -> Data Source -> S",
              "Password =a=b;X=1 -> Password -> a=b",
              "Password =\"ab\"c;X=1 -> Password -> \"ab\"c"}) {
            const QStringList f = QString::fromLatin1(row).split(u" -> "_s);
            QTest::newRow(row) << f[0] << f[1] << f[2];
        }
        const QString doubled = u"p\"a;s\"s"_s;
        QTest::newRow("quoted by quoteValue")
            << "Password =" + ConnectionString::quoteValue(doubled) + ";Data Source=S1"
            << "Password" << doubled;
    }
    void connectionStringFields()
    {
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QCOMPARE(ConnectionString::parse(text).value(key), value);
    }

    void connectionAndRecordsets()
    {
        Connection c;
        const auto error = [](const auto& call) { return caught(call).number; };
        QList<int> errors{error([&] { c.execute(u"x"_s); })};
        c.setConnectionString(kFake);
        c.open();
        errors << error([&] { c.setConnectionString(kFake); }) << error([&] { c.commitTrans(); });
        c.beginTrans();
        errors << error([&] { c.beginTrans(); });
        QCOMPARE(errors, (QList<int>{ErrNo::ObjectClosed, ErrNo::ObjectOpen,
                                     ErrNo::DbTransactionFailed, ErrNo::DbTransactionFailed}));

        // Names match in any case; a Null is empty only through textOrEmpty.
        auto rs = c.openRecordset(u"q"_s, CursorOptions::clientDynamic());
        const auto text = [&](const char* f) {
            return QString::number(error([&] { rs->text(f); }));
        };
        QStringList seen{QString::number(rs->recordCount()),
                         rs->text("NAME"),
                         rs->text("age"),
                         rs->textOrEmpty("Note"),
                         text("Note"),
                         text("Missing")};
        rs->moveNext();
        seen << rs->text("Age");
        rs->moveNext();
        seen << QString::number(rs->eof()) << text("Name");
        QCOMPARE(seen, (QStringList{"2", "O'Brien", "7", "", "94", "3265", "5.5", "1", "3021"}));
        auto server = c.openRecordset(u"q"_s, CursorOptions::serverDynamic());
        QVERIFY(server->recordCount() == -1 && !server->eof());

        fakeLog.clear();
        c.close(); // an open transaction is rolled back, never committed
        QCOMPARE(fakeLog, QStringList{u"<rollback>"_s});
        QVERIFY(!c.isOpen());
    }

    void traceHoldsEveryCommandExactly()
    {
        const QString trace = qEnvironmentVariable("LIS_TEST_SCRATCH") + u"/trace.txt"_s;
        qputenv("LIS_TRACE_COMMANDS", trace.toLocal8Bit());
        {
            Connection c;
            c.open(kFake);
            c.openRecordset(u"Lab_X  'a','b', 'c'"_s);
            c.execute(u"two\nlines"_s);
        }
        qunsetenv("LIS_TRACE_COMMANDS");
        QCOMPARE(fileBytes(trace), QByteArray("Lab_X  'a','b', 'c'\ntwo\\nlines\n"));
        // Commands carry patient names: a trace the client makes is private.
        QVERIFY(ownerOnly(trace));
    }
    // Each join as the commands have always been sent; quotes doubled so a
    // value never ends its literal; a value's own "%2" is not replaced again.
    void commandTextsKeepTheirJoins()
    {
        using namespace CommandText;
        QCOMPARE(call(u"Lab_X"_s, QStringList{}), u"Lab_X"_s);
        QCOMPARE(call(u"Lab_X "_s, {u"O'Brien"_s}), u"Lab_X  'O''Brien'"_s);
        QCOMPARE(call(u"Lab_X"_s, {"a", tight("b"), "c", loose("d"), ""}),
                 u"Lab_X 'a','b', 'c' , 'd', ''"_s);
        QCOMPARE(call(u"Lab_X"_s, {"a", spaced("b"), "c"}, Join::Tight), u"Lab_X 'a', 'b','c'"_s);
        QCOMPARE(
            select(u"select * from t where a = %1 and b like %2 and c = %3"_s, {u"%2'"_s, u"x%"_s}),
            u"select * from t where a = '%2''' and b like 'x%' and c = %3"_s);
    }
};

QTEST_GUILESS_MAIN(TstDbClient)
#include "tst_db_client.moc"
