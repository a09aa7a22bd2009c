#include "WindowFixture.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using Normal = WindowFixture::NormalValuesWithoutReport;
using F = WindowFixture;
} // namespace

// Editing results as staff do at the bench: typing over values, words and
// NULL, refused numbers, saving W and H forms, and never losing work unasked.
class TstEditing : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
    }
    void cleanup() { f.tearDown(); }

    // Form H is saved in aTypedValueReplacesTheOldAndItsInterpretation.
    void formWStoresWhatWasTyped()
    {
        f.open<CutOff>(QStringLiteral("L-1005"), [&](CutOff& w) {
            F::useResult(w);
            F::clickCell(w.msfgRequest, 1);
            QTest::keyClicks(w.txtResult, QStringLiteral("4.2"));
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
        });
        QCOMPARE(f.stored("PatientValue", "L-1005", "NS1"), "4.2");
        QCOMPARE(f.stored("FormType", "L-1005", "NS1"), "W");
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum = 'L-1005'"), 1);
        f.entry->EditMode(true); // reopened, the window shows what was typed
        f.open<CutOff>(QStringLiteral("L-1005"), [&](CutOff& w) {
            QCOMPARE(w.msfgRequest->TextMatrix(1, 1), QStringLiteral("NS1"));
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), QStringLiteral("4.2"));
        });
    }

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
        f.entry->EditMode(true);
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(g->TextMatrix(1, 8), QStringLiteral("99"));
            F::clickCell(g, 1);
            QTest::keyClicks(w.txtResult, typed);
            QCOMPARE(g->TextMatrix(1, 8), QString());
            QVERIFY(!g->TextMatrix(2, 8).isEmpty());
            // Marked re-checked and unmarked, the rows keep the request
            // number they are saved under.
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            const QColor shade = g->item(0, 2)->background().color();
            QVERIFY(shade.isValid() && shade != g->palette().base().color());
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QCOMPARE(g->item(0, 2)->background().style(), Qt::NoBrush);
            g->setFocus();
            QTest::keyClick(g, Qt::Key_F3);
            QCOMPARE(F::column(g, 0), QStringList(g->Rows() - 1, QStringLiteral("L-1016")));
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QVERIFY(!w.isVisible());
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND VerifiedBy = 'MT01'"), 6);
        // The summary carries the conventional value the laboratory derived,
        // never the stale one, and agrees with what is stored.
        QCOMPARE(f.db->trace().filter(QStringLiteral("Lab_SaveDump_ResultSummary")).value(0),
                 QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', '%1 (3.9 - 6.1 mmol/L)%2 "
                                "(70 - 110 mg/dL)'")
                     .arg(typed, derived));
        QCOMPARE(f.stored("CResult", "L-1016", "GLU"), derived);
    }

    // L-1006's second row holds ANTIHCV (form H) 0.9, EQUIVOCAL; N is NULL
    // only as the first key.
    void aTypedValueReplacesTheOldAndItsInterpretation_data()
    {
        QTest::addColumn<int>("from");      // the row clicked
        QTest::addColumn<int>("key");       // then pressed to reach row 2; 0 none
        QTest::addColumn<QString>("typed"); // or F2 pressed
        QTest::addColumn<QString>("value");
        F::row("clicked", 2, 0, "1.5", "1.5");
        F::row("Enter from the row above", 1, int(Qt::Key_Return), "1.5", "1.5");
        F::row("Down from the row above", 1, int(Qt::Key_Down), "1.5", "1.5");
        F::row("Up from the row below", 3, int(Qt::Key_Up), "1.5", "1.5");
        F::row("F2 word", 2, 0, "F2", "POSITIVE");
        for (const char* word : {"Non-reactive", "Nil", "Not detected", "negative", "5n"})
            F::row(word, 2, 0, word, word);
        F::row("N alone", 2, 0, "N", "NULL");
        F::row("n alone", 2, 0, "n", "NULL");
        F::row("n again over NULL", 2, 0, "Nn", "NULL");
    }
    void aTypedValueReplacesTheOldAndItsInterpretation()
    {
        QFETCH(int, from);
        QFETCH(int, key);
        QFETCH(QString, typed);
        QFETCH(QString, value);
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            FlexGrid* g = w.msfgRequest;
            F::clickCell(g, from);
            if (key)
                QTest::keyClick(w.txtResult, Qt::Key(key));
            QCOMPARE(g->Row(), 2);
            QCOMPARE(w.txtResult->selectedText(), QStringLiteral("0.9"));
            QCOMPARE(g->TextMatrix(2, 4), QStringLiteral("EQUIVOCAL")); // reaching it changes none
            for (int again = 0; again < 2; ++again) {
                if (again)
                    w.txtResult->clear(); // an empty cell behaves the same
                if (typed == QLatin1String("F2"))
                    QTest::keyClick(w.txtResult, Qt::Key_F2);
                else
                    QTest::keyClicks(w.txtResult, typed);
                QCOMPARE(g->TextMatrix(2, 3), value);
                QCOMPARE(g->TextMatrix(2, 4), QString());
            }
            QCOMPARE(g->TextMatrix(1, 4), QStringLiteral("NON-REACTIVE")); // others stay
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            // The stale interpretation is never handed over with the new value.
            const QStringList saves = f.db->trace().filter(QStringLiteral("'ANTIHCV'"));
            QVERIFY2(saves.filter(QRegularExpression(QStringLiteral("'%1', '[^']*', '', '")
                                                         .arg(QRegularExpression::escape(value))))
                             .size() == 1,
                     qPrintable(saves.join('\n')));
        });
        QCOMPARE(f.stored("PatientValue", "L-1006", "ANTIHCV"), value);
        QCOMPARE(f.stored("FormType", "L-1006", "ANTIHCV"), "H");
    }

    void normalValuesRefuseMiswrittenNumbers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("hint"); // empty: accepted
        const QString point = QStringLiteral("Use a number with a point (12.4)");
        F::row("comma", "12,4", "Use a point: 12.4");
        F::row("exponent", "1e9", "Write it out: 1000000000");
        F::row("word", "abc", point);
        F::row("digits then text", "12abc", point);
        for (const char* accepted : {"12.4", "NEGATIVE", "NULL", "<0.5", ">100"})
            F::row(accepted, accepted, "");
    }
    void normalValuesRefuseMiswrittenNumbers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, hint);
        const bool refused = !hint.isEmpty();
        f.entry->EditMode(true);
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            F::clickCell(w.msfgRequest, 1);
            w.txtResult->setText(typed);
            QTest::keyClick(w.txtResult, Qt::Key_Return);
            QCOMPARE(w.msfgRequest->Row(), refused ? 1 : 2);
            if (refused) {
                QCOMPARE(f.presenter.messages().size(), 1);
                QVERIFY2(f.presenter.messages()[0].text.contains(hint),
                         qPrintable(f.presenter.messages()[0].text));
                // Clicking another row keeps the editor on this one too.
                F::clickCell(w.msfgRequest, 3);
                QCOMPARE(w.msfgRequest->Row(), 1);
                QCOMPARE(f.presenter.messages().size(), 2);
            }
            f.presenter.clear();
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QCOMPARE(f.presenter.messages().size(), refused ? 1 : 0);
            QCOMPARE(f.db->trace().isEmpty(), refused);
            QCOMPARE(w.isVisible(), refused);
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
        QCOMPARE(f.stored("SIResult", "L-1016", "GLU"), refused ? QStringLiteral("5.5") : typed);
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND VerifiedBy = 'MT01'"),
                 refused ? 0 : 6);
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
        F::row("accession refused, close box", "refused", "box", false);
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
            if (refused) {
                w.txtAccNum->setFocus();
                QTest::mouseClick(w.txtRemarks->viewport(), Qt::LeftButton);
                QCOMPARE(f.presenter.messages().size(), 1);
                f.presenter.clear();
                w.txtAccNum->setFocus();
            } else if (change == QLatin1String("remarks")) {
                w.txtRemarks->setFocus();
                QTest::keyClicks(w.txtRemarks, QStringLiteral("haemolysed"));
            } else if (change != QLatin1String("none")) {
                F::useResult(w);
            }
            if (saved) {
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                QVERIFY(!w.cmdSave->isEnabled());
            }
            if (saved || change == QLatin1String("typed")) {
                F::clickCell(w.msfgRequest, 1);
                QTest::keyClicks(w.txtResult, QStringLiteral("0.5"));
            }
            if (saved) { // a correction after the save can be saved again
                QVERIFY(w.cmdSave->isEnabled());
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            }
            f.presenter.queueAnswer(discard ? MsgAnswer::Yes : MsgAnswer::No);
            if (how == QLatin1String("box"))
                w.close();
            else if (how == QLatin1String("Exit"))
                QTest::mouseClick(w.cmdClose, Qt::LeftButton);
            else
                QTest::keyClick(w.txtAccNum, Qt::Key_X, Qt::AltModifier);
            QTRY_COMPARE(w.isVisible(), asks && !discard);
            QCOMPARE(f.presenter.messageTexts(),
                     asks ? QStringList{"Discard the unsaved results of L-1001?"} : QStringList());
            if (asks) {
                QCOMPARE(f.presenter.messages()[0].buttons, MsgButtons::YesNo);
                QCOMPARE(f.presenter.messages()[0].defaultAnswer, MsgAnswer::No);
            }
            f.presenter.clear();
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
        if (saved)
            QCOMPARE(f.stored("PatientValue", "L-1001", "HBSAG"), "0.5");
        else
            QCOMPARE(f.count(qPrintable("tbLabResult WHERE RequestNum = '" + request + "'")), 0);
    }

    void mnemonicsOfDisabledButtonsTypeNothing()
    {
        f.entry->EditMode(true); // saved rows: Use Result is off
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            QVERIFY(!w.cmdResetResult->isEnabled());
            const QString sample = w.txtSampleNum->text();
            w.txtSampleNum->setFocus();
            QTest::keyClick(w.txtSampleNum, Qt::Key_R, Qt::AltModifier);
            QCOMPARE(w.txtSampleNum->text(), sample);
            F::clickCell(w.msfgRequest, 1);
            QTest::keyClick(w.txtResult, Qt::Key_R, Qt::AltModifier);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), QStringLiteral("0.35"));
            QVERIFY(w.isVisible());
        });
    }

    void accessionNumberLimitHoldsForTypingOnly_data()
    {
        QTest::addColumn<bool>("typed");
        QTest::newRow("copied from a long sample number") << false;
        QTest::newRow("typed") << true;
    }
    void accessionNumberLimitHoldsForTypingOnly()
    {
        QFETCH(bool, typed);
        const QString longNumber = QStringLiteral("S-20240307-000102"),
                      cut = QStringLiteral("ACC-0123456789-");
        f.db->exec("UPDATE tbLabInstrumentDLHemaResult SET SampleNum = '" + longNumber +
                   "' WHERE SampleNum = '102'");
        f.open<CutOff>(QStringLiteral("L-1005"), [&](CutOff& w) {
            QCOMPARE(w.txtAccNum->text(), longNumber);
            if (typed) {
                w.txtAccNum->setFocus();
                QTest::keyClick(w.txtAccNum, Qt::Key_End);
                QTest::keyClick(w.txtAccNum, Qt::Key_X); // no longer than it was
                QCOMPARE(w.txtAccNum->text(), longNumber);
                w.txtAccNum->selectAll();
                QTest::keyClicks(w.txtAccNum, cut + "XYZ");
                QCOMPARE(w.txtAccNum->text(), cut);
            }
            F::useResult(w);
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
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
        QTest::addColumn<QString>("message");
        F::row("cut-off, header without rows, re-entry", "L-1006",
               "DELETE FROM tbLabResult WHERE RequestNum = 'L-1006'", "");
        F::row("cut-off, unreadable header", "L-1006",
               "UPDATE tbLabResultHeader SET LRATime = NULL", "Error 94: Invalid use of Null");
        F::row("normal values, header read once", "L-1016", "", "");
    }
    void savedHeaderKeepsTheHostsEntryMode()
    {
        QFETCH(QString, request);
        QFETCH(QString, damage);
        QFETCH(QString, message);
        if (!damage.isEmpty())
            f.db->exec(damage);
        f.entry->EditMode(true);
        f.entry->EntryMode(2);
        f.open<ResultEntryForm>(request, [&](ResultEntryForm& w) {
            QCOMPARE(f.presenter.messageTexts(),
                     message.isEmpty() ? QStringList() : QStringList{message});
            const QStringList trace = f.db->trace();
            const QString header = "Lab_FormMaker_GetResult '" + request + "'";
            QCOMPARE(trace.count(header), 1);
            if (request == QLatin1String("L-1016")) {
                // In its place: after the sample, before the saved values.
                const auto at = [&](const QString& start) {
                    return trace.indexOf(
                        QRegularExpression(QRegularExpression::escape(start) + ".*"));
                };
                const int read = trace.indexOf(header);
                QVERIFY(at("LABORATORY..sp_InstrumentGetAxsymSample  '3'") < read);
                QVERIFY(read < at("LABORATORY..Lab_FormMaker_GetResult_ReagentValues"));
                QCOMPARE(w.txtAccNum->text(), QStringLiteral("A-1016"));
                QCOMPARE(w.dtSubmittedTime->text(), QStringLiteral("09:00:00 AM"));
            } else if (message.isEmpty()) {
                QVERIFY(trace.contains(QStringLiteral("Lab_FormMaker_FillExams 'L-1006','2'")));
                QCOMPARE(w.txtAccNum->text(), QStringLiteral("A-5005"));
                QCOMPARE(w.grdExams->Rows(), 5); // every item: none has a saved result
            } else {
                QVERIFY(w.isVisible() && w.txtAccNum->text().isEmpty());
            }
        });
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstEditing)
#include "tst_editing.moc"
