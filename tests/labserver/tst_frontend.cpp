#include "labserver/LabStore.h"
#include "labserver/ProcedureRegistry.h"
#include "platform/db/Connection.h"
#include "tests/support/Caught.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>

using namespace Qt::StringLiterals;

// The command texts the component sends, as the server sees them.
class TstFrontEnd : public QObject {
    Q_OBJECT
private slots:
    void initTestCase()
    {
        m_db.load(u"requests"_s);
        m_conn.open(m_db.connectionString());
    }

    void commandShapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("outcome"); // rows found, or the whole refusal
        const auto row = [](const char* name, const QString& text, const QString& outcome) {
            QTest::newRow(name) << text << outcome;
        };
        row("owner prefix", "LABORATORY.dbo.Lab_Get_PatientInformation 'R2'", "1");
        row("no case, trailing blanks", "select * from tbLabLogbook where RequestNum = 'r1  '",
            "1");
        row("quote in a literal",
            "select * from patient_data..tbPatient where LastName = 'O''BRIEN'", "1");
        row("an injection is just text",
            "select * from patient_data..tbPatient where LastName = 'x'' or ''1''=''1'", "0");
        row("stacked", "Lab_Get_PatientInformation 'R1'; delete from tbLabRequest",
            "Incorrect syntax near ';'.");
        row("stops short: named by its last word", "select * from tbLabLogbook where",
            "Incorrect syntax near 'where'.");
        row("procedure in patient_data", "patient_data..Lab_Get_PatientInformation 'R1'",
            "Could not find stored procedure 'patient_data..Lab_Get_PatientInformation'.");
        row("too many arguments", "Lab_Get_PatientInformation 'R1','R2'",
            "Procedure or function 'Lab_Get_PatientInformation' has too many arguments "
            "specified.");
        row("empty", "", "The command text is empty.");
        row("blank", " \t\r\n ", "The command text is empty.");

        // Quoted pieces are cut and escaped; the generated texts prove them
        // printable, these how they read.
        row("forty characters shown whole", "Lab_X '" + QString(40, u'a'),
            "Unclosed quotation mark after the character string '" + QString(40, u'a') + "'.");
        row("%1 in a cut piece", "Lab_X '%1" + QString(60, u'x'),
            "Unclosed quotation mark after the character string '%1" + QString(38, u'x') +
                "...' (62 characters).");
        row("backslash", "Lab_Get_PatientInformation \\", "Incorrect syntax near '\\\\'.");
        row("escapes count toward the cut", "Lab_X '" + QString(30, u'\t'),
            "Unclosed quotation mark after the character string '" +
                QString(20, u'\t').replace("\t", "\\t") + "...' (30 characters).");
        row("character beyond 16 bits", QString::fromUtf16(u"Lab_X \U0001F600"),
            QString::fromUtf16(u"Incorrect syntax near '\U0001F600'."));
        row("the engine's own table", "select * from sqlite_sequence",
            "Invalid object name 'sqlite_sequence'.");
        row("long table name", "select * from tb" + QString(5000, u'x'),
            "Invalid object name 'tb" + QString(38, u'x') + "...' (5002 characters).");
        row("long column name", "select * from tbLabLogbook where c" + QString(99, u'y') + " = ''",
            "Invalid column name 'c" + QString(39, u'y') + "...' (100 characters).");
        row("long procedure name", "laboratory..Lab_" + QString(200, u'z'),
            "Could not find stored procedure 'laboratory..Lab_" + QString(24, u'z') +
                "...' (216 characters).");
        row("pattern past SQLite's limit",
            "select * from tbLabLogbook where RequestNum like '" + QString(50001, u'%') + "'",
            "The LIKE pattern for column 'RequestNum' is longer than 50000 bytes.");
    }
    void commandShapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, outcome);
        int rows = -1;
        const Caught e = caught([&] {
            rows = m_conn.openRecordset(text, CursorOptions::clientDynamic())->recordCount();
        });
        QCOMPARE(e.number ? e.description : QString::number(rows), outcome);
        QVERIFY(!e.number || e.number == ErrNo::DbCommandFailed);
        QCOMPARE(m_db.query(u"SELECT count(*) FROM tbLabRequest"_s).rows[0][0], 4);
    }

    // A procedure completes or writes nothing. One registered as a reader
    // takes no write lock, so a write in it is refused, alone or in a
    // transaction, and writes work after it.
    void aProcedureCompletesOrWritesNothing()
    {
        const auto logOne = [](ProcedureContext& c) {
            c.store().exec(u"INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                           "VALUES (?, '2024-01-01 00:00:00')"_s,
                           {c.key(0)});
            return ResultSet();
        };
        ProcedureRegistry::add({u"Test_Log"_s, 1, 1, logOne});
        ProcedureRegistry::add({u"Test_LogThenFail"_s, 1, 1, [=](ProcedureContext& c) -> ResultSet {
                                    logOne(c);
                                    c.fail(u"refused on purpose."_s);
                                }});
        ProcedureRegistry::add({u"Test_ReadsButWrites"_s, 1, 1, logOne, ProcedureAccess::Reads});
        const auto run = [&](const QString& text) {
            const Caught e = caught([&] { m_conn.execute(text); });
            return e.description + u" / "_s +
                   m_db.query(u"SELECT count(*) FROM tbLabLogbook"_s).rows[0][0].toString();
        };
        QCOMPARE(run(u"Test_LogThenFail 'R2'"_s),
                 u"Procedure Test_LogThenFail: refused on purpose. / 1"_s);

        // Inside a transaction only the failed procedure's own work goes.
        m_conn.beginTrans();
        m_conn.execute(u"Test_Log 'R2'"_s);
        run(u"Test_LogThenFail 'R3'"_s);
        m_conn.commitTrans();
        QCOMPARE(run(u"select * from tbLabLogbook"_s), u" / 2"_s);

        for (const bool inTransaction : {false, true}) {
            if (inTransaction)
                m_conn.beginTrans();
            const QString refused = run(u"Test_ReadsButWrites 'R2'"_s);
            QVERIFY2(refused.startsWith(u"Only reading is allowed here, and this statement "
                                        "writes: INSERT INTO tbLabLogbook"_s) &&
                         refused.endsWith(u" / %1"_s.arg(2 + inTransaction)),
                     qPrintable(refused));
            m_conn.execute(u"Test_Log 'R2'"_s);
            if (inTransaction)
                m_conn.commitTrans();
        }
        QCOMPARE(run(u"select * from tbLabLogbook"_s), u" / 4"_s);
    }

private:
    TestDatabase m_db;
    Connection m_conn;
};

QTEST_GUILESS_MAIN(TstFrontEnd)
#include "tst_frontend.moc"
