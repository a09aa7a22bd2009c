#include "Clock.h"
#include "DemoLaboratory.h"
#include "FlexGrid.h"
#include "ResultWindow.h"
#include "Screenshot.h"
#include "ScriptedPresenter.h"
#include "SettingsStore.h"
#include "TestDatabase.h"
#include "Twips.h"
#include "WindowFixture.h"
#include "clsLISResultEntry.h"
#include "frmDownloaded.h"
#include "modMain.h"

#include <QApplication>
#include <QDateEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTextEdit>
#include <QTimeEdit>
#include <QtTest>

namespace {
const QDate kDay(2024, 3, 7);

// The cut-off window with its save routine observed.
class ObservedWindow : public frmDownloaded {
public:
    using frmDownloaded::copyRequestedExams;
    using frmDownloaded::layoutRequestGrid;
    QList<QPair<bool, bool>> saves;

protected:
    void Save_And_Print(bool verify, bool print) override { saves.append({verify, print}); }
};

class Factory : public ResultWindowFactory {
public:
    std::unique_ptr<ResultWindow> create(ResultWindowKind) override
    {
        return std::make_unique<ObservedWindow>();
    }
};

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
        QTest::newRow("new entry, medical technologist") << false << false;
        QTest::newRow("new entry, clerk") << false << true;
        QTest::newRow("edit, medical technologist") << true << false;
        QTest::newRow("edit, clerk") << true << true;
    }
    void loadStep()
    {
        QFETCH(bool, edit);
        QFETCH(bool, clerk);
        f.entry->EditMode(edit);
        f.entry->Clerk(clerk);
        if (edit) // a header left by an earlier request must not show
            f.open<ObservedWindow>(QStringLiteral("L-1007"), [](ObservedWindow& w) {
                QVERIFY(w.txtAccNum->text().isEmpty());
            });
        f.open<ObservedWindow>(
            edit ? QStringLiteral("L-1006") : QStringLiteral("L-1007"),
            [&](ObservedWindow& w) {
                const auto shown = [](QDateTimeEdit* e) { return e->text(); };
                if (edit) {
                    QCOMPARE(shown(w.dtReportDate), QStringLiteral("03/07/2024"));
                    QCOMPARE(shown(w.dtReportTime), QStringLiteral("02:05:00 PM"));
                    QCOMPARE(shown(w.dtSubmitted), QStringLiteral("03/07/2024"));
                    QCOMPARE(shown(w.dtSubmittedTime), QStringLiteral("09:00:00 AM"));
                    QCOMPARE(shown(w.dtLRADate), QStringLiteral("03/07/2024"));
                    QCOMPARE(shown(w.dtLRATime), QStringLiteral("09:00:00 AM"));
                    QCOMPARE(w.txtRemarks->toPlainText(), QStringLiteral("Donor unit 24-0871"));
                    QCOMPARE(w.txtAccNum->text(), QStringLiteral("A-5005"));
                } else {
                    for (QDateTimeEdit* d : {static_cast<QDateTimeEdit*>(w.dtReportDate),
                                             static_cast<QDateTimeEdit*>(w.dtSubmitted),
                                             static_cast<QDateTimeEdit*>(w.dtLRADate),
                                             static_cast<QDateTimeEdit*>(w.dtpResultDate)})
                        QCOMPARE(shown(d), QStringLiteral("03/07/2024"));
                    QCOMPARE(shown(w.dtReportTime), QStringLiteral("02:05:00 PM"));
                    QCOMPARE(shown(w.dtSubmittedTime), QStringLiteral("02:05:59 PM"));
                    QCOMPARE(shown(w.dtLRATime), QStringLiteral("02:05:59 PM"));
                    QVERIFY(w.txtRemarks->toPlainText().isEmpty());
                    QVERIFY(w.txtAccNum->text().isEmpty());
                }
                QCOMPARE(w.fraMedTech->isEnabled(), !clerk);
                QVERIFY(w.cmdSave->isEnabled());
                // Saved cut-off results freeze the sample; a new entry may look one up.
                QCOMPARE(w.dtpResultDate->isEnabled(), !edit);
                QCOMPARE(w.cmdResetResult->isEnabled(), !edit);
                QVERIFY(!w.txtResult->isVisible() && !w.cmdFlags->isVisible());
                QVERIFY(!w.cmdVerify->isVisible() && w.cmdPrint->isVisible());
                QCOMPARE(w.InstrumentId, QStringLiteral("AN-01"));
                QCOMPARE(w.InstrumentName, QStringLiteral("Integrated Analyzer AN-01"));
                // Filling lays the request grid out over the load sizing.
                QCOMPARE(w.msfgRequest->ColWidth(2), 1800);
                QCOMPARE(w.msfgRequest->ColWidth(17), 0);
                QCOMPARE(w.msfgRequest->TextMatrix(0, 3), QStringLiteral("VALUE"));
                QCOMPARE(w.pos(), QPoint(Twips::toPx(450), Twips::toPx(300)));
                screenshot(w, QStringLiteral("load-%1-%2")
                                  .arg(edit ? "edit" : "new", clerk ? "clerk" : "medtech"));
            },
            qint16(300), QVariant(450));
    }

    void controlsAsDesigned()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1007"), [&](ObservedWindow& w) {
            // The captions that carry escapes, mnemonics and spacing.
            QCOMPARE(w.cmdVerify->text(), QStringLiteral("View && Save"));
            QCOMPARE(w.Frame2->title(), QStringLiteral("Date \\ Time Reported"));
            QCOMPARE(w.cmdResetResult->text(), QStringLiteral("Use &Result >>"));
            QCOMPARE(w.Label1_2->text(), QStringLiteral("Positive       Negative    Reactive    "
                                                        "Non-Reactive     Re-checked"));
            QCOMPARE(w.cmdSave->toolTip(), QStringLiteral("For Clerk"));
            QCOMPARE(w.cmdPrint->toolTip(), QStringLiteral("For Med Tech"));
            for (const char* name : {"lbllabels(30)", "lbllabels(35)", "fraBody(8)", "Label1(1)",
                                     "lblRemarks(0)", "fraCommonCodes", "fraAdditional"})
                QVERIFY2(w.findChild<QWidget*>(QLatin1String(name)), name);
            QCOMPARE(w.txtAccNum->maxLength(), 15);
            QCOMPARE(w.txtResult->maxLength(), 50);
            QCOMPARE(w.cmdPrint->geometry(), w.cmdVerify->geometry());
            QCOMPARE(w.size(), QSize(Twips::toPx(11880), Twips::toPx(6120)));
        });
    }

    void commandHandlers()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1007"), [&](ObservedWindow& w) {
            // Review panel and downloaded results take turns.
            for (int i = 0; i < 3; ++i) {
                QTest::mouseClick(w.cmdFlags, Qt::LeftButton);
                const bool review = i % 2 == 0;
                QCOMPARE(w.cmdFlags->text(),
                         review ? QStringLiteral("Hide &Review") : QStringLiteral("Show &Review"));
                QCOMPARE(w.fraBody8->isVisible(), review);
                QCOMPARE(w.msfgDLresult->isVisible(), !review);
            }

            // Save and Verify need the accession number; Print does not.
            const QString enter = QStringLiteral("Please enter accession number.");
            const QString fillIn =
                QStringLiteral("You have to fill-in the ACCESSION NUMBER first.");
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QCOMPARE(QApplication::focusWidget(), w.txtAccNum);
            // Leaving the empty box by clicking Verify is refused, click and all.
            w.cmdVerify->show();
            QTest::mouseClick(w.cmdVerify, Qt::LeftButton);
            w.txtSampleNum->setFocus();
            QTest::mouseClick(w.cmdVerify, Qt::LeftButton);
            QCOMPARE(f.presenter.messageTexts(), (QStringList{enter, fillIn, enter}));
            QCOMPARE(f.presenter.messages().first().icon, MsgIcon::Information);
            QCOMPARE(QApplication::focusWidget(), w.txtAccNum);
            QVERIFY(w.saves.isEmpty());
            w.txtSampleNum->setFocus();
            QTest::mouseClick(w.cmdPrint, Qt::LeftButton);
            w.txtAccNum->setText(QStringLiteral("  A-9 "));
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QTest::mouseClick(w.cmdVerify, Qt::LeftButton);
            QCOMPARE(w.saves,
                     (QList<QPair<bool, bool>>{{true, true}, {true, false}, {true, false}}));

            // Remarks open up when clicked into, and close again.
            QTest::mouseClick(w.txtRemarks->viewport(), Qt::LeftButton);
            QCOMPARE(Twips::toTwips(w.txtRemarks->geometry()).height(),
                     Twips::fromPx(Twips::toPx(813)));
            QTest::mouseClick(w.Frame1, Qt::LeftButton, {}, QPoint(2, 2));
            QCOMPARE(w.txtRemarks->height(), Twips::toPx(315));
            QTest::mouseClick(w.txtRemarks->viewport(), Qt::LeftButton);
            QTest::mouseClick(&w, Qt::LeftButton, {}, QPoint(2, 2));
            QCOMPARE(w.txtRemarks->height(), Twips::toPx(315));

            // Escape keeps the window and what was typed.
            QTest::keyClick(&w, Qt::Key_Escape);
            QVERIFY(w.isVisible());
            QCOMPARE(w.txtAccNum->text(), QStringLiteral("  A-9 "));
        });
    }

    void leavingAnEmptyAccessionNumber()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1007"), [&](ObservedWindow& w) {
            w.txtAccNum->setFocus();
            QTest::keyClick(w.txtAccNum, Qt::Key_Tab);
            QCOMPARE(f.presenter.messages().size(), 1);
            const MessageRequest& m = f.presenter.messages().first();
            QCOMPARE(m.text, QStringLiteral("You have to fill-in the ACCESSION NUMBER first."));
            QCOMPARE(m.title, QStringLiteral("Incomplete Data"));
            QCOMPARE(m.icon, MsgIcon::Information);
            QCOMPARE(QApplication::focusWidget(), w.txtAccNum);
            QTest::keyClicks(w.txtAccNum, QStringLiteral("A-1"));
            QTest::keyClick(w.txtAccNum, Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), w.dtSubmitted);
            QCOMPARE(f.presenter.messages().size(), 1);
        });
    }

    void editorKeys()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1001"), [&](ObservedWindow& w) {
            fillExams(w);
            w.layoutRequestGrid();
            w.copyRequestedExams();
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(g->Rows(), 4);
            QCOMPARE(g->TextMatrix(2, 7), QStringLiteral("L-1001"));
            QCOMPARE(g->TextMatrix(2, 8), QStringLiteral("ANTIHBS"));

            // A click on the name puts the editor over the value of that row.
            QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                              g->visualRect(g->model()->index(1, 2)).center());
            QCOMPARE(g->Row(), 2);
            QCOMPARE(g->Col(), 3);
            QVERIFY(w.txtResult->isVisible());
            const QRect cell = g->cellRect(2, 3);
            QCOMPARE(w.txtResult->x(), g->x() + Twips::toPx(cell.x()));
            QCOMPARE(w.txtResult->width(), Twips::toPx(cell.width()));
            QCOMPARE(QApplication::focusWidget(), w.txtResult);

            QTest::keyClicks(w.txtResult, QStringLiteral("12.5"));
            QCOMPARE(g->TextMatrix(2, 3), QStringLiteral("12.5"));
            QTest::keyClick(w.txtResult, Qt::Key_F2);
            QCOMPARE(g->TextMatrix(2, 3), QStringLiteral("POSITIVE"));
            QTest::keyClick(w.txtResult, Qt::Key_Return);
            QCOMPARE(g->Row(), 3);
            for (auto [key, text] : {std::pair{Qt::Key_F3, "NEGATIVE"},
                                     {Qt::Key_F4, "REACTIVE"},
                                     {Qt::Key_F5, "NON-REACTIVE"}}) {
                QTest::keyClick(w.txtResult, key);
                QCOMPARE(g->TextMatrix(3, 3), QLatin1String(text));
            }
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QCOMPARE(g->TextMatrix(3, 0), QStringLiteral("*"));
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QCOMPARE(g->TextMatrix(3, 0), QString());
            QTest::keyClick(w.txtResult, Qt::Key_N, Qt::ShiftModifier);
            QCOMPARE(g->TextMatrix(3, 3), QStringLiteral("NULL"));
            QCOMPARE(w.txtResult->selectedText(), QStringLiteral("NULL"));
            QTest::keyClicks(w.txtResult, QStringLiteral("n"));
            QCOMPARE(g->TextMatrix(3, 3), QStringLiteral("NULL"));

            // Shift+Enter and Up go back; the text is selected for retyping.
            QTest::keyClick(w.txtResult, Qt::Key_Return, Qt::ShiftModifier);
            QCOMPARE(g->Row(), 2);
            QCOMPARE(w.txtResult->selectedText(), QStringLiteral("POSITIVE"));
            QTest::keyClick(w.txtResult, Qt::Key_Up);
            QCOMPARE(g->Row(), 1);
            QTest::keyClick(w.txtResult, Qt::Key_Up);
            QCOMPARE(g->Row(), 1);

            // Down to the last row, then Enter leaves the grid like Tab.
            QTest::keyClick(w.txtResult, Qt::Key_Down);
            QTest::keyClick(w.txtResult, Qt::Key_Down);
            QCOMPARE(g->Row(), 3);
            QTest::keyClick(w.txtResult, Qt::Key_Return);
            QCOMPARE(g->Rows(), 4);
            QCOMPARE(QApplication::focusWidget(), w.txtRemarks);

            // F3 on the grid marks the row re-checked.
            g->setFocus();
            QTest::keyClick(g, Qt::Key_F3);
            QCOMPARE(g->TextMatrix(g->Row(), 0), QStringLiteral("*"));
            screenshot(w, QStringLiteral("editor"));
        });
    }

    void takeOverAndReset()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1001"), [&](ObservedWindow& w) {
            fillExams(w);
            // A second exam row with the same code: its name is the one taken.
            w.grdExams->setRows(5);
            w.grdExams->setTextMatrix(4, 1, QStringLiteral(" ANTIHBC "));
            w.grdExams->setTextMatrix(4, 2, QStringLiteral(" Anti-HBc, total "));
            bindSample(w);
            w.cmdResetResult->setEnabled(true);
            f.db->clearTrace();
            QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
            FlexGrid* g = w.msfgRequest;
            const QStringList expected[] = {
                {"HBSAG", "Hepatitis B surface antigen (HBsAg)", "0.42", "0.42", "S/CO", "",
                 "L-1001", "1"},
                {"ANTIHBS", "Anti-HBs", "56.3", "56.3", "mIU/mL", "", "L-1001", "10"},
                {"ANTIHBC", "Anti-HBc, total", "2.10", "2.1", "S/CO", "", "L-1001", "1"},
                {"ANTIHBC", "Anti-HBc, total", "2.10", "2.1", "S/CO", "", "L-1001", "1"},
            };
            QCOMPARE(g->Rows(), 5);
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 8; ++c)
                    QCOMPARE(g->TextMatrix(r + 1, c + 1), expected[r][c]);
            // One mode '4' call per matched row, nothing cached.
            QCOMPARE(f.db->trace().size(), 4);
            QCOMPARE(f.db->trace().first(),
                     QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '4','03/07/2024',"
                                    "'AN-01','101','DELA CRUZ, JUAN S','REF-5001'"));
            QVERIFY(w.ResultTakenOver);
            QCOMPARE(w.cmdResetResult->text(), QStringLiteral("<< &Reset Result"));
            QVERIFY(!w.cmdSearchSampleNum->isEnabled());
            screenshot(w, QStringLiteral("taken-over"));

            QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
            for (int r = 1; r < g->Rows(); ++r)
                for (int c = 1; c <= 7; ++c)
                    QCOMPARE(g->TextMatrix(r, c), QString());
            QCOMPARE(g->TextMatrix(1, 8), QStringLiteral("1"));
            QVERIFY(!w.ResultTakenOver);
            QCOMPARE(w.cmdResetResult->text(), QStringLiteral("Use &Result >>"));
            QVERIFY(w.cmdSearchSampleNum->isEnabled());
            QVERIFY(!w.txtResult->isVisible());
        });
    }

    void anErrorInAHandlerLosesNothing()
    {
        f.open<ObservedWindow>(QStringLiteral("L-1001"), [&](ObservedWindow& w) {
            fillExams(w);
            bindSample(w);
            w.layoutRequestGrid();
            w.copyRequestedExams();
            w.msfgRequest->setTextMatrix(1, 3, QStringLiteral("typed"));
            w.cmdResetResult->setEnabled(true);
            session().LabDb->close(); // the lookups now fail
            QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
            QCOMPARE(f.presenter.messages().size(), 1);
            QCOMPARE(f.presenter.messages().first().icon, MsgIcon::Critical);
            QVERIFY(f.presenter.messages().first().text.startsWith(QStringLiteral("Error 3704: ")));
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), QStringLiteral("typed"));
            QCOMPARE(w.msfgRequest->TextMatrix(1, 1), QStringLiteral("HBSAG"));
            QCOMPARE(w.msfgRequest->Rows(), 4);
            QVERIFY(!w.ResultTakenOver);
            QVERIFY(w.isVisible());
        });
    }

private:
    static void fillExams(ObservedWindow& w)
    {
        const QStringList exams[] = {{"HBSAG", "Hepatitis B surface antigen (HBsAg)", "L-1001"},
                                     {"ANTIHBS", "Anti-HBs", "L-1001"},
                                     {"ANTIHBC", "Anti-HBc (total)", "L-1001"}};
        w.grdExams->setCols(4);
        w.grdExams->setRows(4);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                w.grdExams->setTextMatrix(r + 1, c + 1, exams[r][c]);
    }

    static void bindSample(ObservedWindow& w)
    {
        w.txtSampleNum->setText(QStringLiteral("101"));
        w.txtPName->setText(QStringLiteral("DELA CRUZ, JUAN S"));
        w.dtpResultDate->setDate(kDay);
        auto rs = session().LabDb->openRecordset(
            QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '1','03/07/2024','AN-01',"
                           "'101','DELA CRUZ, JUAN S', 'REF-5001'"));
        w.msfgDLresult->bind(rs->data());
    }

    WindowFixture f;
    Factory m_factory;
};

QTEST_MAIN(TstResultWindow)
#include "tst_result_window.moc"
