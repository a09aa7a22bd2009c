#include "component/SavedResults.h"
#include "platform/DateText.h"
#include "screens/result_entry/InterpretationShade.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Caught.h"
#include "tests/support/Keys.h"
#include "tests/support/WindowFixture.h"

namespace {
const QDate kDay = WindowFixture::day();

// The cut-off window with its save routine observed.
class ObservedWindow : public frmDownloaded {
public:
    using frmDownloaded::copyRequestedExams;
    QList<QPair<bool, bool>> saves;

protected:
    void Save_And_Print(bool verify, bool print) override { saves.append({verify, print}); }
};

using Shade = InterpretationShade;

// A letter a row for how its cell in col is shaded: R reactive, E
// equivocal, N non-reactive, - not at all.
QString shadesOf(const FlexGrid* g, int col = 4)
{
    QString letters;
    for (int r = 1; r < g->Rows(); ++r) {
        const QTableWidgetItem* cell = g->item(r - 1, col);
        char letter = '-';
        for (auto [kind, l] :
             {std::pair{Shade::Reactive, 'R'}, {Shade::Equivocal, 'E'}, {Shade::NonReactive, 'N'}})
            if (cell && cell->background().color() == Shade::background(kind) &&
                cell->foreground().color() == Shade::textColor(kind))
                letter = l;
        letters += QLatin1Char(letter);
    }
    return letters;
}

// Each grid row's cells in the given columns, untrimmed, joined by '|'.
QStringList rowsOf(const FlexGrid* g, std::initializer_list<int> cols)
{
    QStringList rows;
    for (int r = 1; r < g->Rows(); ++r) {
        QStringList cells;
        for (int c : cols)
            cells << g->TextMatrix(r, c);
        rows << cells.join(QLatin1Char('|'));
    }
    return rows;
}
} // namespace

