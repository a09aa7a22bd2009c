#include "component/model/FormType.h"
#include "component/model/SaveCommands.h"
#include "component/model/SaveQuestions.h"

#include <QtTest>

namespace {
const QDateTime kAt(QDate(2024, 3, 7), QTime(14, 5));

SaveHeader header(const QString& formType)
{
    SaveHeader h;
    h.requestNum = QStringLiteral("L-1001");
    h.formType = formType;
    h.employeeCode = QStringLiteral("MT01");
    h.accessionNum = QStringLiteral("101");
    h.remarks = QStringLiteral("Patient's second sample");
    h.method = h.instrumentId = QStringLiteral("AN-01");
    h.submitted = h.lraTime = h.reported = kAt;
    h.resultDate = kAt.date();
    return h;
}

ItemChecks limits(std::optional<double> low, std::optional<double> high, const QString& previous)
{
    ItemChecks c;
    c.limits.min = 3.9;
    c.limits.max = 6.1;
    c.limits.criticalLow = low;
    c.limits.criticalHigh = high;
    c.limits.plausibleLow = 0;
    c.limits.plausibleHigh = 100;
    c.limits.deltaLimit = 50;
    c.limits.deltaPercent = true;
    c.limits.deltaDays = 30;
    c.limits.previous = previous;
    c.limits.previousAt = kAt.addDays(-1);
    return c;
}
} // namespace

