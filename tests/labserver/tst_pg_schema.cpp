#include "labserver/Catalogue.h"
#include "labserver/LabStore.h"
#include "tests/support/PgCluster.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

using namespace Qt::StringLiterals;

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

// Tables as "database.name", each with its columns in order, dates marked;
// each engine's bookkeeping (sqlite_sequence, tbSchemaVersion) left out.
QMap<QString, QStringList> byDatabase(const QList<Catalogue::Table>& tables, Engine engine)
{
    QMap<QString, QStringList> found;
    for (const Catalogue::Table& t : tables) {
        if (t.name.startsWith(u"sqlite_"_s) ||
            t.name.compare(u"tbSchemaVersion"_s, Qt::CaseInsensitive) == 0)
            continue;
        QString database = u"unknown schema "_s + t.schema;
        for (const QString& d : {u"laboratory"_s, u"patient_data"_s})
            if (t.schema == Catalogue::schemaOf(engine, d))
                database = d;
        QStringList& columns = found[database + u'.' + t.name];
        for (const QString& c : t.columns)
            columns.append(c + (t.dateColumns.contains(c) ? u" (date)"_s : QString()));
    }
    return found;
}
} // namespace

// The laboratory on a PostgreSQL server has the tables and columns of the
// embedded one, and its text keys compare without case.
class TstPgSchema : public QObject {
    Q_OBJECT
    PgCluster m_pg;
    QSqlDatabase m_db;
private slots:
    void cleanupTestCase()
    {
        if (!m_pg.available())
            return;
        const QStringList folders = {m_pg.socketDir(), m_pg.dataDir()};
        m_db.close();
        QVERIFY(m_pg.stop());
        for (const QString& folder : folders) // and nothing else is removed
            QVERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
    }

    void initTestCase()
    {
        if (!m_pg.available())
            QSKIP(qPrintable(m_pg.reason()));
        QVERIFY2(m_pg.start() && m_pg.createDatabase(u"laboratory"_s), qPrintable(m_pg.reason()));
        m_db = m_pg.connect(u"laboratory"_s);
        // The server is this program's own: socket only, in an owner-only folder.
        QCOMPARE(answer(m_db, u"SHOW listen_addresses"_s), QStringList{QString()});
        QVERIFY((QFileInfo(m_pg.socketDir()).permissions() & 0x0077) == QFile::Permissions());
        // As the store runs scripts, twice: a second run finds everything there.
        for (int run = 0; run < 2; ++run)
            for (const char* name : {"laboratory", "patient_data"}) {
                QFile f(u":/labserver/postgresql/%1.sql"_s.arg(QLatin1String(name)));
                QVERIFY2(f.open(QIODevice::ReadOnly), name);
                QString script;
                for (const QString& line : QString::fromUtf8(f.readAll()).split(u'\n'))
                    script += line.trimmed().startsWith(u"--"_s) ? QString() : line + u'\n';
                for (const QString& statement : script.split(u";\n"_s))
                    if (!statement.trimmed().isEmpty())
                        QCOMPARE(answer(m_db, statement).value(0), QString());
            }
    }

    // Read through its own catalogue, the server's laboratory is the
    // embedded one: its tables, columns and dates, spelt as the embedded
    // schema spells them, at the same schema version.
    void catalogueReadsAsTheEmbeddedOne()
    {
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
        const QMap<QString, QStringList> expected = byDatabase(embedded, Engine::SQLite);
        QVERIFY(expected.value(u"laboratory.tbLabRequest"_s).contains(u"RequestDate (date)"_s));
        QVERIFY(expected.value(u"laboratory.tbLabExamItem"_s).contains(u"CMin"_s));
        const QMap<QString, QStringList> server =
            byDatabase(PgCatalogue(m_db, embedded).tables(), Engine::PostgreSQL);
        QCOMPARE(server.keys(), expected.keys());
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QCOMPARE(server.value(it.key()), it.value());
        QCOMPARE(answer(m_db, u"SELECT Version FROM laboratory.tbSchemaVersion"_s),
                 QStringList(QString::number(LabStore::schemaVersion())));
    }

    void textKeysCompareWithoutCase()
    {
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
        const QStringList found{u"L-1001"_s};
        QCOMPARE(answer(m_db, select + u"RequestNum = 'l-1001' AND RefNum = 'r-7'"_s), found);
        QCOMPARE(answer(m_db, select + u"RequestNum = 'l-1001 '"_s), QStringList()); // blanks count
        QCOMPARE(answer(m_db, select + u"RequestNum = rtrim('l-1001 ')"_s), found);
        QCOMPARE(answer(m_db, select + u"lower(RequestNum COLLATE \"C\") LIKE lower('l-10%')"_s),
                 found);
    }
};

QTEST_GUILESS_MAIN(TstPgSchema)
#include "tst_pg_schema.moc"
