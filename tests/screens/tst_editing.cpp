#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/WindowFixture.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using Normal = WindowFixture::NormalValuesWithoutReport;
using F = WindowFixture;
} // namespace

// Editing results as staff do at the bench: typing over values, words and
// NULL, refused numbers, saving H forms, and never losing work unasked.
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
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            // Filled from the saved values; the window stays editable.
            QCOMPARE(g->Rows(), 7);
            QVERIFY(control<QPushButton>(w, "cmdSearchSampleNum")->isEnabled() &&
                    control<QDateEdit>(w, "dtpResultDate")->isEnabled());
            F::clickCell(g, 1);
            QTest::keyClicks(txtResult, typed);
            QVERIFY(g->TextMatrix(1, 8).isEmpty() && !g->TextMatrix(2, 8).isEmpty());
            // Marked re-checked and unmarked, the rows keep the request
            // number they are saved under.
            QTest::keyClick(txtResult, Qt::Key_F6);
            const QColor shade = g->item(0, 2)->background().color();
            QVERIFY(shade.isValid() && shade != g->palette().base().color());
            QTest::keyClick(txtResult, Qt::Key_F6);
            QCOMPARE(g->item(0, 2)->background().style(), Qt::NoBrush);
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
        // Each summary carries the conventional value the laboratory derived
        // and read back after the row was saved, never the stale one.
        const QStringList trace = f.db->trace();
        const QStringList summaries = trace.filter(QStringLiteral("Lab_SaveDump_ResultSummary"));
        QCOMPARE(summaries.value(0),
                 QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', '%1 (3.9 - 6.1 mmol/L)%2 "
                                "(70 - 110 mg/dL)'")
                     .arg(typed, derived));
        QCOMPARE(summaries.value(1), // as it was read, in both unit systems
                 "Lab_SaveDump_ResultSummary 'L-1016', '97 (45 - 90 umol/L)1.10 (0.51 - 1.02 "
                 "mg/dL)'");
        QVERIFY2(summaries.value(2).endsWith("6.1 (2.5 - 7.1 mmol/L)17 (7 - 20 mg/dL)'"),
                 qPrintable(summaries.value(2)));
        QCOMPARE(f.stored("CResult", "L-1016", "GLU"), derived);
        // Saved under the saved header, not the clock's.
        QVERIFY(trace.filter("SaveResultWithNormalValues2 'L-1016', 'GLU'")
                    .value(0)
                    .endsWith("'A-1016','', '3/7/2024 9:00:00 AM', '3/7/2024 9:00:00 AM', '', "
                              "'MT01', 'Y', 'AN-01', '3/7/2024 9:00:00 AM'"));
        // The request's summary is emptied once: every saved row's text stays.
        QCOMPARE(trace.filter(QStringLiteral("Lab_DeleteDump_ResultSummary")).size(), 1);
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
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
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
                QTest::keyClick(txtAccNum,
                                Qt::Key_X); // no longer than it was
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

    void savedHeaderKeepsTheHostsEntryMode_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("damage"); // SQL run before opening
        F::row("cut-off, header without rows, re-entry", "L-1006",
               "DELETE FROM tbLabResult WHERE RequestNum = 'L-1006'");
        F::row("normal values, header read once", "L-1016", "");
    }
    void savedHeaderKeepsTheHostsEntryMode()
    {
        QFETCH(QString, request);
        QFETCH(QString, damage);
        if (!damage.isEmpty())
            f.db->exec(damage);
        f.entry->EditMode(true);
        f.entry->EntryMode(2);
        f.open<ResultEntryForm>(request, [&](ResultEntryForm& w) {
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            QVERIFY(f.presenter.messages().isEmpty());
            const QStringList trace = f.db->trace();
            const QString header = "Lab_FormMaker_GetResult '" + request + "'";
            QCOMPARE(trace.count(header), 1);
            if (request == QLatin1String("L-1016")) {
                // In its place: after the sample, before the saved values.
                const QStringList order = trace.filter(QRegularExpression(
                    "sp_InstrumentGetAxsymSample  '3'|^" + QRegularExpression::escape(header) +
                    "$|GetResult_ReagentValues"));
                QVERIFY2(order.indexOf(header) == 1 && order.size() > 2,
                         qPrintable(order.join('\n')));
                QCOMPARE(txtAccNum->text() + ' ' + control<QTimeEdit>(w, "dtSubmittedTime")->text(),
                         "A-1016 09:00:00 AM");
            } else { // every item: none has a saved result
                QVERIFY(trace.contains(QStringLiteral("Lab_FormMaker_FillExams 'L-1006','2'")));
                QCOMPARE(txtAccNum->text() + ' ' +
                             QString::number(control<FlexGrid>(w, "grdExams")->Rows()),
                         "A-5005 5");
            }
        });
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstEditing)
#include "tst_editing.moc"