// The real windows as staff meet them, opened through the component and
// driven with keys and clicks: a cut-off request filled from the laboratory,
// a sample looked up through the search dialog ("..."), a whole request
// without the mouse, and the cut-off window's controls and editor.
class TstResultWindow : public QObject {
    Q_OBJECT
private slots:
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void fillFindsTheSample_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("downloadedRows");
        QTest::addColumn<QString>("ref");
        QTest::addColumn<QString>("sample"); // and its patient, after a '|'
        WindowFixture::row("worklist", "L-1001", 5, "REF-5001", "101|DELA CRUZ, JUAN S");
        WindowFixture::row("downloaded only", "L-1005", 2, "REF-5004", "102|TAN, ROBERT C");
        WindowFixture::row("neither", "L-1007", 2, "REF-5006", "|");
    }
    void fillFindsTheSample()
    {
        QFETCH(QString, request);
        QFETCH(int, downloadedRows);
        QFETCH(QString, ref);
        QFETCH(QString, sample);
        const QString patient = sample.section('|', 1);
        sample = sample.section('|', 0, 0);
        // The sample's results are read for the day it was found on.
        const QString call =
            QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '3','%1',"
                           "'AN-01','%2','', '%3'")
                .arg(sample.isEmpty() ? QString() : QStringLiteral("03/07/2024"), sample, ref);
        f.open<frmDownloaded>(request, [&](frmDownloaded& w) {
            QVERIFY2(f.db->trace().contains(call), qPrintable(f.db->trace().join('\n')));
            QCOMPARE((QStringList{control<QLineEdit>(w, "txtSampleNum")->text(),
                                  control<QLineEdit>(w, "txtAccNum")->text(),
                                  control<QLineEdit>(w, "txtPName")->text(),
                                  control<FlexGrid>(w, "grdExams")->TextMatrix(1, 3)}),
                     (QStringList{sample, sample, patient, request}));
            QCOMPARE(control<QDateEdit>(w, "dtpResultDate")->date(), kDay);
            QCOMPARE(control<FlexGrid>(w, "msfgDLresult")->Rows(), downloadedRows);
        });
    }

    void noSampleLeadsToManualEntry_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("manual");
        WindowFixture::row("cancelled, typed by hand", true, true);
        WindowFixture::row("cancelled, not typed", true, false);
        WindowFixture::row("nothing that day, typed by hand", false, true);
    }
    void noSampleLeadsToManualEntry()
    {
        QFETCH(bool, cancel);
        QFETCH(bool, manual);
        f.open<frmDownloaded>(QStringLiteral("L-1007"), [&](frmDownloaded& w) {
            auto* dtpResultDate = control<QDateEdit>(w, "dtpResultDate");
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            // A result date after today is refused before any search.
            dtpResultDate->setDate(kDay.addDays(1));
            control<QPushButton>(w, "cmdSearchSampleNum")->click();
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{"Result date is invalid!\n\nPlease change the result date and "
                                 "try again."});
            f.presenter.clear();
            dtpResultDate->setDate(kDay);
            QStringList expected = {QStringLiteral("Sample not found.\nWould you like to "
                                                   "manually enter the results.")};
            if (cancel) {
                f.presenter.queueWindow([](QWidget& d) {
                    QTest::mouseClick(control<QPushButton>(d, "cmdCancel"), Qt::LeftButton);
                });
            } else {
                dtpResultDate->setDate(kDay.addDays(-1));
                f.presenter.queueAnswer(MsgAnswer::Ok);
                expected.prepend(
                    QStringLiteral("No Result(s) Found for Integrated Analyzer AN-01"));
            }
            f.presenter.queueAnswer(manual ? MsgAnswer::Yes : MsgAnswer::No);
            control<QPushButton>(w, "cmdSearchSampleNum")->click();
            QCOMPARE(f.presenter.messageTexts(), expected);
            const MessageRequest& question = f.presenter.messages().last();
            QVERIFY(question.buttons == MsgButtons::YesNo &&
                    question.defaultAnswer == MsgAnswer::No);
            // A search closed without a pick is told apart in the advice.
            QVERIFY(question.advice.contains(QStringLiteral("exams of L-1007")) &&
                    question.advice.startsWith(QStringLiteral("No sample was picked")) == cancel);
            if (!cancel)
                QCOMPARE(f.presenter.messages().first().advice,
                         QStringLiteral("Request L-1007: the instrument sent no samples for "
                                        "03/06/2024. Check the result date, or type the sample "
                                        "number and press Enter."));
            QCOMPARE(f.presenter.windowsShown().contains(QStringLiteral("frmSampleSearch")),
                     cancel);
            QCOMPARE(msfgRequest->TextMatrix(1, 2) + msfgRequest->TextMatrix(1, 7),
                     manual ? "Salmonella typhi IgML-1007" : QString());
            QCOMPARE(dtpResultDate->isEnabled(), !manual);
        });
        // The shared dialog goes with the component: a host may destroy its
        // application object next, and a widget outliving it crashes the host.
        f.entry.reset();
        const QWidgetList left = QApplication::allWidgets();
        QVERIFY(std::none_of(left.begin(), left.end(), [](const QWidget* w) {
            return w->objectName() == QLatin1String("frmSampleSearch");
        }));
    }

    void pickSampleNumberTellsOnlyWhatIsNotADatabaseFailure()
    {
        const auto pick = [] {
            return PickSampleNumber(QDateTime(kDay, QTime()), QString(), QString(), QString());
        };
        session().LabDb->setCommandHook([](const QString&) {
            throw LisError(ErrNo::DbCommandFailed, QStringLiteral("timeout"));
        });
        QCOMPARE(pick(), QString());
        QVERIFY(f.presenter.messages().isEmpty());
        session().LabDb->setCommandHook({});
        session().LabDb->close();
        QCOMPARE(pick(), QString());
        QCOMPARE(f.presenter.messages().size(), 1);
        QVERIFY(f.presenter.messages().last().text.startsWith(QStringLiteral("Error: ")));
    }

    void savedHeaderIsWhollyNewOrUnchanged()
    {
        SessionState& s = session();
        s.RequestNum = QStringLiteral("L-1007"); // nothing saved
        s.AccessionNum = QStringLiteral("kept");
        LoadResultHeader();
        QCOMPARE(s.AccessionNum, QStringLiteral("kept"));
        s.RequestNum = QStringLiteral("L-1006");
        LoadResultHeader();
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));
        // A Null time is an error, and the header stays as it was.
        f.db->exec(QStringLiteral("UPDATE tbLabResultHeader SET LRATime = NULL, AccessionNum = "
                                  "'new' WHERE RequestNum = 'L-1006'"));
        QCOMPARE(caught([] { LoadResultHeader(); }).number, 94);
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));
    }

    void wholeRequestWithoutTheMouse()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            QCOMPARE(QApplication::focusWidget(), control<QLineEdit>(w, "txtSampleNum"));
            press(Qt::Key_R, Qt::AltModifier); // Use Result >>
            QVERIFY(w.ResultTakenOver);
            press(Qt::Key_F, Qt::AltModifier); // into the results: every exam has a value
            QVERIFY(QApplication::focusWidget() == control<QLineEdit>(w, "txtResult") &&
                    control<FlexGrid>(w, "msfgRequest")->Row() == 1);
            press(Qt::Key_Down);
            type(QStringLiteral("0.50"));
            press(Qt::Key_Return);
            f.presenter.queueWindow([&](QWidget& viewer) {
                viewer.activateWindow();
                QTRY_COMPARE(QGuiApplication::focusWindow(), viewer.windowHandle());
                press(Qt::Key_V, Qt::AltModifier); // Verify/Save
            });
            press(Qt::Key_V, Qt::AltModifier); // View Result saves, then previews
            QVERIFY(!w.isVisible());
        });
        QCOMPARE(f.stored("PatientValue", "L-1001", "ANTIHBS") + '|' +
                     f.stored("VerifiedBy", "L-1001", "ANTIHBS"),
                 "0.50|MT-07");
        QVERIFY(f.presenter.messages().isEmpty());
    }

    // L-1011 (uric acid, normal values; requested 7:50 AM): clicks go where
    // they are aimed, the accession check moves no focus into a date, and a
    // header time after now or before the request is refused.
    void clicksLandWhereAimed_data()
    {
        QTest::addColumn<int>("submittedDays");
        QTest::addColumn<QString>("lraTime");
        QTest::addColumn<QString>("refusal");
        WindowFixture::row("as clicked: today stored", 0, QString(), QString());
        WindowFixture::row("submitted tomorrow", 1, QString(),
                           QStringLiteral("Date Submitted 03/08/2024 02:05 PM is later than "
                                          "now."));
        WindowFixture::row("logbook before the request", 0, QStringLiteral("07:49"),
                           QStringLiteral("LRA Logbook Time 03/07/2024 07:49 AM is before the "
                                          "request was made (03/07/2024 07:50 AM)."));
    }
    void clicksLandWhereAimed()
    {
        QFETCH(int, submittedDays);
        QFETCH(QString, lraTime);
        QFETCH(QString, refusal);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
        f.open<ResultEntryForm>(QStringLiteral("L-1011"), [&](ResultEntryForm& w) {
            auto* txtRemarks = control<QTextEdit>(w, "txtRemarks");
            auto* dtSubmitted = control<QDateEdit>(w, "dtSubmitted");
            auto* dtLRADate = control<QDateEdit>(w, "dtLRADate");
            QTest::mouseClick(control<QLineEdit>(w, "txtAccNum"), Qt::LeftButton);
            type(QStringLiteral("A-1011"));
            QTest::mouseClick(txtRemarks->viewport(), Qt::LeftButton);
            type(QStringLiteral("7"));
            QCOMPARE(txtRemarks->toPlainText() + '|' + dtSubmitted->text() + '|' +
                         dtLRADate->text(),
                     QStringLiteral("7|03/07/2024|03/07/2024"));
            // Typed by hand, without a sample.
            f.presenter.queueWindow([](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); });
            f.presenter.queueAnswer(MsgAnswer::Yes);
            QTest::mouseClick(control<QPushButton>(w, "cmdSearchSampleNum"), Qt::LeftButton);
            WindowFixture::clickCell(control<FlexGrid>(w, "msfgRequest"), 1);
            type(QStringLiteral("7.1"));
            dtSubmitted->setDate(dtSubmitted->date().addDays(submittedDays));
            if (!lraTime.isEmpty())
                control<QTimeEdit>(w, "dtLRATime")
                    ->setTime(QTime::fromString(lraTime, QStringLiteral("hh:mm")));
            f.presenter.clear();
            press(Qt::Key_S, Qt::AltModifier);
            QCOMPARE(f.presenter.messageTexts(),
                     refusal.isEmpty() ? QStringList() : QStringList{refusal});
            QCOMPARE(control<QLabel>(w, "lblSaved")->text(),
                     refusal.isEmpty() ? QStringLiteral("Saved 2:05 PM") : QString());
            if (!refusal.isEmpty())
                QCOMPARE(QApplication::focusWidget(),
                         submittedDays ? static_cast<QWidget*>(dtSubmitted) : dtLRADate);
            w.close();
        });
        const ResultSet logged = f.db->query(QStringLiteral(
            "SELECT h.SampleSubmitted, l.SampleSubmitted, h.AccessionNum FROM tbLabResultHeader "
            "h JOIN tbLabLogbook l ON l.RequestNum = h.RequestNum WHERE h.RequestNum = "
            "'L-1011'"));
        QCOMPARE(logged.rows.size(), refusal.isEmpty() ? 1 : 0);
        for (const QVariantList& row : logged.rows)
            QCOMPARE(DateText::general(DateText::toDateTime(row[0])) + '|' +
                         DateText::general(DateText::toDateTime(row[1])) + '|' + row[2].toString(),
                     QStringLiteral("3/7/2024 2:05:00 PM|3/7/2024 2:05:00 PM|A-1011"));
    }

    void loadStep_data()
    {
        QTest::addColumn<bool>("edit");
        QTest::addColumn<bool>("clerk");
        WindowFixture::row("new entry, medical technologist", false, false);
        WindowFixture::row("new entry, clerk", false, true);
        WindowFixture::row("edit, medical technologist", true, false);
        WindowFixture::row("edit, clerk", true, true);
    }
    void loadStep()
    {
        QFETCH(bool, edit);
        QFETCH(bool, clerk);
        f.entry->EditMode(edit);
        f.entry->Clerk(clerk);
        if (edit) // a header left by an earlier request must not show
            f.open<frmDownloaded>(QStringLiteral("L-1007"), [](frmDownloaded& w) {
                auto* dtReportDate = control<QDateEdit>(w, "dtReportDate");
                auto* dtReportTime = control<QTimeEdit>(w, "dtReportTime");
                QVERIFY(control<QLineEdit>(w, "txtAccNum")->text().isEmpty());
                // Without a saved report time: now, read-only (the save stamps it).
                QCOMPARE(dtReportDate->text() + dtReportTime->text(),
                         QStringLiteral("03/07/202402:05:00 PM"));
                QVERIFY(dtReportDate->isReadOnly() && dtReportTime->isReadOnly());
            });
        f.open<frmDownloaded>(
            edit ? QStringLiteral("L-1006") : QStringLiteral("L-1007"), [&](frmDownloaded& w) {
                auto* txtSampleNum = control<QLineEdit>(w, "txtSampleNum");
                auto* txtResult = control<QLineEdit>(w, "txtResult");
                QCOMPARE((QStringList{control<QDateEdit>(w, "dtReportDate")->text(),
                                      control<QTimeEdit>(w, "dtReportTime")->text(),
                                      control<QTimeEdit>(w, "dtSubmittedTime")->text(),
                                      control<QTimeEdit>(w, "dtLRATime")->text(),
                                      control<QTextEdit>(w, "txtRemarks")->toPlainText(),
                                      control<QLineEdit>(w, "txtAccNum")->text()}
                              .join(QLatin1Char('|'))),
                         edit ? "03/07/2024|02:05:00 PM|09:00:00 AM|09:00:00 AM|Donor unit "
                                "24-0871|A-5005"
                              : "03/07/2024|02:05:00 PM|02:05:59 PM|02:05:59 PM||");
                QCOMPARE(control<QGroupBox>(w, "fraMedTech")->isEnabled(), !clerk);
                if (edit) { // the saved results, every exam, interpretations shaded by word
                    FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
                    QCOMPARE(rowsOf(g, {4, 7, 8}),
                             (QStringList{"NON-REACTIVE|L-1006|1", "EQUIVOCAL|L-1006|1",
                                          "REACTIVE|L-1006|1", "POSITIVE|L-1006|"}));
                    QCOMPARE(shadesOf(g) + shadesOf(g, 3) + shadesOf(g, 0), "NERR--------");
                    // Alt+R of the Use Result that is off types no R anywhere.
                    QTest::keyClick(txtSampleNum, Qt::Key_R, Qt::AltModifier);
                    WindowFixture::clickCell(g, 1);
                    QTest::keyClick(txtResult, Qt::Key_R, Qt::AltModifier);
                    QCOMPARE(txtSampleNum->text() + ' ' + g->TextMatrix(1, 3), " 0.35");
                    // F6 marks a row apart from the shade; a typed value shows
                    // the laboratory's reading of it at once, shaded.
                    WindowFixture::clickCell(g, 3);
                    QTest::keyClick(txtResult, Qt::Key_F6);
                    QCOMPARE(shadesOf(g) + g->TextMatrix(3, 0), "NERR*");
                    WindowFixture::clickCell(g, 2);
                    QTest::keyClicks(txtResult, QStringLiteral("1.5"));
                    QCOMPARE(g->TextMatrix(2, 4) + shadesOf(g), "REACTIVENRRR");
                }
                // Saved cut-off results freeze the sample; a new entry may look one up.
                QCOMPARE(QPair(control<QDateEdit>(w, "dtpResultDate")->isEnabled(),
                               control<QPushButton>(w, "cmdResetResult")->isEnabled()),
                         QPair(!edit, !edit));
                QVERIFY(control<QPushButton>(w, "cmdSave")->isEnabled());
            });
    }

    void shadeWordsAreWholeWordsInAnyCase()
    {
        for (auto [texts, kind] : {std::pair{"reactive|Weakly Positive (repeat)", Shade::Reactive},
                                   {"NON-REACTIVE|Non Reactive| NEGATIVE ", Shade::NonReactive},
                                   {"Equivocal", Shade::Equivocal},
                                   {"POSITIVELY|PRE-REACTIVE|0.42", Shade::None}})
            for (const QString& text : QString::fromLatin1(texts).split('|'))
                QVERIFY2(Shade::of(text) == kind, qPrintable(text));
    }

    void commandHandlers()
    {
        ResultWindowFactory::install(&m_observed);
        f.open<ObservedWindow>(QStringLiteral("L-1007"), [&](ObservedWindow& w) {
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            auto* cmdVerify = control<QPushButton>(w, "cmdVerify");
            auto* txtSampleNum = control<QLineEdit>(w, "txtSampleNum");
            // Save and Verify need the accession number; Print does not.
            // Leaving the empty box, by Tab or by clicking Verify, is refused.
            const QString enter = QStringLiteral("Please enter accession number.");
            const QString fillIn =
                QStringLiteral("You have to fill-in the ACCESSION NUMBER first.");
            QTest::mouseClick(cmdSave, Qt::LeftButton);
            QCOMPARE(QApplication::focusWidget(), txtAccNum);
            QTest::keyClick(txtAccNum, Qt::Key_Tab);
            cmdVerify->show();
            QTest::mouseClick(cmdVerify, Qt::LeftButton);
            txtSampleNum->setFocus();
            QTest::mouseClick(cmdVerify, Qt::LeftButton);
            QCOMPARE(f.presenter.messageTexts(), (QStringList{enter, fillIn, fillIn, enter}));
            QVERIFY(QApplication::focusWidget() == txtAccNum && w.saves.isEmpty());
            txtSampleNum->setFocus();
            QTest::mouseClick(control<QPushButton>(w, "cmdPrint"), Qt::LeftButton);
            txtAccNum->setText(QStringLiteral("  A-9 "));
            QTest::mouseClick(cmdSave, Qt::LeftButton);
            QTest::mouseClick(cmdVerify, Qt::LeftButton);
            QCOMPARE(w.saves,
                     (QList<QPair<bool, bool>>{{true, true}, {true, false}, {true, false}}));
            txtAccNum->setFocus();
            QTest::keyClick(txtAccNum, Qt::Key_Tab);
            QVERIFY(QApplication::focusWidget() == control<QDateEdit>(w, "dtSubmitted") &&
                    f.presenter.messages().size() == 4);

            // No save without the employee code the host should have given.
            session().EmployeeCode.clear();
            cmdSave->click();
            QVERIFY(w.saves.size() == 3 && f.presenter.messages().last().text.contains(
                                               QStringLiteral("no employee code")));

            // Escape keeps the window and what was typed; only Exit closes it.
            QTest::keyClick(&w, Qt::Key_Escape);
            QVERIFY(w.isVisible() && txtAccNum->text() == QStringLiteral("  A-9 "));
            f.presenter.queueAnswer(MsgAnswer::Yes); // discards the typed accession number
            QTest::mouseClick(control<QPushButton>(w, "cmdClose"), Qt::LeftButton);
            QVERIFY(!w.isVisible());
        });
    }

    void editorKeysThenTakeOverAndReset()
    {
        ResultWindowFactory::install(&m_observed);
        f.open<ObservedWindow>(QStringLiteral("L-1001"), [&](ObservedWindow& w) {
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            auto* grdExams = control<FlexGrid>(w, "grdExams");
            auto* cmdResetResult = control<QPushButton>(w, "cmdResetResult");
            auto* cmdSearchSampleNum = control<QPushButton>(w, "cmdSearchSampleNum");
            w.copyRequestedExams(); // the three requested exams, typed by hand
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(g->Rows(), 4);
            const auto key = [&](Qt::Key k, Qt::KeyboardModifiers m = {}) {
                QTest::keyClick(txtResult, k, m);
            };

            // A click on the name puts the editor on the value of that row.
            WindowFixture::clickCell(g, 2, 2);
            QCOMPARE(QPoint(g->Col(), g->Row()), QPoint(3, 2));
            QCOMPARE(QApplication::focusWidget(), txtResult);

            // F2 to F5 type the interpretation words.
            key(Qt::Key_F2);
            key(Qt::Key_Return);
            QCOMPARE(QPoint(g->Col(), g->Row()), QPoint(3, 3));
            QStringList fKeys{g->TextMatrix(2, 3)};
            for (Qt::Key k : {Qt::Key_F3, Qt::Key_F4, Qt::Key_F5}) {
                key(k);
                fKeys << g->TextMatrix(3, 3);
            }
            QCOMPARE(fKeys, (QStringList{"POSITIVE", "NEGATIVE", "REACTIVE", "NON-REACTIVE"}));

            // Shift+Enter and Up go back, no further than the first row; the
            // text is selected for retyping. Down stays on the last row, what
            // is typed next still a result; Enter there leaves the grid like Tab.
            key(Qt::Key_Return, Qt::ShiftModifier);
            QCOMPARE(txtResult->selectedText(), QStringLiteral("POSITIVE"));
            QList<int> rows{g->Row()};
            for (Qt::Key k : {Qt::Key_Up, Qt::Key_Up, Qt::Key_Down, Qt::Key_Down, Qt::Key_Down}) {
                key(k);
                rows << g->Row();
            }
            QCOMPARE(rows, (QList<int>{2, 1, 1, 2, 3, 3}));
            QCOMPARE(QApplication::focusWidget(), txtResult);
            key(Qt::Key_Return);
            QVERIFY(g->Rows() == 4 &&
                    QApplication::focusWidget() == control<QTextEdit>(w, "txtRemarks"));

            // A second exam row with the same code: its name is the one taken.
            grdExams->setRows(5);
            grdExams->setTextMatrix(4, 1, QStringLiteral(" ANTIHBC "));
            grdExams->setTextMatrix(4, 2, QStringLiteral(" Anti-HBc, total "));

            // A failing lookup is shown as "Error N: ..." and touches nothing.
            session().LabDb->setCommandHook([](const QString&) {
                throw LisError(ErrNo::ObjectClosed, QStringLiteral("closed"));
            });
            QTest::mouseClick(cmdResetResult, Qt::LeftButton);
            session().LabDb->setCommandHook({});
            QCOMPARE(f.presenter.messageTexts(), QStringList{QStringLiteral("Error 3704: closed")});
            QVERIFY(f.presenter.messages().first().advice.startsWith(
                "The window of L-1001 and every value on it stay as they were. "));
            const QStringList typed{"", "POSITIVE", "NON-REACTIVE"};
            QCOMPARE(rowsOf(g, {3}), typed);
            QVERIFY(!w.ResultTakenOver && w.isVisible());

            // Duplicate exam codes take more rows than the grid had.
            f.db->clearTrace();
            QTest::mouseClick(cmdResetResult, Qt::LeftButton);
            // RESULT shows the laboratory's reading of each value against its cut-off.
            const QString antiHbc =
                QStringLiteral("ANTIHBC|Anti-HBc, total|2.10|NON-REACTIVE|S/CO||L-1001|1");
            QCOMPARE(rowsOf(g, {1, 2, 3, 4, 5, 6, 7, 8}),
                     (QStringList{
                         "HBSAG|Hepatitis B surface antigen (HBsAg)|0.42|NON-REACTIVE|S/CO||"
                         "L-1001|1",
                         "ANTIHBS|Anti-HBs|56.3|POSITIVE|mIU/mL||L-1001|10", antiHbc, antiHbc}));
            // One mode '4' call for every matched row.
            QCOMPARE(f.db->trace(), QStringList{"LABORATORY..sp_InstrumentGetAxsymSample  '4',"
                                                "'03/07/2024','AN-01','101','DELA CRUZ, JUAN S',"
                                                "'REF-5001'"});
            QVERIFY(w.ResultTakenOver && !cmdSearchSampleNum->isEnabled());

            // Reset puts back the rows as they were, typed values and all.
            QTest::mouseClick(cmdResetResult, Qt::LeftButton);
            QCOMPARE(rowsOf(g, {3}), typed);
            QCOMPARE(f.presenter.messages().size(), 1);
            QVERIFY(!w.ResultTakenOver && cmdSearchSampleNum->isEnabled());
            QVERIFY(!txtResult->isVisible());
        });
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<ObservedWindow> m_observed;
};

QTEST_MAIN(TstResultWindow)
#include "tst_result_window.moc"
