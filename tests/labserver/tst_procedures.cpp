#include "Caught.h"
#include "Clock.h"
#include "Connection.h"
#include "DemoLaboratory.h"
#include "TestDatabase.h"

#include <QtTest>

namespace {
const QDate kDay(2024, 3, 7);

// A save of request L-1001 as the cut-off window sends it.
const QStringList kCutOffSave = {
    "Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', 'MT01','3/7/2024 2:05:00 PM', "
    "'3/7/2024 1:30:00 PM','A-101'",
    "Laboratory..Lab_SaveWithCutOff 'A-101','3/7/2024 2:05:00 PM', '3/7/2024 1:30:00 PM',"
    "'L-1001','HBSAG', '5', 'HBsAg', '0.42', '1', '0.42', 'Slightly hemolysed','1'",
    "LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1001','MT01','03/07/2024','AN-01'",
};
} // namespace

// The stored procedures against the demo laboratory of 7 March 2024.
class TstProcedures : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        Clock::pin(QDateTime(kDay, QTime(15, 0)));
        m_db = std::make_unique<TestDatabase>();
        DemoLaboratory::build(m_db->folder(), kDay);
        m_conn = std::make_unique<Connection>();
        m_conn->open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + m_db->folder());
    }
    void cleanup()
    {
        m_conn.reset();
        m_db.reset();
        Clock::setSource({});
    }

    void commandTextsOfTheWindowsAreAccepted_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("rows"); // -1: a command without a result set
        QTest::newRow("header") << "Lab_FormMaker_GetResult 'L-1006'" << 1;
        QTest::newRow("logbook check") << "select * from laboratory..tblablogbook where "
                                          "requestnum = 'L-1006'"
                                       << 1;
        QTest::newRow("verify") << "laboratory..LAB_Save_VerifyResults 'L-1006','MT01'" << -1;
        QTest::newRow("mode 2") << "LABORATORY..sp_InstrumentGetAxsymSample  '2','03/07/2024',"
                                   "'AN-01','101','DELA CRUZ, JUAN S'"
                                << 1;
        QTest::newRow("worklist per exam")
            << "Select * from LABORATORY..tbLabInstrumentHemaWorkList"
               " Where RequestedExamCode = 'HEPB' and refnum = "
               "'REF-5001'"
            << 1;
        QTest::newRow("normal values") << "LABORATORY..Lab_FormMaker_GetResult_ReagentValues  "
                                          "'L-1016'"
                                       << 6;
        QTest::newRow("normal-value save")
            << "Lab_FormMaker_SaveResultWithNormalValues2 'L-1013', 'GLU', '5.5', '3.9 - 6.1' , "
               "'mmol/L', '3.9', '6.1', '', '', '', '', '', '', '', '1', 'A-103','Fasting', "
               "'3/7/2024 8:00:00 AM', '3/7/2024 7:45:00 AM', '', 'MT02', 'Y', 'AN-01', "
               "'3/7/2024 9:30:00 AM'"
            << -1;
        QTest::newRow("delete summary") << "Lab_DeleteDump_ResultSummary 'L-1013'" << -1;
        QTest::newRow("save summary") << "Lab_SaveDump_ResultSummary 'L-1013', '  Glucose=5.5 "
                                         "(3.9 - 6.1 mmol/L)'"
                                      << -1;
    }
    void commandTextsOfTheWindowsAreAccepted()
    {
        QFETCH(QString, text);
        QFETCH(int, rows);
        auto rs = m_conn->openRecordset(text, CursorOptions::clientDynamic());
        QCOMPARE(rs->fieldCount() == 0 ? -1 : rs->recordCount(), rows);
    }

    void cutOffSaveIsReadBack()
    {
        for (const QString& text : kCutOffSave)
            m_conn->execute(text);
        m_conn->execute(kCutOffSave[1]); // a second save replaces the first
        auto rs = m_conn->openRecordset(QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  "
                                                       "'L-1001'"));
        QCOMPARE(rs->data().rows.size(), 1);
        QCOMPARE(rs->text(QStringLiteral("result")), QStringLiteral("NON-REACTIVE"));
        QCOMPARE(rs->text(QStringLiteral("CutOffValue")), QStringLiteral("1"));
        rs = m_conn->openRecordset(QStringLiteral("Lab_FormMaker_GetResult 'L-1001'"));
        QCOMPARE(rs->text(QStringLiteral("samplesubmitted")),
                 QStringLiteral("3/7/2024 2:05:00 PM"));
        QCOMPARE(rs->text(QStringLiteral("lratime")), QStringLiteral("3/7/2024 1:30:00 PM"));
        QCOMPARE(rs->text(QStringLiteral("Resultdate")), QStringLiteral("3/7/2024 3:00:00 PM"));
        QCOMPARE(rs->text(QStringLiteral("AccessionNum")), QStringLiteral("A-101"));
        QCOMPARE(rs->text(QStringLiteral("Remarks")), QStringLiteral("Slightly hemolysed"));
        QCOMPARE(m_db->query(QStringLiteral("SELECT count(*) FROM tbLabLogbook WHERE RequestNum "
                                            "= 'L-1001'"))
                     .rows[0][0],
                 1);
    }

    void savedInterpretationWins_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("cutOff");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("shown");
        QTest::newRow("typed interpretation") << "0.1"
                                              << ""
                                              << "REACTIVE"
                                              << "REACTIVE";
        QTest::newRow("F-key value, no result") << "POSITIVE"
                                                << ""
                                                << ""
                                                << "POSITIVE";
        QTest::newRow("number against the exam's cut-off") << "0.1"
                                                           << ""
                                                           << "0.1"
                                                           << "NON-REACTIVE";
        QTest::newRow("number against the saved cut-off") << "0.1"
                                                          << "0.05"
                                                          << "0.1"
                                                          << "REACTIVE";
        QTest::newRow("NULL typed") << "NULL"
                                    << ""
                                    << ""
                                    << "NULL";
    }
    void savedInterpretationWins()
    {
        QFETCH(QString, value);
        QFETCH(QString, cutOff);
        QFETCH(QString, result);
        QFETCH(QString, shown);
        m_conn->execute(QStringLiteral("Laboratory..Lab_SaveWithCutOff 'A-1','3/7/2024', "
                                       "'3/7/2024','L-1001','HBSAG', '5', 'HBsAg', '%1', '%2', "
                                       "'%3', '','1'")
                            .arg(value, cutOff, result));
        auto rs = m_conn->openRecordset(QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  "
                                                       "'L-1001'"));
        QCOMPARE(rs->text(QStringLiteral("result")), shown);
        QCOMPARE(rs->text(QStringLiteral("PatientValue")), value);
    }

    void normalValuesInBothUnits()
    {
        // What the window saved is handed back as saved.
        m_conn->execute(QStringLiteral(
            "Lab_FormMaker_SaveResultWithNormalValues2 'L-1016', 'GLU', '7.0', 'x' , 'mmol/L', "
            "'3.9', '6.1', '126.5', 'y', 'mg/dL', '70', '110', '18', '1', '1', 'A-1','', "
            "'3/7/2024 8:00:00 AM', '3/7/2024 7:45:00 AM', '', 'MT02', 'N', 'AN-01', "
            "'3/7/2024 9:30:00 AM'"));
        auto rs = m_conn->openRecordset(
            QStringLiteral("LABORATORY..Lab_FormMaker_GetResult_ReagentValues  'L-1016'"));
        QCOMPARE(rs->text(QStringLiteral("CResult")), QStringLiteral("126.5"));
        QCOMPARE(rs->text(QStringLiteral("sNValues")), QStringLiteral("x"));
        QCOMPARE(rs->text(QStringLiteral("Factor")), QStringLiteral("18"));
        rs = m_conn->openRecordset(QStringLiteral("Lab_FormMaker_GetResult 'L-1016'"));
        QCOMPARE(rs->text(QStringLiteral("Resultdate")), QStringLiteral("3/7/2024 9:30:00 AM"));
        QCOMPARE(rs->text(QStringLiteral("Method")), QStringLiteral("AN-01"));
    }

    void verificationIsRecorded()
    {
        m_conn->execute(QStringLiteral("laboratory..LAB_Save_VerifyResults 'L-1006','MT01'"));
        const ResultSet rs = m_db->query(QStringLiteral(
            "SELECT DISTINCT Verified, VerifiedBy, VerifiedAt FROM tbLabResult WHERE RequestNum "
            "= 'L-1006'"));
        QCOMPARE(rs.rows, (QList<QVariantList>{{"Y", "MT01", "2024-03-07 15:00:00"}}));
        auto header = m_conn->openRecordset(QStringLiteral("Lab_FormMaker_GetResult 'L-1006'"));
        QCOMPARE(header->text(QStringLiteral("VerifiedBy")), QStringLiteral("MT01"));
    }

    void reEntryListsOnlyExamsWithoutResults()
    {
        m_conn->execute(kCutOffSave[1]);
        auto rs = m_conn->openRecordset(QStringLiteral("Lab_FormMaker_FillExams 'L-1001','2'"),
                                        CursorOptions::clientDynamic());
        QCOMPARE(rs->recordCount(), 2);
        QCOMPARE(rs->text(QStringLiteral("ExamId")), QStringLiteral("ANTIHBS"));
        QCOMPARE(rs->text(QStringLiteral("Lab#")), QStringLiteral("L-1001"));
        QCOMPARE(rs->text(QStringLiteral("Normal Values")), QStringLiteral("NEGATIVE"));
    }

    void badArgumentsAreNamedAndWriteNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("not a date")
            << "Laboratory..Lab_SaveWithCutOff 'A','someday', '3/7/2024','L-1001','HBSAG', '5', "
               "'x', '1', '', '', '','1'"
            << "Procedure Lab_SaveWithCutOff: argument 2 (@SampleSubmitted) 'someday' is not a "
               "date.";
        QTest::newRow("text for a number")
            << "Laboratory..Lab_SaveWithCutOff 'A','3/7/2024', '3/7/2024','L-1001','HBSAG', '5', "
               "'x', '1', '', '', '','first'"
            << "Procedure Lab_SaveWithCutOff: argument 12 (@RowNo) 'first' is not a whole number.";
        QTest::newRow("unknown exam")
            << "Laboratory..Lab_SaveWithCutOff 'A','3/7/2024', '3/7/2024','L-1001','NOPE', '5', "
               "'x', '1', '', '', '','1'"
            << "Procedure Lab_SaveWithCutOff: exam item 'NOPE' does not exist.";
        QTest::newRow("unknown request")
            << "Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'NOPE', '', 'MT01','', '','A'"
            << "Procedure Lab_ResultEntryDLL_SaveToLogbook: request 'NOPE' does not exist.";
        QTest::newRow("entry mode") << "Lab_FormMaker_FillExams 'L-1001','one'"
                                    << "Procedure Lab_FormMaker_FillExams: argument 2 "
                                       "(@EntryMode) 'one' is not a whole number.";
        QTest::newRow("mode 2 with six")
            << "LABORATORY..sp_InstrumentGetAxsymSample  '2','03/07/2024','AN-01','101','', ''"
            << "Procedure sp_InstrumentGetAxsymSample: mode 2 takes 5 arguments, not 6.";
        QTest::newRow("verified flag")
            << "Lab_FormMaker_SaveResultWithNormalValues2 'L-1013', 'GLU', '5.5', '' , '', '', "
               "'', '', '', '', '', '', '', '', '1', 'A','', '3/7/2024', '3/7/2024', '', 'MT02', "
               "'maybe', '', '3/7/2024'"
            << "Procedure Lab_FormMaker_SaveResultWithNormalValues2: argument 22 (@Verified) "
               "'maybe' is neither Y nor N.";
    }
    void badArgumentsAreNamedAndWriteNothing()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        const auto count = [&] {
            return m_db
                ->query(QStringLiteral("SELECT (SELECT count(*) FROM tbLabResult) + (SELECT "
                                       "count(*) FROM tbLabLogbook) + (SELECT count(*) FROM "
                                       "tbLabResultHeader) + (SELECT count(*) FROM "
                                       "tbLabInstrumentDLHemaResult WHERE Posted = 'Y') + "
                                       "(SELECT count(*) FROM tbLabResult WHERE Verified = 'Y')"))
                .rows[0][0];
        };
        const QVariant before = count();
        const Caught e = caught([&] { m_conn->execute(text); });
        QCOMPARE(e.number, ErrNo::DbCommandFailed);
        QCOMPARE(e.description, message);
        QCOMPARE(count(), before);
    }

private:
    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<Connection> m_conn;
};

QTEST_GUILESS_MAIN(TstProcedures)
#include "tst_procedures.moc"
