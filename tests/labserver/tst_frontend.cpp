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
        QTest::addColumn<QString>("outcome"); // rows found, or how the refusal starts
        const auto row = [](const char* name, const char* text, const char* outcome) {
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
            "Incorrect syntax near ';");
        row("unterminated", "Lab_Get_PatientInformation 'R1",
            "Unclosed quotation mark after the character string 'R1'");
        row("or", "select * from tbLabLogbook where RequestNum = 'a' or 1 = 1",
            "Incorrect syntax near 'or'");
        row("unknown table", "select * from tbNoSuchTable", "Invalid object name 'tbNoSuchTable'");
        row("unknown column", "select * from tbLabLogbook where Nope = 'x'",
            "Invalid column name 'Nope'");
        row("unknown procedure", "Lab_NoSuchProcedure 'x'",
            "Could not find stored procedure 'Lab_NoSuchProcedure'");
        row("procedure in patient_data", "patient_data..Lab_Get_PatientInformation 'R1'",
            "Could not find stored procedure 'patient_data..Lab_Get_PatientInformation'");
        row("too many arguments", "Lab_Get_PatientInformation 'R1','R2'",
            "Procedure or function 'Lab_Get_PatientInformation' has too many arguments");
        row("empty", "", "Incorrect syntax near");
    }
    void commandShapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, outcome);
        int rows = -1;
        const Caught e = caught([&] {
            rows = m_conn->openRecordset(text, CursorOptions::clientDynamic())->recordCount();
        });
        QCOMPARE(e.number ? e.description.left(outcome.size()) : QString::number(rows), outcome);
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
