#include "Caught.h"
#include "Connection.h"
#include "LabStore.h"
#include "ProcedureRegistry.h"
#include "TestDatabase.h"

#include <QtTest>

// The command texts the component sends, as the server sees them.
class TstFrontEnd : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        m_db = std::make_unique<TestDatabase>();
        m_db->load(QStringLiteral("requests"));
        m_conn = std::make_unique<Connection>();
        m_conn->open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + m_db->folder());
    }
    void cleanup()
    {
        m_conn.reset();
        m_db.reset();
    }

    void commandShapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("outcome"); // rows found, or the whole refusal
        const auto row = [](const char* name, const QString& text, const QString& outcome) {
            QTest::newRow(name) << text << outcome;
        };
        row("prefix, two blanks", "laboratory..Lab_Get_PatientInformation  'R1'", "1");
        row("owner prefix", "LABORATORY.dbo.Lab_Get_PatientInformation 'R2'", "1");
        row("lower-case logbook", "select * from laboratory..tblablogbook where requestnum = 'R1'",
            "1");
        row("no case, trailing blanks", "select * from tbLabLogbook where RequestNum = 'r1  '",
            "1");
        row("quote in a literal",
            "select * from patient_data..tbPatient where LastName = 'O''BRIEN'", "1");
        row("an injection is just text",
            "select * from patient_data..tbPatient where LastName = 'x'' or ''1''=''1'", "0");
        row("stacked", "Lab_Get_PatientInformation 'R1'; delete from tbLabRequest",
            "Incorrect syntax near ';'.");
        row("unterminated", "Lab_Get_PatientInformation 'R1",
            "Unclosed quotation mark after the character string 'R1'.");
        row("or", "select * from tbLabLogbook where RequestNum = 'a' or 1 = 1",
            "Incorrect syntax near 'or'.");
        row("stops short: named by its last word", "select * from tbLabLogbook where",
            "Incorrect syntax near 'where'.");
        row("unknown table", "select * from tbNoSuchTable", "Invalid object name 'tbNoSuchTable'.");
        row("unknown column", "select * from tbLabLogbook where Nope = 'x'",
            "Invalid column name 'Nope'.");
        row("unknown procedure", "Lab_NoSuchProcedure 'x'",
            "Could not find stored procedure 'Lab_NoSuchProcedure'.");
        row("procedure in patient_data", "patient_data..Lab_Get_PatientInformation 'R1'",
            "Could not find stored procedure 'patient_data..Lab_Get_PatientInformation'.");
        row("too many arguments", "Lab_Get_PatientInformation 'R1','R2'",
            "Procedure or function 'Lab_Get_PatientInformation' has too many arguments "
            "specified.");
        row("empty", "", "The command text is empty.");
        row("blank", " \t\r\n ", "The command text is empty.");

        // Quoted pieces of the text are short and on one line, whatever was sent.
        row("line break forging a second error line",
            "Lab_Get_PatientInformation 'R1\nError 0: done",
            "Unclosed quotation mark after the character string 'R1\\nError 0: done'.");
        row("a megabyte literal",
            "Lab_Get_PatientInformation '" + QString(1000000, QLatin1Char('a')),
            "Unclosed quotation mark after the character string '" + QString(40, QLatin1Char('a')) +
                "...' (1000000 characters).");
        row("forty characters shown whole", "Lab_X '" + QString(40, QLatin1Char('a')),
            "Unclosed quotation mark after the character string '" + QString(40, QLatin1Char('a')) +
                "'.");
        row("%1 in a cut piece", "Lab_X '%1" + QString(60, QLatin1Char('x')),
            "Unclosed quotation mark after the character string '%1" +
                QString(38, QLatin1Char('x')) + "...' (62 characters).");
        row("control character", "Lab_Get_PatientInformation \x01",
            "Incorrect syntax near '\\x01'.");
        row("backslash", "Lab_Get_PatientInformation \\", "Incorrect syntax near '\\\\'.");
        row("escapes count toward the cut", "Lab_X '" + QString(30, QLatin1Char('\t')),
            "Unclosed quotation mark after the character string '" +
                QString(20, QLatin1Char('\t')).replace("\t", "\\t") + "...' (30 characters).");
        row("bidi override and line separator", QString::fromUtf16(u"Lab_X 'a\u202Eb\u2028c"),
            "Unclosed quotation mark after the character string 'a\\u202Eb\\u2028c'.");
        row("character beyond 16 bits", QString::fromUtf16(u"Lab_X \U0001F600"),
            QString::fromUtf16(u"Incorrect syntax near '\U0001F600'."));
        row("lone surrogate", "Lab_X 'a" + QString(QChar(0xD800)),
            "Unclosed quotation mark after the character string 'a\\uD800'.");
        row("long table name", "select * from tb" + QString(5000, QLatin1Char('x')),
            "Invalid object name 'tb" + QString(38, QLatin1Char('x')) + "...' (5002 characters).");
        row("long column name",
            "select * from tbLabLogbook where c" + QString(99, QLatin1Char('y')) + " = ''",
            "Invalid column name 'c" + QString(39, QLatin1Char('y')) + "...' (100 characters).");
        row("long procedure name", "laboratory..Lab_" + QString(200, QLatin1Char('z')),
            "Could not find stored procedure 'laboratory..Lab_" + QString(24, QLatin1Char('z')) +
                "...' (216 characters).");
        row("pattern past SQLite's limit",
            "select * from tbLabLogbook where RequestNum like '" +
                QString(50001, QLatin1Char('%')) + "'",
            "The LIKE pattern for column 'RequestNum' is longer than 50000 bytes.");
    }
    void commandShapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, outcome);
        int rows = -1;
        const Caught e = caught([&] {
            rows = m_conn->openRecordset(text, CursorOptions::clientDynamic())->recordCount();
        });
        QCOMPARE(e.number ? e.description : QString::number(rows), outcome);
        QVERIFY(!e.number || e.number == ErrNo::DbCommandFailed);
        QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM tbLabRequest")).rows[0][0], 4);
    }

    void aProcedureCompletesOrWritesNothing()
    {
        const auto logOne = [](ProcedureContext& c) {
            c.store().exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                                          "VALUES (?, '2024-01-01 00:00:00')"),
                           {c.key(0)});
            return ResultSet();
        };
        ProcedureRegistry::add({QStringLiteral("Test_Log"), 1, 1, logOne});
        ProcedureRegistry::add(
            {QStringLiteral("Test_LogThenFail"), 1, 1, [=](ProcedureContext& c) -> ResultSet {
                 logOne(c);
                 c.fail(QStringLiteral("refused on purpose."));
             }});
        const auto logbookRows = [&] {
            return m_db->query(QStringLiteral("SELECT count(*) FROM tbLabLogbook")).rows[0][0];
        };
        const Caught e = caught([&] { m_conn->execute(QStringLiteral("Test_LogThenFail 'R2'")); });
        QCOMPARE(e.description, QStringLiteral("Procedure Test_LogThenFail: refused on purpose."));
        QCOMPARE(logbookRows(), 1);

        // Inside a transaction only the failed procedure's own work goes.
        m_conn->beginTrans();
        m_conn->execute(QStringLiteral("Test_Log 'R2'"));
        QVERIFY(caught([&] { m_conn->execute(QStringLiteral("Test_LogThenFail 'R3'")); }).number);
        m_conn->commitTrans();
        QCOMPARE(logbookRows(), 2);
    }

private:
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<Connection> m_conn;
};

QTEST_GUILESS_MAIN(TstFrontEnd)
#include "tst_frontend.moc"