// The windows' saves and checks without a window: grid rows and the
// session's header in, the exact command texts and questions out.
class TstWindowModel : public QObject {
    Q_OBJECT
private slots:
    void cutOffSaves_data()
    {
        QTest::addColumn<QString>("formType");
        QTest::addColumn<bool>("showCutOff");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QStringList>("texts"); // per row: save, post; then the items read
        const QString save = QStringLiteral(
            "Laboratory..Lab_SaveWithCutOff '101','3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM',");
        const QString post = QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','S''1','%1',"
                                            "'MT01','03/07/2024','AN-01'");
        // Value and result differ, so a save sending the wrong column shows;
        // the row without an exam saves nothing.
        QTest::newRow("own rows, cut-off shown")
            << "5" << true << QString()
            << QStringList{save + "'L-1001','HBSAG', '5', 'HBsAg (O''Neil kit)', '0.42', '1', "
                                  "'NON-REACTIVE', 'Patient''s second sample','1'",
                           post.arg("L-1001"),
                           save + "'L-1002','ANTIHCV', '5', 'Anti-HCV', '0.95', '2', "
                                  "'EQUIVOCAL', 'Patient''s second sample','3'",
                           post.arg("L-1002"),
                           "L-1001:HBSAG",
                           "L-1002:ANTIHCV"};
        QTest::newRow("a package saves to its own request, the reason last")
            << "P" << false << "Transcription error"
            << QStringList{save + "'L-1001','HBSAG', 'P', 'HBsAg (O''Neil kit)', '0.42', '', "
                                  "'NON-REACTIVE', 'Patient''s second sample','1', "
                                  "'Transcription error'",
                           post.arg("L-1001"),
                           save + "'L-1001','ANTIHCV', 'P', 'Anti-HCV', '0.95', '', "
                                  "'EQUIVOCAL', 'Patient''s second sample','3', "
                                  "'Transcription error'",
                           post.arg("L-1001"), "L-1001:HBSAG,ANTIHCV"};
    }
    void cutOffSaves()
    {
        QFETCH(QString, formType);
        QFETCH(bool, showCutOff);
        QFETCH(QString, reason);
        QFETCH(QStringList, texts);
        const auto grid = gridOf<CutOffCol>(
            {{"", "HBSAG", "HBsAg (O'Neil kit)", "0.42", "NON-REACTIVE", "", "", "L-1001", "1"},
             {"", " ", "", "7", "7", "", "", "", ""},
             {"", "ANTIHCV", "Anti-HCV", "0.95", "EQUIVOCAL", "", "", "L-1002", "2"}});
        const SaveHeader h = header(formType);
        QStringList sent;
        for (const auto& row : grid) {
            if (row.at(CutOffCol::Item).trimmed().isEmpty())
                continue;
            sent << SaveCommands::cutOffSave(row, h, showCutOff, reason)
                 << SaveCommands::cutOffPost(SaveCommands::cutOffRequest(row, h),
                                             QStringLiteral("S'1"), h);
        }
        const auto items = SaveCommands::cutOffItems(grid, h);
        for (auto it = items.cbegin(); it != items.cend(); ++it)
            sent << it.key() + ':' + it.value().join(',');
        QCOMPARE(sent, texts);
    }

    void sharedTexts()
    {
        SaveHeader h = header(QStringLiteral("5"));
        h.accessionNum = QStringLiteral("O'Neil");
        const CheckedRow row{2, "L-1", "K", "Potassium", "24", "mmol/L"};
        QCOMPARE((QStringList{
                     SaveCommands::logbookEntry(QStringLiteral("L-1001"), h),
                     SaveCommands::sampleUnposted(h, QStringLiteral("101"), {"L-1001", "L-1002"}),
                     SaveCommands::sampleCall('3', QString(), QStringLiteral("AN-01"),
                                              QStringLiteral("101"), QString(),
                                              QStringLiteral("R-1"), true),
                     SaveCommands::withReason(QStringLiteral("Lab_X 'a'"), QStringLiteral("it's")),
                     CheckCommands::resultEntry(row, "MT01", false, "AN-01", "101", "WS"),
                     CheckCommands::criticalCall(row, "Dr O'Neil", kAt, "MT01", "WS")}),
                 (QStringList{
                     "Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', "
                     "'MT01','3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM','O''Neil'",
                     "Lab_CheckUnchanged 'L-1001', '', 'MT01', '101', 'AN-01', '03/07/2024', "
                     "'L-1001;L-1002'",
                     "LABORATORY..sp_InstrumentGetAxsymSample  '3','','AN-01','101','', 'R-1'",
                     "Lab_X 'a', 'it''s'", "Lab_RecordResultEntry 'L-1','K','MT01','T','','','WS'",
                     "Lab_RecordCriticalCall 'L-1','K','Dr O''Neil','3/7/2024 2:05:00 PM',"
                     "'MT01','WS'"}));
    }

    void normalValuesRows_data()
    {
        QTest::addColumn<QString>("formType");
        QTest::addColumn<bool>("verifies");
        QTest::addColumn<QStringList>("texts"); // per row: statement, summary, derived
        const QString statement = QStringLiteral(
            "Lab_FormMaker_SaveResultWithNormalValues2 'L-1013', 'GLU', '%1', '3.9 - 6.1' , "
            "'mmol/L', '3.9', '6.1', '%2', '70 - 110', 'mg/dL', '70', '110', '18', '%3', '%4', "
            "'101','Patient''s second sample', '3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM', '', "
            "'MT01', '%5', 'AN-01', '3/7/2024 2:05:00 PM'");
        QTest::newRow("typed SI value: the conventional one is derived")
            << "1" << true
            << QStringList{statement.arg("7.2", " ", "", "1", "Y"),
                           "7.2 (3.9 - 6.1 mmol/L)",
                           "Y",
                           statement.arg("5.5", "99", "B", "3", "Y"),
                           "5.5 (3.9 - 6.1 mmol/L)99 (70 - 110 mg/dL)",
                           "N"};
        QTest::newRow("package summaries name the exam; a clerk's save does not verify")
            << "P" << false
            << QStringList{statement.arg("7.2", " ", "", "1", "N"),
                           "  Glucose=7.2 (3.9 - 6.1 mmol/L)",
                           "Y",
                           statement.arg("5.5", "99", "B", "3", "N"),
                           "  Glucose=5.5 (3.9 - 6.1 mmol/L)99 (70 - 110 mg/dL)",
                           "N"};
    }
    void normalValuesRows()
    {
        QFETCH(QString, formType);
        QFETCH(bool, verifies);
        QFETCH(QStringList, texts);
        const QStringList row = {"L-1013", "GLU", "  Glucose", "7.2",      "3.9 - 6.1", "mmol/L",
                                 "3.9",    "6.1", " ",         "70 - 110", "mg/dL",     "70",
                                 "110",    "18",  "",          "H",        "5.0"};
        QStringList second = row;
        second[3] = "5.5";
        second[8] = "99";
        second[14] = "B";
        QStringList sent;
        for (const auto& r :
             SaveCommands::nvRows(gridOf<NvCol>({row, {"L-1013", "", "  Empty"}, second}),
                                  header(formType), verifies))
            sent << r.statement << r.summary << (r.derived ? "Y" : "N");
        QCOMPARE(sent, texts);
    }

    void questionsInTheOrderAsked_data()
    {
        QTest::addColumn<bool>("verifying");
        QTest::addColumn<bool>("unchanged");
        QTest::addColumn<QString>("calledTo");
        QTest::addColumn<QStringList>("asked"); // kind:row
        // Row 1 implausible; row 2 critical and 100% above its previous result.
        QTest::newRow("saving") << false << false << "" << QStringList{"I:1", "C:2"};
        QTest::newRow("verifying") << true << false << "" << QStringList{"I:1", "C:2", "D:2"};
        QTest::newRow("called about this very value")
            << true << true << "Dr Who" << QStringList{"I:1", "D:2"};
        QTest::newRow("called about another value")
            << true << false << "Dr Who" << QStringList{"I:1", "C:2", "D:2"};
    }
    void questionsInTheOrderAsked()
    {
        QFETCH(bool, verifying);
        QFETCH(bool, unchanged);
        QFETCH(QString, calledTo);
        QFETCH(QStringList, asked);
        ItemChecks plain = limits({}, {}, QString());
        ItemChecks critical = limits(2.0, 20.0, QStringLiteral("12"));
        critical.criticalCalledTo = calledTo;
        const QList<CheckedRow> rows = {
            {1, "L-1", "GLU", "Glucose", "150", "mmol/L", &plain, false},
            {2, "L-1", "K", "Potassium", "24", "mmol/L", &critical, unchanged},
            {3, "L-1", "NA", "Sodium", "500", "mmol/L", nullptr, false}};
        QStringList kinds;
        const QList<SaveQuestion> questions = saveQuestions(rows, verifying, kAt);
        for (const SaveQuestion& q : questions)
            kinds << QStringLiteral("%1:%2").arg("ICD"[q.kind]).arg(q.gridRow);
        QCOMPARE(kinds, asked);
        QCOMPARE(questions.first().text,
                 QStringLiteral("The result 150 of Glucose is outside the plausible limits 0 - "
                                "100 mmol/L: it may be a typing slip. Save it anyway?"));
        if (verifying)
            QCOMPARE(questions.last().text,
                     QStringLiteral("The result of Potassium changed from 12 mmol/L (03/06/2024) "
                                    "to 24: more than the delta limit of 50% within 30 days. "
                                    "Acknowledge it and verify?"));
    }

    // Form type, value type -> the window that opens (Downloaded, NV, none),
    // then cut-off, short form, wide, saved with cut-off. Comparisons are exact
    // ("h", "z", "b" and "5 " are no format); the value type counts only after
    // "H" and "P".
    void formTypes()
    {
        const char* const cases[][3] = {
            {"5", "", "DC--S"},  {"P", "5", "-C--S"}, {"P", "D", "--F--"}, {"D", "", "--F--"},
            {"W", "", "D---S"},  {"H", "Z", "D---S"}, {"H", "5", "D---S"}, {"H", "W", "D---S"},
            {"H", "L", "---W-"}, {"L", "", "---W-"},  {"H", "P", "---W-"}, {"p", "5", "-----"},
            {"55", "", "-----"}, {"H", "1", "N----"}, {"H", "7", "N----"}, {"H", "8", "N----"},
            {"H", "B", "N----"}, {"1", "Z", "N----"}, {"7", "Z", "N----"}, {"8", "Z", "N----"},
            {"B", "Z", "N----"}, {"H", "", "-----"},  {"H", "z", "-----"}, {"Z", "Z", "-----"},
            {"h", "Z", "-----"}, {"", "Z", "-----"},  {"b", "Z", "-----"}, {"5 ", "Z", "-----"}};
        for (const auto& c : cases) {
            const QString f = QLatin1String(c[0]), v = QLatin1String(c[1]);
            const QString got = QString(QLatin1Char("-DN"[int(chooseResultWindow(f, v))])) +
                                (isCutOffForm(f, v) ? "C" : "-") + (isShortForm(f, v) ? "F" : "-") +
                                (isWideForm(f, v) ? "W" : "-") +
                                (savesWithCutOff(f, v) ? "S" : "-");
            QVERIFY2(got == QLatin1String(c[2]), qPrintable(f + '/' + v + ": " + got));
        }
    }
};

QTEST_GUILESS_MAIN(TstWindowModel)
#include "tst_window_model.moc"
