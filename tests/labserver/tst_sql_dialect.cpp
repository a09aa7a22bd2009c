#include "labserver/SqlDialect.h"
#include "tests/support/PgCluster.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace SqlDialect;

// The same rows through each engine's text of a piece give the same answers.
// Table t keeps them as the laboratory keeps such columns: keys without case;
// date-times as text in SQLite, as timestamps in PostgreSQL.
class TstSqlDialect : public QObject {
    Q_OBJECT
    PgCluster m_pg;
    QList<std::pair<Engine, QSqlDatabase>> m_engines;

private slots:
    void initTestCase()
    {
        m_engines.append({Engine::SQLite, QSqlDatabase::addDatabase(u"QSQLITE"_s, u"lite"_s)});
        m_engines[0].second.setDatabaseName(u":memory:"_s);
        QVERIFY(m_engines[0].second.open());
        if (!m_pg.available())
            QSKIP(qPrintable(m_pg.reason()));
        QVERIFY2(m_pg.start() && m_pg.createDatabase(u"t"_s), qPrintable(m_pg.reason()));
        m_engines.append({Engine::PostgreSQL, m_pg.connect(u"t"_s)});
        QVERIFY(QSqlQuery(m_engines[1].second)
                    .exec(u"CREATE COLLATION nocase (provider = icu, locale = 'und-u-ks-level2', "
                          "deterministic = false)"_s));
    }

    void sameAnswers_data()
    {
        // rows: key|birth|at, one per ';' (an empty date is Null); expected: one per ';'
        for (const char* column : {"piece", "rows", "bind", "expected"})
            QTest::addColumn<QVariant>(column);
        const auto row = [](const char* name, int piece, const char* rows, const char* bind,
                            const char* expected) {
            QTest::newRow(name) << QVariant(piece) << QVariant(rows)
                                << (bind ? QVariant(bind) : QVariant()) << QVariant(expected);
        };
        row("equal: case, blanks typed", 0, "l-1001", "L-1001 ", "1");
        row("equal: blanks stored count", 0, "L-1001 ", "L-1001", "0");
        row("like: any case", 1, "Dela Cruz, Juan", "%dela c%", "1");
        row("like: _ is one character", 1, "A12", "a_2", "1");
        row("like: backslash is plain", 1, "a\\b", "a\\b", "1");
        row("contains: any case", 2, "Dela Cruz", "LA c", "1");
        row("contains: % is plain", 2, "A12", "%", "0");
        row("age: day before birthday", 3, "|1980-06-15 08:00:00|2020-06-14 23:59:00", {}, "39");
        row("age: on birthday", 3, "|1980-06-15 08:00:00|2020-06-15 00:00:00", {}, "40");
        row("age: leap day, 28 Feb", 3, "|2000-02-29 00:00:00|2021-02-28 12:00:00", {}, "20");
        row("age: leap day, 1 Mar", 3, "|2000-02-29 00:00:00|2021-03-01 00:00:00", {}, "21");
        row("age: no birth date", 3, "||2021-03-01 00:00:00", {}, "");
        row("sample numbers in natural order", 4, ";-2x;+4;007;b2;12B;100;3-1;3;A12; 5;12;1e3", {},
            ";3;007;12;100;-2x;A12;b2;1e3;3-1;+4; 5;12B");
    }
    void sameAnswers()
    {
        QFETCH(QVariant, piece);
        QFETCH(QVariant, rows);
        QFETCH(QVariant, bind);
        QFETCH(QVariant, expected);
        for (const auto& [e, db] : m_engines) {
            const QString where = u"SELECT count(*) FROM t WHERE "_s;
            const QString sql[] = {
                where + equalsIgnoringCase(e, u"c"_s), where + likeIgnoringCase(e, u"c"_s),
                where + containsIgnoringCase(e, u"c"_s),
                "SELECT " + emptyWhenNull(e, ageInYears(e, u"b"_s, u"a"_s)) + " FROM t",
                "SELECT c FROM t ORDER BY " + naturalOrder(e, u"c"_s)};
            const bool lite = e == Engine::SQLite;
            QSqlQuery q(db);
            QVERIFY(q.exec(lite ? u"CREATE TEMP TABLE t (c TEXT COLLATE NOCASE, b DATETIME, "
                                  "a DATETIME)"_s
                                : u"CREATE TEMP TABLE t (c text COLLATE nocase, b timestamp, "
                                  "a timestamp)"_s));
            for (const QString& row : rows.toString().split(u';')) {
                const QStringList f = row.split(u'|');
                q.prepare(u"INSERT INTO t VALUES (?, ?, ?)"_s);
                for (int i = 0; i < 3; ++i)
                    q.addBindValue(i && f.value(i).isEmpty() ? QVariant() : QVariant(f.value(i)));
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
            QVERIFY2(q.prepare(sql[piece.toInt()]), qPrintable(q.lastError().text()));
            if (bind.isValid())
                q.addBindValue(bind);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            QStringList answers;
            while (q.next())
                answers.append(q.value(0).toString());
            q.exec(u"DROP TABLE t"_s); // before checking, so the next row starts afresh
            QVERIFY2(answers.join(u';') == expected.toString(),
                     qPrintable((lite ? u"SQLite: "_s : u"PostgreSQL: "_s) + answers.join(u';')));
        }
    }
};

QTEST_GUILESS_MAIN(TstSqlDialect)
#include "tst_sql_dialect.moc"
