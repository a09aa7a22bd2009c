#include "Caught.h"
#include "Clock.h"
#include "Connection.h"
#include "DemoLaboratory.h"
#include "TestDatabase.h"

#include <QtTest>

namespace {
const QDate kDay(2024, 3, 7);

// One row of request L-1001 as the cut-off window saves it.
QString cutOffSave(const QString& value, const QString& cutOff, const QString& result)
{
    return QStringLiteral("Laboratory..Lab_SaveWithCutOff 'A-101','3/7/2024 2:05:00 PM', "
                          "'3/7/2024 1:30:00 PM','L-1001','HBSAG', '5', 'HBsAg', '%1', '%2', "
                          "'%3', 'Slightly hemolysed','1'")
        .arg(value, cutOff, result);
}
} // namespace

// The stored procedures against the demo laboratory of 7 March 2024 (the
// windows' command texts are sent by the screen tests and the walkthrough).
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

    void cutOffSaveIsReadBack_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("cutOff");
        QTest::addColumn<QString>("result");
        QTest::addColumn<QString>("shown");
        const auto row = [](const char* name, const char* value, const char* cutOff,
                            const char* result, const char* shown) {
            QTest::newRow(name) << value << cutOff << result << shown;
        };
        row("typed interpretation", "0.1", "", "REACTIVE", "REACTIVE");
        row("F-key value, no result", "POSITIVE", "", "", "POSITIVE");
        row("number against the exam's cut-off", "0.1", "", "0.1", "NON-REACTIVE");
        row("number against the saved cut-off", "0.1", "0.05", "0.1", "REACTIVE");
        row("NULL typed", "NULL", "", "", "NULL");
    }
    void cutOffSaveIsReadBack()
    {
        QFETCH(QString, value);
        QFETCH(QString, cutOff);
        QFETCH(QString, result);
        QFETCH(QString, shown);
        m_conn->execute(
            QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', "
                           "'MT01','3/7/2024 2:05:00 PM', '3/7/2024 1:30:00 PM','A-101'"));
        m_conn->execute(cutOffSave("0.42", "1", "0.42"));
        m_conn->execute(cutOffSave(value, cutOff, result)); // replaces the first
        QCOMPARE(texts("LABORATORY..Lab_GetResultWithCutOff  'L-1001'", {"result", "PatientValue"}),
                 (QStringList{shown, value}));
        QCOMPARE(count("tbLabResult WHERE RequestNum = 'L-1001'"), 1);
        QCOMPARE(texts("Lab_FormMaker_GetResult 'L-1001'",
                       {"samplesubmitted", "lratime", "Resultdate", "AccessionNum", "Remarks"}),
                 (QStringList{"3/7/2024 2:05:00 PM", "3/7/2024 1:30:00 PM", "3/7/2024 3:00:00 PM",
                              "A-101", "Slightly hemolysed"}));
        QCOMPARE(count("tbLabLogbook WHERE RequestNum = 'L-1001'"), 1);

        // Re-entry lists only the exams still without a result.
        QCOMPARE(texts("Lab_FormMaker_FillExams 'L-1001','2'", {"ExamId"}), QStringList{"ANTIHBS"});
    }

    void normalValuesInBothUnitsThenVerified()
    {
        // What the window saved is handed back as saved.
        m_conn->execute(QStringLiteral(
            "Lab_FormMaker_SaveResultWithNormalValues2 'L-1016', 'GLU', '7.0', 'x' , 'mmol/L', "
            "'3.9', '6.1', '126.5', 'y', 'mg/dL', '70', '110', '18', '1', '1', 'A-1','', "
            "'3/7/2024 8:00:00 AM', '3/7/2024 7:45:00 AM', '', 'MT02', 'N', 'AN-01', "
            "'3/7/2024 9:30:00 AM'"));
        QCOMPARE(texts("LABORATORY..Lab_FormMaker_GetResult_ReagentValues  'L-1016'",
                       {"CResult", "sNValues", "Factor"}),
                 (QStringList{"126.5", "x", "18"}));

        m_conn->execute(QStringLiteral("laboratory..LAB_Save_VerifyResults 'L-1016','MT01'"));
        QCOMPARE(m_db->query(QStringLiteral("SELECT DISTINCT Verified, VerifiedBy, VerifiedAt FROM "
                                            "tbLabResult WHERE RequestNum = 'L-1016'"))
                     .rows,
                 (QList<QVariantList>{{"Y", "MT01", "2024-03-07 15:00:00"}}));
        QCOMPARE(texts("Lab_FormMaker_GetResult 'L-1016'", {"Resultdate", "Method", "VerifiedBy"}),
                 (QStringList{"3/7/2024 9:30:00 AM", "AN-01", "MT01"}));
    }

    void badArgumentsAreNamedAndWriteNothing_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        const QString save = QStringLiteral("Laboratory..Lab_SaveWithCutOff 'A',");
        QTest::newRow("not a date")
            << save + "'someday', '3/7/2024','L-1001','HBSAG', '5', 'x', '1', '', '', '','1'"
            << "Procedure Lab_SaveWithCutOff: argument 2 (@SampleSubmitted) 'someday' is not a "
               "date.";
        QTest::newRow("text for a number")
            << save + "'3/7/2024', '3/7/2024','L-1001','HBSAG', '5', 'x', '1', '', '', '','first'"
            << "Procedure Lab_SaveWithCutOff: argument 12 (@RowNo) 'first' is not a whole number.";
        QTest::newRow("unknown exam")
            << save + "'3/7/2024', '3/7/2024','L-1001','NOPE', '5', 'x', '1', '', '', '','1'"
            << "Procedure Lab_SaveWithCutOff: exam item 'NOPE' does not exist.";
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
        const auto written = [&] {
            return count("tbLabResult") + count("tbLabLogbook") + count("tbLabResultHeader") +
                   count("tbLabInstrumentDLHemaResult WHERE Posted = 'Y'") +
                   count("tbLabResult WHERE Verified = 'Y'");
        };
        const int before = written();
        const Caught e = caught([&] { m_conn->execute(text); });
        QCOMPARE(e.number, ErrNo::DbCommandFailed);
        QCOMPARE(e.description, message);
        QCOMPARE(written(), before);
    }

private:
    // The first row's values of the columns named, as text.
    QStringList texts(const char* command, const QStringList& columns)
    {
        auto rs = m_conn->openRecordset(QLatin1String(command));
        QStringList values;
        for (const QString& c : columns)
            values << rs->text(c);
        return values;
    }

    int count(const char* tableAndWhere)
    {
        return m_db->query(QStringLiteral("SELECT count(*) FROM ") + QLatin1String(tableAndWhere))
            .rows[0][0]
            .toInt();
    }

    std::unique_ptr<TestDatabase> m_db;
    std::unique_ptr<Connection> m_conn;
};

QTEST_GUILESS_MAIN(TstProcedures)
#include "tst_procedures.moc"
