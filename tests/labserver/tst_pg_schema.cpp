#include "labserver/Catalogue.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "labserver/SqlDialect.h"
#include "tests/support/PgCluster.h"

#include <QSqlError>
#include <QtTest>

using namespace Qt::StringLiterals;
using namespace SqlDialect;

namespace {
// The first column of every row, or the error text.
QStringList answer(const QSqlDatabase& db, const QString& sql)
{
    QSqlQuery q(db);
    if (!q.exec(sql))
        return {q.lastError().text()};
    QStringList values;
    while (q.next())
        values.append(q.value(0).toString());
    return values;
}

// Tables as "database.name: columns", the columns in order, dates marked;
// each engine's bookkeeping (sqlite_sequence, tbSchemaVersion) left out.
QStringList byDatabase(const QList<Catalogue::Table>& tables, Engine engine)
{
    QStringList found;
    for (const Catalogue::Table& t : tables) {
        if (t.name.startsWith(u"sqlite_"_s) ||
            t.name.compare(u"tbSchemaVersion"_s, Qt::CaseInsensitive) == 0)
            continue;
        QString database = u"unknown schema "_s + t.schema;
        for (const QString& d : {u"laboratory"_s, u"patient_data"_s})
            if (t.schema == Catalogue::schemaOf(engine, d))
                database = d;
        QStringList columns;
        for (const QString& c : t.columns)
            columns.append(c + (t.dateColumns.contains(c) ? u" (date)"_s : QString()));
        found << database + u'.' + t.name + u": "_s + columns.join(u", "_s);
    }
    found.sort();
    return found;
}
} // namespace

// The laboratory on a PostgreSQL server has the tables and columns of the
// embedded one, and its text keys compare without case; the same rows
// through each engine's text of a piece give the same answers.
class TstPgSchema : public QObject {
    Q_OBJECT
    PgCluster m_pg;
    QSqlDatabase m_db;
    QList<std::pair<Engine, QSqlDatabase>> m_engines;

private slots:
    void initTestCase()
    {
        m_engines.append({Engine::SQLite, QSqlDatabase::addDatabase(u"QSQLITE"_s, u"lite"_s)});
        m_engines[0].second.setDatabaseName(u":memory:"_s);
        QVERIFY(m_engines[0].second.open());
        if (!m_pg.available())
            return;
        QVERIFY2(m_pg.start() && m_pg.createDatabase(u"laboratory"_s), qPrintable(m_pg.reason()));
        m_db = m_pg.connect(u"laboratory"_s);
        m_engines.append({Engine::PostgreSQL, m_db});
        // Made as a server's laboratory is made, twice: a second run finds
        // everything there.
        for (int run = 0; run < 2; ++run)
            ServerSchema::init(m_db, u"the test server"_s);
    }

