#include "component/ScreenHelpers.h"
#include "platform/ui/Twips.h"
#include "screens/result_entry/InterpretationShade.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Caught.h"
#include "tests/support/Screenshot.h"
#include "tests/support/WindowFixture.h"

namespace {
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

// The cut-off result window, opened through the component and driven with
// keys and clicks as staff would.
class TstResultWindow : public QObject {
    Q_OBJECT
private slots:
    void init() { f.setUp(&m_factory); }
    void cleanup() { f.tearDown(); }

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
            f.open<ObservedWindow>(QStringLiteral("L-1007"), [](ObservedWindow& w) {
                auto* dtReportDate = control<QDateEdit>(w, "dtReportDate");
                auto* dtReportTime = control<QTimeEdit>(w, "dtReportTime");
                QVERIFY(control<QLineEdit>(w, "txtAccNum")->text().isEmpty());
                // Without a saved report time: now, read-only (the save stamps it).
                QCOMPARE(dtReportDate->text() + dtReportTime->text(),
                         QStringLiteral("03/07/202402:05:00 PM"));
                QVERIFY(dtReportDate->isReadOnly() && dtReportTime->isReadOnly());
            });
        f.open<ObservedWindow>(
            edit ? QStringLiteral("L-1006") : QStringLiteral("L-1007"),
            [&](ObservedWindow& w) {
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
                QVERIFY(control<QPushButton>(w, "cmdSave")->isEnabled() &&
                        control<QPushButton>(w, "cmdPrint")->isVisible() &&
                        !control<QPushButton>(w, "cmdVerify")->isVisible());
                QCOMPARE(w.pos(), QPoint(Twips::toPx(450), Twips::toPx(300)));
                screenshot(w, QStringLiteral("load-%1-%2")
                                  .arg(edit ? "edit" : "new", clerk ? "clerk" : "medtech"));
            },
            qint16(300), QVariant(450));
    }

    void shadeWordsAreWholeWordsInAnyCase()
    {
        const std::pair<const char*, Shade::Kind> cases[] = {
            {"reactive", Shade::Reactive},
            {"Weakly Positive (repeat)", Shade::Reactive},
            {"NON-REACTIVE", Shade::NonReactive},
            {"Non Reactive", Shade::NonReactive},
            {" NEGATIVE ", Shade::NonReactive},
            {"Equivocal", Shade::Equivocal},
            {"POSITIVELY", Shade::None},
            {"PRE-REACTIVE", Shade::None},
            {"0.42", Shade::None}};
        for (const auto& [text, kind] : cases)
            QVERIFY2(Shade::of(QString::fromLatin1(text)) == kind, text);
    }

    // The windows' helpers where the windows themselves cannot reach.
    void missingControlsAndShadingTwice()
    {
        QWidget w;
        SelectActiveText(); // nothing has the focus: nothing to do, and no error
        QCOMPARE(caught([&] { SetActionButtons(w, false); }).number, 438);
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 438);
        auto* title = new QLabel(QStringLiteral("Sample Search"), &w);
        title->setObjectName(QStringLiteral("lblHeader(0)"));
        ShadeDialogHeader(w);
        QStringList copies;
        for (int i = 1; i <= 3; ++i)
            if (auto* copy = w.findChild<QLabel*>(QStringLiteral("lblHeader(%1)").arg(i)))
                copies << copy->text();
        QCOMPARE(copies, QStringList(3, title->text()));
        QCOMPARE(w.children().last(), title); // the designed title on top of its shadows
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 360);
    }

    void commandHandlers()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1007"), [&](ObservedWindow& w) {
            auto* cmdFlags = control<QPushButton>(w, "cmdFlags");
            auto* fraBody8 = control(w, "fraBody(8)");
            auto* msfgDLresult = control<FlexGrid>(w, "msfgDLresult");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            auto* cmdVerify = control<QPushButton>(w, "cmdVerify");
            auto* txtSampleNum = control<QLineEdit>(w, "txtSampleNum");
            auto* txtRemarks = control<QTextEdit>(w, "txtRemarks");
            // Review panel and downloaded results take turns.
            QTest::mouseClick(cmdFlags, Qt::LeftButton);
            QCOMPARE(cmdFlags->text(), QStringLiteral("Hide &Review"));
            QVERIFY(fraBody8->isVisible() && !msfgDLresult->isVisible());
            QTest::mouseClick(cmdFlags, Qt::LeftButton);
            QVERIFY(!fraBody8->isVisible() && msfgDLresult->isVisible());

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
            QCOMPARE(f.presenter.messages()[1].title, QStringLiteral("Incomplete Data"));
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

            // Remarks open up when clicked into, and close on a click beside them.
            const int closed = txtRemarks->height();
            for (QWidget* beside : {static_cast<QWidget*>(control<QGroupBox>(w, "Frame1")),
                                    static_cast<QWidget*>(&w)}) {
                QTest::mouseClick(txtRemarks->viewport(), Qt::LeftButton);
                QVERIFY(txtRemarks->height() > closed);
                QTest::mouseClick(beside, Qt::LeftButton, {}, QPoint(2, 2));
                QCOMPARE(txtRemarks->height(), closed);
            }

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

            // A click on the name puts the editor over the value of that row.
            WindowFixture::clickCell(g, 2, 2);
            QCOMPARE(QPoint(g->Col(), g->Row()), QPoint(3, 2));
            const QRect cell = g->cellRect(2, 3);
            QVERIFY(txtResult->isVisible() && QApplication::focusWidget() == txtResult);
            QCOMPARE(QPoint(txtResult->x(), txtResult->width()),
                     QPoint(g->x() + Twips::toPx(cell.x()), Twips::toPx(cell.width())));

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
            key(Qt::Key_F6);
            const QString marked = g->TextMatrix(3, 0);
            key(Qt::Key_F6);
            QCOMPARE(marked + g->TextMatrix(3, 0), QStringLiteral("*")); // F6 toggles the mark

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

            // F3 on the grid marks the row re-checked.
            g->setFocus();
            QTest::keyClick(g, Qt::Key_F3);
            QCOMPARE(g->TextMatrix(g->Row(), 0), QStringLiteral("*"));

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
            QCOMPARE(f.presenter.messages().first().icon, MsgIcon::Critical);
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
            QCOMPARE(f.db->trace().size(), 1);
            QCOMPARE(f.db->trace().first(),
                     QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '4','03/07/2024',"
                                    "'AN-01','101','DELA CRUZ, JUAN S','REF-5001'"));
            QVERIFY(w.ResultTakenOver && !cmdSearchSampleNum->isEnabled());
            QCOMPARE(cmdResetResult->text(), QStringLiteral("<< &Reset Result"));
            screenshot(w, QStringLiteral("taken-over"));

            // Reset puts back the rows as they were, typed values and all.
            QTest::mouseClick(cmdResetResult, Qt::LeftButton);
            QCOMPARE(rowsOf(g, {3}), typed);
            QCOMPARE(f.presenter.messages().size(), 1);
            QVERIFY(!w.ResultTakenOver && cmdSearchSampleNum->isEnabled());
            QCOMPARE(cmdResetResult->text(), QStringLiteral("Use &Result >>"));
            QVERIFY(!txtResult->isVisible());
        });
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<ObservedWindow> m_factory;
};

QTEST_MAIN(TstResultWindow)
#include "tst_result_window.moc"
