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
        m_conn->open(QStringLiteral("Provider=SQLOLEDB.8;Integrated Security=SSPI;Initial "
                                    "Catalog=LABORATORY;Data Source=") +
                     m_db->folder());
    }
    void cleanup()
    {
        m_conn.reset();
        m_db.reset();
    }

    void acceptedShapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("rows");
        QTest::newRow("hospital header") << "select * from patient_data..tbHospitalInfo" << 1;
        QTest::newRow("patient information") << "Lab_Get_PatientInformation 'R1'" << 1;
        QTest::newRow("prefix, two blanks") << "laboratory..Lab_Get_PatientInformation  'R1'" << 1;
        QTest::newRow("owner prefix") << "LABORATORY.dbo.Lab_Get_PatientInformation 'R2'" << 1;
        QTest::newRow("lower-case logbook") << "select * from laboratory..tblablogbook where "
                                               "requestnum = 'R1'"
                                            << 1;
        QTest::newRow("no case, trailing blanks") << "select * from tbLabLogbook where "
                                                     "RequestNum = 'r1  '"
                                                  << 1;
        QTest::newRow("quote in a literal") << "select * from patient_data..tbPatient where "
                                               "LastName = 'O''BRIEN'"
                                            << 1;
        QTest::newRow("an injection is just text")
            << "select * from patient_data..tbPatient where LastName = 'x'' or ''1''=''1'" << 0;
    }
    void acceptedShapes()
    {
        QFETCH(QString, text);
        QFETCH(int, rows);
        auto rs = m_conn->openRecordset(text, CursorOptions::clientDynamic());
        QCOMPARE(rs->recordCount(), rows);
    }

    void refusedShapes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("stacked") << "Lab_Get_PatientInformation 'R1'; delete from tbLabRequest"
                                 << "Incorrect syntax near ';";
        QTest::newRow("unterminated") << "Lab_Get_PatientInformation 'R1"
                                      << "Unclosed quotation mark after the character string 'R1'";
        QTest::newRow("or") << "select * from tbLabLogbook where RequestNum = 'a' or 1 = 1"
                            << "Incorrect syntax near 'or'";
        QTest::newRow("other statement") << "drop table tbLabLogbook"
                                         << "Incorrect syntax near 'table'";
        QTest::newRow("unknown table") << "select * from tbNoSuchTable"
                                       << "Invalid object name 'tbNoSuchTable'";
        QTest::newRow("unknown column") << "select * from tbLabLogbook where Nope = 'x'"
                                        << "Invalid column name 'Nope'";
        QTest::newRow("unknown procedure") << "Lab_NoSuchProcedure 'x'"
                                           << "Could not find stored procedure "
                                              "'Lab_NoSuchProcedure'";
        QTest::newRow("procedure in patient_data")
            << "patient_data..Lab_Get_PatientInformation 'R1'"
            << "Could not find stored procedure 'patient_data..Lab_Get_PatientInformation'";
        QTest::newRow("too many arguments")
            << "Lab_Get_PatientInformation 'R1','R2'"
            << "Procedure or function 'Lab_Get_PatientInformation' has too many arguments";
        QTest::newRow("empty") << ""
                               << "Incorrect syntax near";
    }
    void refusedShapes()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        const Caught e = caught([&] { m_conn->execute(text); });
        QCOMPARE(e.number, ErrNo::DbCommandFailed);
        QVERIFY2(e.description.startsWith(message), qPrintable(e.description));
        // Nothing was touched by a refused command.
        QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM tbLabRequest")).rows[0][0], 4);
    }

    void patientInformationColumns()
    {
        auto rs = m_conn->openRecordset(QStringLiteral("Lab_Get_PatientInformation 'R2  '"),
                                        CursorOptions::clientDynamic());
        QCOMPARE(rs->recordCount(), 1);
        QCOMPARE(rs->fieldCount(), 34);
        QCOMPARE(rs->text(QStringLiteral("PatientName")), QStringLiteral("O'BRIEN, MARY"));
        QCOMPARE(rs->text(QStringLiteral("Age")), QStringLiteral("7"));
        QCOMPARE(rs->text(QStringLiteral("FormType")), QStringLiteral("1"));
        QCOMPARE(rs->text(QStringLiteral("RefNum")), QStringLiteral("REF2"));
        QCOMPARE(rs->text(QStringLiteral("RoomId")), QString());
        rs = m_conn->openRecordset(QStringLiteral("Lab_Get_PatientInformation 'R1'"));
        QCOMPARE(rs->text(QStringLiteral("PatientName")), QStringLiteral("DELA CRUZ, JUAN SANTOS"));
        QCOMPARE(rs->text(QStringLiteral("Age")), QStringLiteral("43"));
        QCOMPARE(rs->text(QStringLiteral("Ward")), QStringLiteral("Medical"));
        QCOMPARE(rs->text(QStringLiteral("Pathologist")), QStringLiteral("Dr. Ana Reyes"));
        QCOMPARE(rs->text(QStringLiteral("Specimen")), QStringLiteral("Serum"));
        for (int i = 0; i < rs->fieldCount(); ++i)
            QVERIFY2(!rs->value(i).isNull(), qPrintable(rs->fieldName(i)));
    }

    void aProcedureCompletesOrWritesNothing()
    {
        const auto logOne = [](ProcedureContext& c) {
            c.store().exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                                          "VALUES (?, '2024-01-01 00:00:00')"),
                           {c.key(0)});
        };
        ProcedureRegistry::add({QStringLiteral("Test_Log"), 1, 1, [=](ProcedureContext& c) {
                                    logOne(c);
                                    return ResultSet();
                                }});
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

        m_conn->beginTrans();
        m_conn->execute(QStringLiteral("Test_Log 'R3'"));
        m_conn->rollbackTrans();
        QCOMPARE(logbookRows(), 2);
    }

private:
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<Connection> m_conn;
};

QTEST_GUILESS_MAIN(TstFrontEnd)
#include "tst_frontend.moc"