    // Read through its own catalogue, the server's laboratory is the
    // embedded one: its tables, columns and dates, spelt as the embedded
    // schema spells them, at the same schema version.
    void catalogueReadsAsTheEmbeddedOne()
    {
        if (!m_pg.isRunning())
            QSKIP(qPrintable(m_pg.reason()));
        QTemporaryDir dir;
        LabStore{dir.path()};
        QList<Catalogue::Table> embedded;
        {
            QSqlDatabase sqlite = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"catalogue"_s);
            sqlite.setDatabaseName(dir.filePath(u"laboratory.db"_s));
            QVERIFY(sqlite.open());
            QVERIFY(QSqlQuery(sqlite).exec(
                u"ATTACH DATABASE '%1' AS patient_data"_s.arg(dir.filePath(u"patient_data.db"_s))));
            embedded = SqliteCatalogue(sqlite).tables();
        }
        QSqlDatabase::removeDatabase(u"catalogue"_s);
        const QStringList expected = byDatabase(embedded, Engine::SQLite);
        QVERIFY(expected.filter(u"laboratory.tbLabRequest:"_s)
                    .join(u' ')
                    .contains(u"RequestDate (date)"_s) &&
                expected.filter(u"laboratory.tbLabExamItem:"_s).join(u' ').contains(u"CMin"_s));
        QCOMPARE(byDatabase(PgCatalogue(m_db, embedded).tables(), Engine::PostgreSQL), expected);
        QCOMPARE(answer(m_db, u"SELECT Version FROM laboratory.tbSchemaVersion"_s),
                 QStringList(QString::number(LabStore::schemaVersion())));
    }

    void textKeysCompareWithoutCase()
    {
        if (!m_pg.isRunning())
            QSKIP(qPrintable(m_pg.reason()));
        const QString request =
            u"INSERT INTO laboratory.tbLabRequest (RequestNum, RefNum, HospNum, "
            "Code, RequestDate) VALUES ('%1', 'R-7', 'H-1', 'cbc', now())"_s;
        for (const QString& sql :
             {u"INSERT INTO laboratory.tbLabSection VALUES ('HEM', 'Hematology')"_s,
              u"INSERT INTO laboratory.tbLabExam (Code, ExamName, SectionID, FormType) VALUES "
              "('CBC', 'Complete blood count', 'HEM', 'N')"_s,
              request.arg(u"L-1001"_s)})
            QCOMPARE(answer(m_db, sql), QStringList());
        QVERIFY(answer(m_db, request.arg(u"l-1001"_s)).value(0).contains(u"(23505)"_s));
        const QString select = u"SELECT RequestNum FROM laboratory.tbLabRequest WHERE "_s;
        QCOMPARE(answer(m_db, select + u"RequestNum = 'l-1001' AND RefNum = 'r-7'"_s),
                 QStringList{u"L-1001"_s});
        QCOMPARE(answer(m_db, select + u"RequestNum = 'l-1001 '"_s), QStringList()); // blanks count
    }

    void sameAnswers_data()
    {
        // piece; rows: key|birth|at, one per ';' (an empty date is Null); the
        // value bound (pieces 0-2); expected: one per ';'
        QTest::addColumn<QStringList>("r");
        const auto row = [](const char* name, int piece, const char* rows, const char* bind,
                            const char* expected) {
            QTest::newRow(name) << QStringList{QString::number(piece), rows, bind, expected};
        };
        row("equal: case, blanks typed", 0, "l-1001", "L-1001 ", "1");
        row("equal: blanks stored count", 0, "L-1001 ", "L-1001", "0");
        row("like: any case", 1, "Dela Cruz, Juan", "%dela c%", "1");
        row("like: _ is one character", 1, "A12", "a_2", "1");
        row("like: backslash is plain", 1, "a\\b", "a\\b", "1");
        row("contains: any case", 2, "Dela Cruz", "LA c", "1");
        row("contains: % is plain", 2, "A12", "%", "0");
        row("age: day before birthday", 3, "|1980-06-15 08:00:00|2020-06-14 23:59:00", "", "39");
        row("age: on birthday", 3, "|1980-06-15 08:00:00|2020-06-15 00:00:00", "", "40");
        row("age: leap day, 28 Feb", 3, "|2000-02-29 00:00:00|2021-02-28 12:00:00", "", "20");
        row("age: leap day, 1 Mar", 3, "|2000-02-29 00:00:00|2021-03-01 00:00:00", "", "21");
        row("age: no birth date", 3, "||2021-03-01 00:00:00", "", "");
        row("sample numbers in natural order", 4, ";-2x;+4;007;b2;12B;100;3-1;3;A12; 5;12;1e3", "",
            ";3;007;12;100;-2x;A12;b2;1e3;3-1;+4; 5;12B");
    }
    void sameAnswers()
    {
        QFETCH(QStringList, r);
        const int piece = r[0].toInt();
        for (const auto& [e, db] : m_engines) {
            const QString where = u"SELECT count(*) FROM t WHERE "_s;
            const QString sql[] = {
                where + equalsIgnoringCase(e, u"c"_s), where + likeIgnoringCase(e, u"c"_s),
                where + containsIgnoringCase(e, u"c"_s),
                "SELECT " + emptyWhenNull(e, ageInYears(e, u"b"_s, u"a"_s)) + " FROM t",
                "SELECT c FROM t ORDER BY " + naturalOrder(e, u"c"_s)};
            const bool lite = e == Engine::SQLite;
            QSqlQuery q(db);
            QVERIFY(q.exec(
                lite ? u"CREATE TEMP TABLE t (c TEXT COLLATE NOCASE, b DATETIME, "
                       "a DATETIME)"_s
                     : u"CREATE TEMP TABLE t (c text COLLATE laboratory.nocase, b timestamp, "
                       "a timestamp)"_s));
            for (const QString& row : r[1].split(u';')) {
                const QStringList f = row.split(u'|');
                q.prepare(u"INSERT INTO t VALUES (?, ?, ?)"_s);
                for (int i = 0; i < 3; ++i)
                    q.addBindValue(i && f.value(i).isEmpty() ? QVariant() : QVariant(f.value(i)));
                QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            }
            QVERIFY2(q.prepare(sql[piece]), qPrintable(q.lastError().text()));
            if (piece < 3)
                q.addBindValue(r[2]);
            QVERIFY2(q.exec(), qPrintable(q.lastError().text()));
            QStringList answers;
            while (q.next())
                answers.append(q.value(0).toString());
            q.exec(u"DROP TABLE t"_s); // before checking, so the next row starts afresh
            QVERIFY2(answers.join(u';') == r[3],
                     qPrintable((lite ? u"SQLite: "_s : u"PostgreSQL: "_s) + answers.join(u';')));
        }
    }
};

QTEST_GUILESS_MAIN(TstPgSchema)
#include "tst_pg_schema.moc"
