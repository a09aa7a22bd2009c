#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "platform/db/ConnectionString.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/GridCells.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Keys.h"
#include "tests/support/WindowFixture.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using NormalValues = WindowFixture::NormalValuesWithoutReport;
using F = WindowFixture;

// Types over Sample Number; with Enter that looks the sample up.
void typeSample(ResultEntryForm& w, const QString& text, bool enter = false)
{
    auto* box = control<QLineEdit>(w, "txtSampleNum");
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    if (text.isEmpty())
        QTest::keyClick(box, Qt::Key_Delete);
    if (enter)
        QTest::keyClick(box, Qt::Key_Return);
}

const QString kNotLookedUp =
    QStringLiteral("Sample %1 has not been looked up: press Enter in Sample Number to look it up "
                   "first.");
} // namespace

// Editing results as staff do at the bench: typing over values, words and
// NULL, refused numbers, saving H forms, and never losing work unasked;
// taking instrument results over and looking samples up: nothing on the
// screen or saved is lost without a question, no other patient's sample is
// used unasked, and only the sample looked up is ever taken over or posted.
class TstEditing : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
    }
    void cleanup() { f.tearDown(); }

    // L-1016 in edit mode, three rows saved: a typed SI value clears its
    // conventional one, which the laboratory derives again.
    void aChangedSiValueLosesItsConventionalValue_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("derived");
        F::row("new value", "6.1", "110");
        F::row("the same value typed again", "5.5", "99");
    }
    void aChangedSiValueLosesItsConventionalValue()
    {
        QFETCH(QString, typed);
        QFETCH(QString, derived);
        f.entry->EditMode(true); // the saved header fills the pickers
        f.withoutPotassium();
        f.open<NormalValues>(QStringLiteral("L-1016"), [&](NormalValues& w) {
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(g->Rows(), 7); // filled from the saved values
            F::clickCell(g, 1);
            QTest::keyClicks(txtResult, typed);
            QVERIFY(g->TextMatrix(1, 8).isEmpty() && !g->TextMatrix(2, 8).isEmpty());
            // Marked re-checked, the rows keep the request number they are
            // saved under.
            QTest::keyClick(txtResult, Qt::Key_F6);
            g->setFocus();
            QTest::keyClick(g, Qt::Key_F3);
            QCOMPARE(F::column(g, 0), QStringList(g->Rows() - 1, QStringLiteral("L-1016")));
            g->setRows(4);
            g->setTextMatrix(3, 8, QString()); // urea without its conventional value
            f.db->clearTrace();
            QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty() && !w.isVisible());
        });
        // Verified as a whole request, the rows not saved too.
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND VerifiedBy = 'MT01'"), 6);
        // The request's summary is emptied once: every saved row's text stays.
        // Each carries the conventional value the laboratory derived and read
        // back after the row was saved, never the stale one; a row not typed
        // in, as it was read, in both unit systems.
        const QStringList trace = f.db->trace();
        QCOMPARE(trace.filter(QRegularExpression("^Lab_(Save|Delete)Dump_ResultSummary")),
                 (QStringList{"Lab_DeleteDump_ResultSummary 'L-1016'",
                              QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', '%1 (3.9 - 6.1 "
                                             "mmol/L)%2 (70 - 110 mg/dL)'")
                                  .arg(typed, derived),
                              "Lab_SaveDump_ResultSummary 'L-1016', '97 (45 - 90 umol/L)1.10 (0.51 "
                              "- 1.02 mg/dL)'",
                              "Lab_SaveDump_ResultSummary 'L-1016', '6.1 (2.5 - 7.1 mmol/L)17 (7 - "
                              "20 mg/dL)'"}));
        QCOMPARE(f.stored("CResult", "L-1016", "GLU"), derived);
        // A row not typed in goes back as it was read, its factor unrounded.
        QVERIFY(
            trace.filter("SaveResultWithNormalValues2 'L-1016', 'CREA'")
                .value(0)
                .contains(
                    "'1.10', '0.51 - 1.02', 'mg/dL', '0.51', '1.02', '0.011309658448314861', "));
        // Saved under the saved header, not the clock's.
        QVERIFY(trace.filter("SaveResultWithNormalValues2 'L-1016', 'GLU'")
                    .value(0)
                    .endsWith("'A-1016','', '3/7/2024 9:00:00 AM', '3/7/2024 9:00:00 AM', '', "
                              "'MT01', 'Y', 'AN-01', '3/7/2024 9:00:00 AM'"));
        QCOMPARE(f.count("tbLabResultSummary WHERE RequestNum = 'L-1016'"), 3);
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum = 'L-1016'"), 1); // it had one already
    }

    // L-1006's second row holds ANTIHCV (form H) 0.9, EQUIVOCAL; N is NULL
    // only as the first key. The typed value is read at once by the
    // laboratory's rule; one it does not take is refused on save.
    void aTypedValueReplacesTheOldAndItsInterpretation_data()
    {
        QTest::addColumn<int>("from");      // the row clicked
        QTest::addColumn<int>("key");       // then pressed to reach row 2; 0 none
        QTest::addColumn<QString>("typed"); // or F2 pressed
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("meaning");
        QTest::addColumn<QString>("stored");
        F::row("clicked", 2, 0, "1.5", "1.5", "REACTIVE", "1.5");
        F::row("Enter from the row above", 1, int(Qt::Key_Return), "1.5", "1.5", "REACTIVE", "1.5");
        F::row("Down from the row above", 1, int(Qt::Key_Down), "1.1", "1.1", "EQUIVOCAL", "1.1");
        F::row("Up from the row below", 3, int(Qt::Key_Up), "0.5", "0.5", "NON-REACTIVE", "0.5");
        F::row("F2 word", 2, 0, "F2", "POSITIVE", "POSITIVE", "POSITIVE");
        F::row("word in any case", 2, 0, "negative", "negative", "negative", "negative");
        F::row("censored", 2, 0, "<0.5", "<0.5", "NON-REACTIVE", "<0.5");
        for (const char* word : {"Not detected", "5n", "1,1"})
            F::row(word, 2, 0, word, word, word, "0.9");
        F::row("n alone", 2, 0, "n", "NULL", "NULL", "NULL");
        F::row("n again over NULL", 2, 0, "Nn", "NULL", "NULL", "NULL");
    }
    void aTypedValueReplacesTheOldAndItsInterpretation()
    {
        QFETCH(int, from);
        QFETCH(int, key);
        QFETCH(QString, typed);
        QFETCH(QString, value);
        QFETCH(QString, meaning);
        QFETCH(QString, stored);
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            F::clickCell(g, from);
            if (key)
                QTest::keyClick(txtResult, Qt::Key(key));
            // Reaching the row selects its value and changes nothing.
            QCOMPARE(QString::number(g->Row()) + ' ' + txtResult->selectedText() + ' ' +
                         g->TextMatrix(2, 4),
                     "2 0.9 EQUIVOCAL");
            for (int again = 0; again < 2; ++again) {
                if (again)
                    txtResult->clear(); // an empty cell behaves the same
                if (typed == QLatin1String("F2"))
                    QTest::keyClick(txtResult, Qt::Key_F2);
                else
                    QTest::keyClicks(txtResult, typed);
                QCOMPARE(F::column(g, 3).value(1) + '|' + g->TextMatrix(2, 4),
                         value + '|' + meaning);
            }
            QCOMPARE(g->TextMatrix(1, 4), QStringLiteral("NON-REACTIVE")); // others stay
            f.db->clearTrace();
            QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
            // The value goes with what the window showed of it.
            const QStringList saves = f.db->trace().filter(QStringLiteral("'ANTIHCV'"));
            QVERIFY2(saves.filter(QRegularExpression(QStringLiteral("'%1', '[^']*', '%2', '")
                                                         .arg(QRegularExpression::escape(value),
                                                              QRegularExpression::escape(meaning))))
                             .size() == 1,
                     qPrintable(saves.join('\n')));
            // A value the laboratory refuses is named; the window keeps it.
            if (stored != value) {
                QVERIFY2(f.presenter.messageTexts().join(' ').contains(
                             QStringLiteral("'%1' is not a number as written").arg(value)),
                         qPrintable(f.presenter.messageTexts().join('\n')));
                QCOMPARE(F::column(g, 3).value(1), value);
                f.presenter.clear();
                f.presenter.queueAnswer(MsgAnswer::Yes); // discard it
                w.close();
            }
        });
        QCOMPARE(f.stored("PatientValue", "L-1006", "ANTIHCV") +
                     f.stored("FormType", "L-1006", "ANTIHCV"),
                 stored + 'H');
    }

    // The hints are the laboratory's rule (tst_result_rules); here, that the
    // editor holds the row and the save runs nothing.
    void normalValuesRefuseMiswrittenNumbers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("hint"); // empty: accepted
        F::row("comma", "12,4", "Use a point: 12.4");
        F::row("digits then text", "12abc", QStringLiteral("Use a number with a point (12.4)"));
        for (const char* accepted : {"7.4", "NEGATIVE", "NULL", "<5"})
            F::row(accepted, accepted, "");
    }
    void normalValuesRefuseMiswrittenNumbers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, hint);
        const bool refused = !hint.isEmpty();
        f.entry->EditMode(true);
        f.withoutPotassium();
        f.open<NormalValues>(QStringLiteral("L-1016"), [&](NormalValues& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            F::clickCell(msfgRequest, 1);
            txtResult->setText(typed);
            QTest::keyClick(txtResult, Qt::Key_Return);
            if (refused) // clicking another row keeps the editor on this one too
                F::clickCell(msfgRequest, 3);
            QCOMPARE(msfgRequest->Row(), refused ? 1 : 2);
            const QStringList texts = f.presenter.messageTexts();
            QCOMPARE(texts.size(), refused ? 2 : 0);
            QVERIFY2(texts.filter(hint).size() == texts.size(), qPrintable(texts.join('\n')));
            f.presenter.clear();
            f.db->clearTrace();
            QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
            // Refused: one message, nothing run, the window left open.
            QCOMPARE((QList<bool>{f.presenter.messages().size() == 1, f.db->trace().isEmpty(),
                                  w.isVisible()}),
                     QList<bool>(3, refused));
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
        QCOMPARE(f.stored("SIResult", "L-1016", "GLU"), refused ? QStringLiteral("5.5") : typed);
    }

    // L-1001 opens with sample 101 looked up, L-1007 without an accession
    // number: a click elsewhere, refused for it, must not swallow Exit.
    void closingAsksOnlyAboutUnsavedWork_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("how"); // closed by Exit, Alt+X or the close box
        QTest::addColumn<bool>("discard");
        F::row("typed, Exit, kept", "typed", "Exit", false);
        F::row("typed, close box, discarded", "typed", "box", true);
        F::row("taken over, Exit, kept", "taken over", "Exit", false);
        F::row("remarks, close box, kept", "remarks", "box", false);
        F::row("saved, corrected, saved again", "saved", "Exit", false);
        F::row("nothing", "none", "box", false);
        F::row("accession refused, Exit", "refused", "Exit", false);
        F::row("accession refused, Alt+X", "refused", "Alt+X", false);
    }
    void closingAsksOnlyAboutUnsavedWork()
    {
        QFETCH(QString, change);
        QFETCH(QString, how);
        QFETCH(bool, discard);
        const bool saved = change == QLatin1String("saved"),
                   refused = change == QLatin1String("refused");
        const bool asks = !saved && !refused && change != QLatin1String("none");
        const QString request = refused ? "L-1007" : "L-1001";
        f.open<CutOff>(request, [&](CutOff& w) {
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            auto* txtRemarks = control<QTextEdit>(w, "txtRemarks");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            if (refused) {
                txtAccNum->setFocus();
                QTest::mouseClick(txtRemarks->viewport(), Qt::LeftButton);
                QCOMPARE(f.presenter.messages().size(), 1);
                f.presenter.clear();
                txtAccNum->setFocus();
            } else if (change == QLatin1String("remarks")) {
                txtRemarks->setFocus();
                QTest::keyClicks(txtRemarks, QStringLiteral("haemolysed"));
            } else if (change != QLatin1String("none")) {
                F::useResult(w);
            }
            if (saved) // a correction after the save can be saved again
                QTest::mouseClick(cmdSave, Qt::LeftButton);
            if (saved || change == QLatin1String("typed")) {
                F::clickCell(control<FlexGrid>(w, "msfgRequest"), 1);
                QTest::keyClicks(control<QLineEdit>(w, "txtResult"), QStringLiteral("0.5"));
            }
            if (saved)
                QTest::mouseClick(cmdSave, Qt::LeftButton);
            f.presenter.queueAnswer(discard ? MsgAnswer::Yes : MsgAnswer::No);
            if (how == QLatin1String("box"))
                w.close();
            else if (how == QLatin1String("Exit"))
                QTest::mouseClick(control<QPushButton>(w, "cmdClose"), Qt::LeftButton);
            else
                QTest::keyClick(txtAccNum, Qt::Key_X, Qt::AltModifier);
            QTRY_COMPARE(w.isVisible(), asks && !discard);
            QCOMPARE(f.presenter.messageTexts(),
                     asks ? QStringList{"Discard the unsaved results of L-1001?"} : QStringList());
            if (asks)
                QCOMPARE(f.presenter.messages()[0].defaultAnswer, MsgAnswer::No);
            f.presenter.clear();
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
        if (saved)
            QCOMPARE(f.stored("PatientValue", "L-1001", "HBSAG"), "0.5");
        else
            QCOMPARE(f.count(qPrintable("tbLabResult WHERE RequestNum = '" + request + "'")), 0);
    }

    void accessionNumberLimitHoldsForTypingOnly_data()
    {
        QTest::addColumn<bool>("typed");
        F::row("copied from a long sample number", false);
        F::row("typed", true);
    }
    void accessionNumberLimitHoldsForTypingOnly()
    {
        QFETCH(bool, typed);
        const QString longNumber = QStringLiteral("S-20240307-000102"),
                      cut = QStringLiteral("ACC-0123456789-");
        f.db->exec("UPDATE tbLabInstrumentDLHemaResult SET SampleNum = '" + longNumber +
                   "' WHERE SampleNum = '102'");
        f.open<CutOff>(QStringLiteral("L-1005"), [&](CutOff& w) {
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            QCOMPARE(txtAccNum->text(), longNumber);
            if (typed) {
                txtAccNum->setFocus();
                QTest::keyClick(txtAccNum, Qt::Key_End);
                // No longer than it was.
                QTest::keyClick(txtAccNum, Qt::Key_X);
                QCOMPARE(txtAccNum->text(), longNumber);
                txtAccNum->selectAll();
                QTest::keyClicks(txtAccNum, cut + "XYZ");
            }
            F::useResult(w);
            QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
        });
        QCOMPARE(f.count(qPrintable("tbLabResultHeader WHERE RequestNum = 'L-1005' AND "
                                    "AccessionNum = '" +
                                    (typed ? cut : longNumber) + "'")),
                 1);
    }

    // In the host's entry mode, the saved header read once and after the
    // sample, so its accession number stays.
    void savedHeaderKeepsTheHostsEntryMode_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("damage"); // SQL run before opening
        QTest::addColumn<QString>("shown");  // accession, time submitted, exam rows
        F::row("cut-off, header without rows, re-entry", "L-1006",
               "DELETE FROM tbLabResult WHERE RequestNum = 'L-1006'", "A-5005 09:00:00 AM 5");
        F::row("normal values", "L-1016", "", "A-1016 09:00:00 AM 8");
    }
    void savedHeaderKeepsTheHostsEntryMode()
    {
        QFETCH(QString, request);
        QFETCH(QString, damage);
        QFETCH(QString, shown);
        if (!damage.isEmpty())
            f.db->exec(damage);
        f.entry->EditMode(true);
        f.entry->EntryMode(2);
        f.open<ResultEntryForm>(request, [&](ResultEntryForm& w) {
            QVERIFY(f.presenter.messages().isEmpty());
            const QStringList trace = f.db->trace();
            QCOMPARE(trace.count("Lab_FormMaker_GetResult '" + request + "'"), 1);
            if (request == QLatin1String("L-1006")) // every item, in the host's mode
                QVERIFY(trace.contains("Lab_FormMaker_FillExams 'L-1006','2'"));
            QCOMPARE(control<QLineEdit>(w, "txtAccNum")->text() + ' ' +
                         control<QTimeEdit>(w, "dtSubmittedTime")->text() + ' ' +
                         QString::number(control<FlexGrid>(w, "grdExams")->Rows()),
                     shown);
        });
    }

    // L-1016 opens in edit mode with six saved results and potassium,
    // requested and not saved; sample 103 (O'BRIEN, another patient) brings
    // glucose only. Driven by keys and clicks as at the bench.
    void editModeShowsEveryExam_data()
    {
        QTest::addColumn<QString>("step");
        F::row("take-over replaces glucose, saved without potassium", "save");
        F::row("reset restores the rows and the accession number", "reset");
        F::row("reset after typing, answered No", "typed reset no");
        F::row("manual entry keeps every row", "manual");
    }
    void editModeShowsEveryExam()
    {
        QFETCH(QString, step);
        f.entry->EditMode(true);
        const QStringList items = {"GLU", "CREA", "UREA", "URIC", "CHOL", "TRIG", "K"};
        const QStringList saved = {"5.5", "97", "6.1", "410", "5.9", "1.2", ""};
        f.open<NormalValues>(QStringLiteral("L-1016"), [&](NormalValues& w) {
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            auto* txtSampleNum = control<QLineEdit>(w, "txtSampleNum");
            auto* txtPName = control<QLineEdit>(w, "txtPName");
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            const auto* value = static_cast<GridCells::ValueCell*>(g->itemDelegateForColumn(3));
            QCOMPARE(F::column(g, 1) + F::column(g, 3), items + saved);
            QCOMPARE(value->shown(g->model()->index(6, 3)) + '|' +
                         value->shown(g->model()->index(0, 3)),
                     QStringLiteral("not resulted|5.5"));
            QCOMPARE(txtAccNum->text(), QStringLiteral("A-1016"));
            if (step == QLatin1String("manual")) {
                f.presenter.queueWindow([](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); });
                f.presenter.queueAnswer(MsgAnswer::Yes); // type by hand: nothing is removed
                QTest::mouseClick(control<QPushButton>(w, "cmdSearchSampleNum"), Qt::LeftButton);
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{"Sample not found.\nWould you like to manually enter the "
                                     "results."});
                QCOMPARE(F::column(g, 1) + F::column(g, 3), items + saved);
                return;
            }
            // Enter in the empty Sample Number searches the day; 103 is picked.
            f.presenter.queueWindow([](QWidget& d) {
                auto* msfgSampleNum = control<FlexGrid>(d, "msfgSampleNum");
                QCOMPARE(F::column(msfgSampleNum, 0),
                         (QStringList{"101", "102", "103", "104", "110"}));
                F::clickCell(msfgSampleNum, 3, 0);
            });
            f.presenter.queueAnswer(MsgAnswer::Yes); // O'BRIEN's sample for REYES
            txtSampleNum->setFocus();
            QTest::keyClick(txtSampleNum, Qt::Key_Return);
            QCOMPARE(txtAccNum->text() + '|' + txtPName->text(),
                     QStringLiteral("103|O'BRIEN, MARY A"));
            for (const char* sent : {"sp_InstrumentGetHemaSampleNum '0','03/07/2024','AN-01',''",
                                     "LABORATORY..sp_InstrumentGetAxsymSample  '1','03/07/2024',"
                                     "'AN-01','103','O''BRIEN, MARY A', 'REF-5015'"})
                QVERIFY2(f.db->trace().contains(QLatin1String(sent)), sent);
            press(Qt::Key_R, Qt::AltModifier);
            QVERIFY(w.ResultTakenOver);
            QCOMPARE(F::column(g, 1) + F::column(g, 3), items + saved);
            // Conventional units of the taken-over glucose are left to the database.
            QVERIFY(g->TextMatrix(1, 8).isEmpty() && !g->TextMatrix(2, 8).isEmpty());
            f.presenter.clear();
            if (step == QLatin1String("save")) {
                f.db->clearTrace();
                f.presenter.queueAnswer(MsgAnswer::Yes);
                press(Qt::Key_S, Qt::AltModifier);
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{"Potassium has no result. Save the others and leave it "
                                     "unresulted?"});
                QVERIFY(!w.isVisible());
                return;
            }
            const bool kept = step == QLatin1String("typed reset no");
            if (kept) {
                F::clickCell(g, 2, 2);
                QTest::keyClicks(control<QLineEdit>(w, "txtResult"), QStringLiteral("0"));
                f.presenter.queueAnswer(MsgAnswer::No);
            }
            press(Qt::Key_R, Qt::AltModifier);
            QCOMPARE(w.ResultTakenOver, kept);
            QCOMPARE(QString::number(g->Rows()) + ' ' + g->TextMatrix(2, 3) + ' ' +
                         g->TextMatrix(1, 8),
                     kept ? "8 0 " : "8 97 99");
            if (kept)
                return;
            // Nothing of the other patient's sample is left to save or post.
            QCOMPARE(txtAccNum->text() + '|' + txtSampleNum->text() + '|' + txtPName->text(),
                     QStringLiteral("A-1016||"));
            f.presenter.queueAnswer(MsgAnswer::Yes);
            press(Qt::Key_S, Qt::AltModifier);
            QVERIFY(!w.isVisible());
        });
        // Every row saved, potassium stored empty and never verified.
        if (step == QLatin1String("save"))
            QCOMPARE(QString::number(f.db->trace().filter("SaveResultWithNormalValues2").size()) +
                         ' ' + f.stored("SIResult", "L-1016", "CREA") + ' ' +
                         f.stored("Verified", "L-1016", "K"),
                     "7 97 N");
        if (step == QLatin1String("reset")) // A-1016 kept, 103 posted nowhere
            QCOMPARE(f.count("tbLabResultHeader WHERE AccessionNum = '103'") +
                         f.count("tbLabInstrumentDLHemaResult WHERE SampleNum = '103' AND "
                                 "Posted = 'Y'"),
                     0);
    }

    // Without rows nothing is saved; with rows typed by hand and left
    // empty, the save asks first, naming them, and No saves nothing.
    void nothingToSaveKeepsTheWindowOpen()
    {
        for (auto [request, empty] :
             {std::pair{"L-1007", "Salmonella typhi IgM has no result. Save the others and leave "
                                  "it unresulted?"},
              {"L-1010", "Creatinine and Urea (BUN) have no result. Save the others and leave "
                         "these unresulted?"}}) { // cut-off, normal values
            f.presenter.clear();
            f.open<ResultEntryForm>(request, [&](ResultEntryForm& w) {
                auto* cmdSave = control<QPushButton>(w, "cmdSave");
                control<QLineEdit>(w, "txtAccNum")->setText(QStringLiteral("A-1"));
                QTest::mouseClick(cmdSave, Qt::LeftButton);
                f.presenter.queueWindow([](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); });
                f.presenter.queueAnswer(MsgAnswer::Yes); // typed by hand
                QTest::mouseClick(control<QPushButton>(w, "cmdSearchSampleNum"), Qt::LeftButton);
                QTest::mouseClick(cmdSave, Qt::LeftButton);
                QCOMPARE(f.presenter.messageTexts(),
                         (QStringList{"There are no results to save.",
                                      "Sample not found.\nWould you like to manually enter the "
                                      "results.",
                                      QLatin1String(empty)}));
                QVERIFY(w.isVisible() && cmdSave->isEnabled());
                w.close();
            });
        }
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum IN ('L-1007', 'L-1010')"), 0);
    }

    // L-1008 (LIM, GRACE SY; REF-5007) has no sample of its own; 102 is
    // picked from the search, the others typed. A sample's reference decides
    // when it has one; the name only when it has none.
    void anotherPatientsSampleIsAskedFor_data()
    {
        QTest::addColumn<QString>("sample");
        QTest::addColumn<QString>("question"); // "" when none is asked
        QTest::addColumn<bool>("yes");
        const auto patient = [](const char* sample, const char* name) {
            return QStringLiteral("Sample %1 (%2) is not of this request's patient (LIM, GRACE "
                                  "SY).\n\nUse its results for request L-1008?")
                .arg(QLatin1String(sample), QLatin1String(name));
        };
        F::row("another reference, No", "102", patient("102", "TAN, ROBERT C"), false);
        F::row("another reference, Yes", "102", patient("102", "TAN, ROBERT C"), true);
        F::row("another reference, same name", "123", patient("123", "LIM, GRACE SY"), true);
        F::row("this reference, another name", "124", QString(), true);
        F::row("this reference, no name", "126", QString(), true);
        F::row("no reference, name abbreviated", "120", QString(), true);
        F::row("no reference, no name, Yes", "121", patient("121", "no patient name"), true);
        F::row("no reference, another name, No", "122", patient("122", "LIM, GRACIA"), false);
        F::row("not found", "999",
               QStringLiteral("Sample 999 was not found among the results of Integrated Analyzer "
                              "AN-01 for 03/07/2024."),
               false);
        F::row("typed, Enter never pressed", "102 ", QString(), false);
        F::row("posted to another request, No", "125",
               QStringLiteral("Sample 125 is already posted to L-1003.\n\nTake its results for "
                              "request L-1008 too?"),
               false);
    }
    void anotherPatientsSampleIsAskedFor()
    {
        QFETCH(QString, sample);
        QFETCH(QString, question);
        QFETCH(bool, yes);
        // Stored once the window is open: on opening it would find REF-5007's own.
        const auto store = [&] {
            QStringList rows; // number, name, reference, posted, posted to
            for (const char* r : {"'120', 'lim ,  grace s', '', 'N', NULL",
                                  "'121', '', '', 'N', NULL", "'122', 'LIM, GRACIA', '', 'N', NULL",
                                  "'123', 'LIM, GRACE SY', 'REF-5001', 'N', NULL",
                                  "'124', 'SANTOS, ANA', 'REF-5007', 'N', NULL",
                                  "'125', 'LIM, GRACE SY', 'REF-5007', 'Y', 'L-1003'",
                                  "'126', '', 'REF-5007', 'N', NULL"})
                rows << QStringLiteral("('AN-01', '2024-03-07 10:00:00', 'NS1Ag', '0.4', "
                                       "'Index', %1)")
                            .arg(QLatin1String(r));
            f.db->exec("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, Resultdate, "
                       "InstrumentItem, ResultValue, Unit, SampleNum, PatientName, refnum, Posted, "
                       "PostedRequestNum) VALUES " +
                       rows.join(", "));
        };
        const bool searched = sample == QLatin1String("102");
        const bool entered = !sample.endsWith(' ');
        sample = sample.trimmed();
        f.open<CutOff>(QStringLiteral("L-1008"), [&](CutOff& w) {
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            store();
            txtAccNum->setText(QStringLiteral("A-8"));
            f.presenter.queueAnswer(yes ? MsgAnswer::Yes : MsgAnswer::No);
            if (searched) {
                f.presenter.queueWindow([](QWidget& d) {
                    // The search marks the samples saved to a request.
                    FlexGrid* list = control<FlexGrid>(d, "msfgSampleNum");
                    QCOMPARE(list->TextMatrix(0, 2), QStringLiteral("Posted"));
                    QCOMPARE(F::column(list, 2).filter(QStringLiteral("posted")),
                             QStringList{QStringLiteral("posted to L-1003")});
                    F::clickCell(list, 2, 0);
                });
                QTest::mouseClick(control<QPushButton>(w, "cmdSearchSampleNum"), Qt::LeftButton);
            } else {
                f.db->clearTrace();
                typeSample(w, sample, entered);
                QCOMPARE(f.db->trace().value(0),
                         entered ? QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '1',"
                                                  "'03/07/2024','AN-01','%1','', 'REF-5007'")
                                       .arg(sample)
                                 : QString());
            }
            QCOMPARE(f.presenter.messageTexts(),
                     question.isEmpty() ? QStringList() : QStringList{question});
            if (question.endsWith('?'))
                QCOMPARE(f.presenter.messages()[0].defaultAnswer, MsgAnswer::No);
            QCOMPARE(txtAccNum->text(), yes ? sample : QStringLiteral("A-8"));
            QCOMPARE(control<QDateEdit>(w, "dtpResultDate")->isEnabled(), !yes);
            f.presenter.clear();
            F::useResult(w);
            QCOMPARE(w.ResultTakenOver, yes);
            if (!yes)
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{searched ? QStringLiteral("No sample has been looked up: "
                                                               "there are no instrument results "
                                                               "to use.")
                                              : kNotLookedUp.arg(sample)});
            if (yes) {
                QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
                QVERIFY(f.presenter.messages().isEmpty());
            }
            w.close();
        });
        QCOMPARE(
            (QList<int>{f.count("tbLabResult WHERE RequestNum = 'L-1008'"),
                        f.count("tbLabInstrumentDLHemaResult WHERE PostedRequestNum = 'L-1008'")}),
            QList<int>(2, yes ? 1 : 0));
    }

    void onlyTheLookedUpSampleIsPosted_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<bool>("posts"); // sample 101
        F::row("as looked up", "101", true);
        F::row("blanks around", " 101 ", true);
        F::row("an r typed after", "101r", false);
        F::row("cleared", "", false);
    }
    void onlyTheLookedUpSampleIsPosted()
    {
        QFETCH(QString, box);
        QFETCH(bool, posts);
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            F::useResult(w);
            typeSample(w, box);
            f.db->clearTrace();
            QTest::mouseClick(cmdSave, Qt::LeftButton);
            QCOMPARE(f.presenter.messageTexts(),
                     posts ? QStringList()
                           : QStringList{QStringLiteral("Data was not saved! Error: [Sample Number "
                                                        "shows \"%1\", not the sample looked up "
                                                        "(101): put 101 back or look the sample "
                                                        "up again.]")
                                             .arg(box)});
            // A refused save runs no command at all.
            const QStringList trace = f.db->trace();
            QCOMPARE(posts ? trace.filter(QStringLiteral("Lab_UpdateDLHemaResult")) : trace,
                     posts ? QStringList(3, QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult "
                                                           "'2','101','L-1001','MT01',"
                                                           "'03/07/2024','AN-01'"))
                           : QStringList());
            QVERIFY(posts || (w.isVisible() && cmdSave->isEnabled() &&
                              control<FlexGrid>(w, "msfgRequest")->TextMatrix(1, 3) ==
                                  QLatin1String("0.42")));
            w.close();
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1001'"), posts ? 3 : 0);
    }

    // On a server, results the instrument delivers for the sample a window
    // waits for (L-1018's worklist sample 105) appear while it is open;
    // nothing staff typed changes.
    void newDownloadsArriveWhileTheWindowIsOpen()
    {
        if (TestDatabase::engine() != Engine::PostgreSQL)
            QSKIP("the embedded laboratory sends no notices: a window reads new results when "
                  "the sample is looked up again");
        f.open<CutOff>(QStringLiteral("L-1018"), [&](CutOff& w) {
            auto* msfgDLresult = control<FlexGrid>(w, "msfgDLresult");
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(F::column(msfgDLresult, 1), QStringList{""}); // one row, no sample
            msfgRequest->setTextMatrix(1, 3, QStringLiteral("typed"));
            const QStringList before = F::column(msfgRequest, 1) + F::column(msfgRequest, 3);
            // Another workstation's instrument interface stores sample 105
            // (and sample 101, which this window does not show).
            auto other = openLaboratory(ConnectionString::parse(f.db->connectionString()));
            other->begin();
            other->exec(
                QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                               "SampleNum, Resultdate, InstrumentItem, ResultValue, refnum) "
                               "VALUES ('AN-01', '105', '2024-03-07 10:15:00', 'HBsAg', "
                               "'0.38', 'REF-5017'), ('AN-01', '105', '2024-03-07 "
                               "10:15:00', 'aHBs', '0.38', 'REF-5017')"));
            other->notify(downloadsChannel(), QStringLiteral("AN-01|101"));
            other->notify(downloadsChannel(), QStringLiteral("AN-01|105"));
            other->commit();
            QTRY_COMPARE(msfgDLresult->Rows(), 3);
            QCOMPARE(control<QLineEdit>(w, "txtSampleNum")->text(), QStringLiteral("105"));
            QCOMPARE(F::column(msfgRequest, 1) + F::column(msfgRequest, 3), before);
            QVERIFY(control<QPushButton>(w, "cmdResetResult")->isEnabled());
        });
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstEditing)
#include "tst_editing.moc"
