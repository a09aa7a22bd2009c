#include "Caught.h"
#include "Connection.h"
#include "ConnectionString.h"
#include "LisError.h"
#include "SqlText.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// A server that answers every command with one fixed result set and
// remembers what it was sent.
class FakeSession : public DbSession {
public:
    explicit FakeSession(QStringList* log)
        : m_log(log)
    {
    }
    ResultSet run(const QString& text) override
    {
        m_log->append(text);
        ResultSet rs;
        rs.columns = {QStringLiteral("Name"), QStringLiteral("Age"), QStringLiteral("Note")};
        rs.rows.append({QStringLiteral("O'Brien"), 7, QVariant()});
        rs.rows.append({QStringLiteral("Second"), 5.5, QStringLiteral("x")});
        return rs;
    }
    void beginTransaction() override { m_log->append(QStringLiteral("<begin>")); }
    void commitTransaction() override { m_log->append(QStringLiteral("<commit>")); }
    void rollbackTransaction() override { m_log->append(QStringLiteral("<rollback>")); }

private:
    QStringList* m_log;
};

class FakeDriver : public DbDriver {
public:
    QString name() const override { return QStringLiteral("fake"); }
    bool accepts(const ConnectionString& cs) const override
    {
        return cs.dataSource() == QLatin1String("FAKE");
    }
    std::unique_ptr<DbSession> connect(const ConnectionString&) override
    {
        return std::make_unique<FakeSession>(&log);
    }
    QStringList log;
};

std::shared_ptr<FakeDriver> fake = std::make_shared<FakeDriver>();
const QString kFake = QStringLiteral("Provider=X;Data Source=FAKE");
} // namespace

class TstDbClient : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { DriverRegistry::add(fake); }

    void connectionStringFields_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::newRow("blank before equals") << "User ID=u;Password =secret"
                                             << "Password"
                                             << "secret";
        QTest::newRow("key without case") << "data source=S1"
                                          << "Data Source"
                                          << "S1";
        QTest::newRow("single blank value") << "User ID= ;Password =p"
                                            << "User ID"
                                            << " ";
        QTest::newRow("empty value at end") << "Initial Catalog=;Data Source="
                                            << "Data Source"
                                            << "";
        QTest::newRow("quoted with semicolon") << "Password =\"a;b\"\"c\";Data Source=S"
                                               << "Password"
                                               << "a;b\"c";
        QTest::newRow("quoted cannot add a key") << "Password =\"x;Data Source=EVIL\";Data Source=S"
                                                 << "Data Source"
                                                 << "S";
        QTest::newRow("equals inside value") << "Password =a=b;X=1"
                                             << "Password"
                                             << "a=b";
        QTest::newRow("quote not closing the value stays raw") << "Password =\"ab\"c;X=1"
                                                               << "Password"
                                                               << "\"ab\"c";
    }
    void connectionStringFields()
    {
        QFETCH(QString, text);
        QFETCH(QString, key);
        QFETCH(QString, value);
        QCOMPARE(ConnectionString::parse(text).value(key), value);
    }

    void quotedValuesRoundTrip()
    {
        for (const QString& value : {QStringLiteral("pa;ss"), QStringLiteral("p\"a;s\"s"),
                                     QStringLiteral("x;Data Source=EVIL")}) {
            const ConnectionString cs = ConnectionString::parse(
                QStringLiteral("Password =") + ConnectionString::quoteValue(value) +
                QStringLiteral(";Data Source=S1"));
            QCOMPARE(cs.password(), value);
            QCOMPARE(cs.dataSource(), QStringLiteral("S1"));
        }
    }

    void sqlLiteralDoublesQuotes()
    {
        QCOMPARE(sqlLiteral(QStringLiteral("O'Brien")), QStringLiteral("O''Brien"));
        QCOMPARE(sqlLiteral(QStringLiteral("''")), QStringLiteral("''''"));
        QCOMPARE(sqlLiteral(QStringLiteral("plain")), QStringLiteral("plain"));
    }

    void recordsetReadsLikeTheOriginalClient()
    {
        Connection c;
        c.open(kFake);
        auto rs = c.openRecordset(QStringLiteral("q"), CursorOptions::clientDynamic());
        QCOMPARE(rs->recordCount(), 2);
        QCOMPARE(rs->text(QStringLiteral("NAME")), QStringLiteral("O'Brien"));
        QCOMPARE(rs->text(QStringLiteral("age")), QStringLiteral("7"));
        QCOMPARE(rs->textOrEmpty(QStringLiteral("Note")), QString());
        QCOMPARE(caught([&] { rs->text(QStringLiteral("Note")); }).number, 94);
        QCOMPARE(caught([&] { rs->value(QStringLiteral("Missing")); }).number, 3265);
        rs->moveNext();
        QCOMPARE(rs->text(QStringLiteral("Age")), QStringLiteral("5.5"));
        rs->moveNext();
        QVERIFY(rs->eof());
        QCOMPARE(caught([&] { rs->value(QStringLiteral("Name")); }).number, 3021);

        auto server = c.openRecordset(QStringLiteral("q"), CursorOptions::serverDynamic());
        QCOMPARE(server->recordCount(), -1);
        QVERIFY(!server->eof());
    }

    void connectionStateErrors()
    {
        Connection c;
        QCOMPARE(caught([&] { c.execute(QStringLiteral("x")); }).number, ErrNo::ObjectClosed);
        c.setConnectionString(kFake);
        c.open();
        QCOMPARE(caught([&] { c.setConnectionString(kFake); }).number, ErrNo::ObjectOpen);
        QCOMPARE(caught([&] { c.commitTrans(); }).number, ErrNo::DbTransactionFailed);
        c.beginTrans();
        QCOMPARE(caught([&] { c.beginTrans(); }).number, ErrNo::DbTransactionFailed);
        fake->log.clear();
        c.close(); // an open transaction is rolled back, never committed
        QCOMPARE(fake->log, QStringList{QStringLiteral("<rollback>")});
        QVERIFY(!c.isOpen());
    }

    void traceHoldsEveryCommandExactly()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("trace.txt"));
        qputenv("LIS_TRACE_COMMANDS", path.toLocal8Bit());
        {
            Connection c;
            c.open(kFake);
            c.openRecordset(QStringLiteral("Lab_X  'a','b', 'c'"));
            c.execute(QStringLiteral("two\nlines"));
        }
        qunsetenv("LIS_TRACE_COMMANDS");
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QCOMPARE(QString::fromUtf8(f.readAll()),
                 QStringLiteral("Lab_X  'a','b', 'c'\ntwo\\nlines\n"));
    }
};

QTEST_GUILESS_MAIN(TstDbClient)
#include "tst_db_client.moc"
