#include "platform/CommandText.h"
#include "platform/LisError.h"
#include "platform/SqlText.h"
#include "platform/db/Connection.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/Caught.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// The transaction calls the fake server received.
QStringList fakeLog;

// A server that answers every command with one fixed result set.
struct FakeSession : DbSession {
    ResultSet run(const QString&) override
    {
        return {{"Name", "Age", "Note"}, {{"O'Brien", 7, QVariant()}, {"Second", 5.5, "x"}}};
    }
    void beginTransaction() override { fakeLog << QStringLiteral("<begin>"); }
    void commitTransaction() override { fakeLog << QStringLiteral("<commit>"); }
    void rollbackTransaction() override { fakeLog << QStringLiteral("<rollback>"); }
};

struct FakeDriver : DbDriver {
    QString name() const override { return QStringLiteral("fake"); }
    bool accepts(const ConnectionString& cs) const override
    {
        return cs.dataSource() == QLatin1String("FAKE");
    }
    std::unique_ptr<DbSession> connect(const ConnectionString&) override
    {
        return std::make_unique<FakeSession>();
    }
};

const QString kFake = QStringLiteral("Provider=X;Data Source=FAKE");
} // namespace

class TstDbClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { DriverRegistry::add(std::make_shared<FakeDriver>()); }

    void connectionStringFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        const auto row = [](const char* name, const char* text, const char* key, const char* v) {
            QTest::newRow(name) << text << key << v;
        };
        row("blank before equals", "User ID=u;Password =secret", "Password", "secret");
        row("key without case", "data source=S1", "Data Source", "S1");
        row("single blank value", "User ID= ;Password =p", "User ID", " ");
        row("empty value at end", "Initial Catalog=;Data Source=", "Data Source", "");
        row("quoted with semicolon", "Password =\"a;b\"\"c\";Data Source=S", "Password", "a;b\"c");
        row("quoted cannot add a key", "Password =\"x;Data Source=EVIL\";Data Source=S",
            "Data Source", "S");
        row("equals inside value", "Password =a=b;X=1", "Password", "a=b");
        row("quote not closing the value stays raw", "Password =\"ab\"c;X=1", "Password",
            "\"ab\"c");
        const QString doubled = QStringLiteral("p\"a;s\"s");
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
        QList<int> errors{error([&] { c.execute(QStringLiteral("x")); })};
        c.setConnectionString(kFake);
        c.open();
        errors << error([&] { c.setConnectionString(kFake); }) << error([&] { c.commitTrans(); });
        c.beginTrans();
        errors << error([&] { c.beginTrans(); });
        QCOMPARE(errors, (QList<int>{ErrNo::ObjectClosed, ErrNo::ObjectOpen,
                                     ErrNo::DbTransactionFailed, ErrNo::DbTransactionFailed}));

        // Names match in any case; a Null is empty only through textOrEmpty.
        auto rs = c.openRecordset(QStringLiteral("q"), CursorOptions::clientDynamic());
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
        auto server = c.openRecordset(QStringLiteral("q"), CursorOptions::serverDynamic());
        QVERIFY(server->recordCount() == -1 && !server->eof());

        fakeLog.clear();
        c.close(); // an open transaction is rolled back, never committed
        QCOMPARE(fakeLog, QStringList{QStringLiteral("<rollback>")});
        QVERIFY(!c.isOpen());
    }

    void traceHoldsEveryCommandExactly()
    {
        QTemporaryDir dir;
        QFile trace(dir.filePath(QStringLiteral("trace.txt")));
        qputenv("LIS_TRACE_COMMANDS", trace.fileName().toLocal8Bit());
        {
            Connection c;
            c.open(kFake);
            c.openRecordset(QStringLiteral("Lab_X  'a','b', 'c'"));
            c.execute(QStringLiteral("two\nlines"));
        }
        qunsetenv("LIS_TRACE_COMMANDS");
        QVERIFY(trace.open(QIODevice::ReadOnly));
        QCOMPARE(trace.readAll(), QByteArray("Lab_X  'a','b', 'c'\ntwo\\nlines\n"));
        // Commands carry patient names: a trace the client makes is private.
        QCOMPARE(trace.permissions() & 0x0077, QFileDevice::Permissions());
    }
    // Each join as the commands have always been sent; quotes doubled so a
    // value never ends its literal; a value's own "%2" is not replaced again.
    void commandTextsKeepTheirJoins()
    {
        using namespace CommandText;
        QCOMPARE(call(QStringLiteral("Lab_X"), QStringList{}), QStringLiteral("Lab_X"));
        QCOMPARE(call(QStringLiteral("Lab_X "), {QStringLiteral("O'Brien")}),
                 QStringLiteral("Lab_X  'O''Brien'"));
        QCOMPARE(call(QStringLiteral("Lab_X"), {"a", tight("b"), "c", loose("d"), ""}),
                 QStringLiteral("Lab_X 'a','b', 'c' , 'd', ''"));
        QCOMPARE(call(QStringLiteral("Lab_X"), {"a", spaced("b"), "c"}, Join::Tight),
                 QStringLiteral("Lab_X 'a', 'b','c'"));
        QCOMPARE(select(QStringLiteral("select * from t where a = %1 and b like %2 and c = %3"),
                        {QStringLiteral("%2'"), QStringLiteral("x%")}),
                 QStringLiteral("select * from t where a = '%2''' and b like 'x%' and c = %3"));
    }
};

QTEST_GUILESS_MAIN(TstDbClient)
#include "tst_db_client.moc"
