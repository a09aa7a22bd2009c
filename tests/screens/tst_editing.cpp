#include "WindowFixture.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using Normal = WindowFixture::NormalValuesWithoutReport;

// Clicks the VALUE cell of a grid row (row 1 is the first exam).
void clickValue(ResultEntryForm& w, int row)
{
    FlexGrid* g = w.msfgRequest;
    QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                      g->visualRect(g->model()->index(row - 1, 3)).center());
}

QString stored(WindowFixture& f, const QString& column, const QString& req, const QString& item)
{
    return f.db
        ->query(QStringLiteral("SELECT %1 FROM tbLabResult WHERE RequestNum = '%2' AND "
                               "ItemID = '%3'")
                    .arg(column, req, item))
        .rows.value(0)
        .value(0)
        .toString();
}
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

    void formsWAndHStoreWhatWasTyped_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<bool>("edit");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("item");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("formType");
        QTest::newRow("W, taken over, then typed") << "L-1005" << false << 1 << "NS1"
                                                   << "4.2"
                                                   << "W";
        QTest::newRow("H, a saved value corrected") << "L-1006" << true << 2 << "ANTIHCV"
                                                    << "1.9"
                                                    << "H";
    }
    void formsWAndHStoreWhatWasTyped()
    {
        QFETCH(QString, request);
        QFETCH(bool, edit);
        QFETCH(int, row);
        QFETCH(QString, item);
        QFETCH(QString, typed);
        QFETCH(QString, formType);
        f.entry->EditMode(edit);
        f.open<CutOff>(request, [&](CutOff& w) {
            if (!edit)
                QTest::mouseClick(w.cmdResetResult, Qt::LeftButton); // Use Result
            QCOMPARE(w.msfgRequest->TextMatrix(row, 1), item);
            clickValue(w, row);
            QTest::keyClicks(w.txtResult, typed);
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            const QStringList saves = f.db->trace().filter(QStringLiteral("Lab_SaveWithCutOff"));
            QVERIFY(!saves.isEmpty());
            QVERIFY(saves.filter(QStringLiteral("','%1','%2', '%3', ").arg(request, item, formType))
                        .size() == 1);
        });
        QCOMPARE(stored(f, QStringLiteral("PatientValue"), request, item), typed);
        QCOMPARE(stored(f, QStringLiteral("FormType"), request, item), formType);
        QCOMPARE(
            f.db->query(QStringLiteral("SELECT count(*) FROM tbLabLogbook WHERE RequestNum = '%1'")
                            .arg(request))
                .rows[0][0]
                .toInt(),
            1);
        f.entry->EditMode(true); // reopened, the window shows what was typed
        f.open<CutOff>(request, [&](CutOff& w) {
            QString shown;
            for (int r = 1; r < w.msfgRequest->Rows(); ++r)
                if (w.msfgRequest->TextMatrix(r, 1) == item)
                    shown = w.msfgRequest->TextMatrix(r, 3);
            QCOMPARE(shown, typed);
        });
    }

    void aChangedValueLosesItsInterpretation_data()
    {
        QTest::addColumn<QString>("keys"); // typed, or F2 / N
        QTest::addColumn<QString>("value");
        QTest::newRow("typed") << "1.5"
                               << "1.5";
        QTest::newRow("F2 word") << "F2"
                                 << "POSITIVE";
        QTest::newRow("NULL") << "N"
                              << "NULL";
    }
    void aChangedValueLosesItsInterpretation()
    {
        QFETCH(QString, keys);
        QFETCH(QString, value);
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            QCOMPARE(w.msfgRequest->TextMatrix(1, 4), QStringLiteral("NON-REACTIVE"));
            clickValue(w, 1);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 4), QStringLiteral("NON-REACTIVE")); // shown only
            if (keys == QLatin1String("F2"))
                QTest::keyClick(w.txtResult, Qt::Key_F2);
            else
                QTest::keyClicks(w.txtResult, keys);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), value);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 4), QString());
            QCOMPARE(w.msfgRequest->TextMatrix(2, 4), QStringLiteral("EQUIVOCAL")); // others stay
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            const QStringList saves = f.db->trace().filter(QStringLiteral("'HBSAG'"));
            QVERIFY2(saves.filter(QRegularExpression(QStringLiteral("'%1', '[^']*', '', '")
                                                         .arg(QRegularExpression::escape(value))))
                             .size() == 1,
                     qPrintable(saves.join('\n')));
        });
        QCOMPARE(stored(f, QStringLiteral("PatientValue"), "L-1006", "HBSAG"), value);
        QVERIFY(stored(f, QStringLiteral("Result"), "L-1006", "HBSAG") != "NON-REACTIVE");
    }

    void aChangedSiValueLosesItsConventionalValue_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("derived");
        QTest::newRow("new value") << "6.1"
                                   << "110";
        QTest::newRow("the same value typed again") << "5.5"
                                                    << "99";
    }
    void aChangedSiValueLosesItsConventionalValue()
    {
        QFETCH(QString, typed);
        QFETCH(QString, derived);
        f.entry->EditMode(true);
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            QCOMPARE(w.msfgRequest->TextMatrix(1, 8), QStringLiteral("99"));
            clickValue(w, 1);
            QTest::keyClicks(w.txtResult, typed);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), typed);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 8), QString());
            QCOMPARE(w.msfgRequest->TextMatrix(2, 8).isEmpty(), false);
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
        });
        // The summary carries the conventional value the laboratory derived,
        // never the stale one, and agrees with what is stored and printed.
        const QStringList summaries =
            f.db->trace().filter(QStringLiteral("Lab_SaveDump_ResultSummary"));
        QCOMPARE(summaries.first(), QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', '") +
                                        typed + QStringLiteral(" (3.9 - 6.1 mmol/L)") + derived +
                                        QStringLiteral(" (70 - 110 mg/dL)'"));
        QCOMPARE(stored(f, QStringLiteral("SIResult"), "L-1016", "GLU"), typed);
        auto rs = session().LabDb->openRecordset(
            QStringLiteral("LABORATORY..Lab_FormMaker_GetResult_ReagentValues  'L-1016'"),
            CursorOptions::clientDynamic());
        QCOMPARE(rs->textOrEmpty(QStringLiteral("ExamCode")), QStringLiteral("GLU"));
        QCOMPARE(rs->textOrEmpty(QStringLiteral("CResult")), derived);
    }

    void typingReplacesTheValue_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("click") << "click";
        QTest::newRow("Enter from the row above") << "enter";
        QTest::newRow("Down from the row above") << "down";
        QTest::newRow("Up from the row below") << "up";
    }
    void typingReplacesTheValue()
    {
        QFETCH(QString, how);
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            clickValue(w, how == QLatin1String("click") ? 2 : how == QLatin1String("up") ? 3 : 1);
            if (how == QLatin1String("enter"))
                QTest::keyClick(w.txtResult, Qt::Key_Return);
            else if (how == QLatin1String("down"))
                QTest::keyClick(w.txtResult, Qt::Key_Down);
            else if (how == QLatin1String("up"))
                QTest::keyClick(w.txtResult, Qt::Key_Up);
            QCOMPARE(w.msfgRequest->Row(), 2);
            QCOMPARE(w.txtResult->selectedText(), QStringLiteral("0.9"));
            QTest::keyClicks(w.txtResult, QStringLiteral("1.5"));
            QCOMPARE(w.msfgRequest->TextMatrix(2, 3), QStringLiteral("1.5"));
            f.presenter.queueAnswer(MsgAnswer::Yes); // discard on closing
        });
    }

    void nIsNullOnlyAsTheFirstKey_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("value");
        for (const char* word : {"Non-reactive", "Nil", "Not detected", "negative"})
            QTest::newRow(word) << word << word;
        QTest::newRow("N alone") << "N"
                                 << "NULL";
        QTest::newRow("n alone") << "n"
                                 << "NULL";
        QTest::newRow("n again over NULL") << "Nn"
                                           << "NULL";
        QTest::newRow("n after digits") << "5n"
                                        << "5n";
    }
    void nIsNullOnlyAsTheFirstKey()
    {
        QFETCH(QString, typed);
        QFETCH(QString, value);
        f.entry->EditMode(true);
        f.open<CutOff>(QStringLiteral("L-1006"), [&](CutOff& w) {
            clickValue(w, 1); // the whole value selected
            QTest::keyClicks(w.txtResult, typed);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), value);
            w.txtResult->clear(); // an empty cell behaves the same
            QTest::keyClicks(w.txtResult, typed);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 3), value);
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
    }

    void normalValuesRefuseMiswrittenNumbers_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("hint"); // empty: accepted
        QTest::newRow("comma") << "12,4"
                               << "Use a point: 12.4";
        QTest::newRow("exponent") << "1e9"
                                  << "Write it out: 1000000000";
        QTest::newRow("word") << "abc"
                              << "Use a number with a point (12.4)";
        QTest::newRow("digits then text") << "12abc"
                                          << "Use a number with a point (12.4)";
        QTest::newRow("number") << "12.4"
                                << "";
        QTest::newRow("F3 word") << "NEGATIVE"
                                 << "";
        QTest::newRow("NULL") << "NULL"
                              << "";
        QTest::newRow("below") << "<0.5"
                               << "";
        QTest::newRow("above") << ">100"
                               << "";
    }
    void normalValuesRefuseMiswrittenNumbers()
    {
        QFETCH(QString, typed);
        QFETCH(QString, hint);
        const bool refused = !hint.isEmpty();
        f.entry->EditMode(true);
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            clickValue(w, 1);
            w.txtResult->setText(typed);
            QTest::keyClick(w.txtResult, Qt::Key_Return);
            QCOMPARE(w.msfgRequest->Row(), refused ? 1 : 2);
            if (refused) {
                QCOMPARE(f.presenter.messages().size(), 1);
                QVERIFY2(f.presenter.messages()[0].text.contains(hint),
                         qPrintable(f.presenter.messages()[0].text));
                // Clicking another row keeps the editor on this one too.
                clickValue(w, 3);
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
        QCOMPARE(stored(f, QStringLiteral("SIResult"), "L-1016", "GLU"),
                 refused ? QStringLiteral("5.5") : typed);
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND VerifiedBy = 'MT01'"),
                 refused ? 0 : 6);
    }

    void unsavedWorkIsNotDiscardedUnasked_data()
    {
        QTest::addColumn<QString>("change"); // typed, taken over, remarks, none
        QTest::addColumn<bool>("closeBox");
        QTest::addColumn<bool>("discard");
        QTest::newRow("typed, Exit, kept") << "typed" << false << false;
        QTest::newRow("typed, close box, discarded") << "typed" << true << true;
        QTest::newRow("taken over, Exit, kept") << "taken over" << false << false;
        QTest::newRow("remarks, close box, kept") << "remarks" << true << false;
        QTest::newRow("saved, then nothing") << "saved" << false << false;
        QTest::newRow("nothing") << "none" << true << false;
    }
    void unsavedWorkIsNotDiscardedUnasked()
    {
        QFETCH(QString, change);
        QFETCH(bool, closeBox);
        QFETCH(bool, discard);
        const bool asks = change != QLatin1String("saved") && change != QLatin1String("none");
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            if (change == QLatin1String("typed") || change == QLatin1String("saved")) {
                QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
                if (change == QLatin1String("saved")) {
                    QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                    QVERIFY(!w.cmdSave->isEnabled());
                    // A correction after the save can be saved again.
                    clickValue(w, 1);
                    QTest::keyClicks(w.txtResult, QStringLiteral("0.5"));
                    QVERIFY(w.cmdSave->isEnabled());
                    QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                    QVERIFY(f.presenter.messages().isEmpty());
                    return;
                }
                clickValue(w, 1);
                QTest::keyClicks(w.txtResult, QStringLiteral("0.5"));
            } else if (change == QLatin1String("taken over")) {
                QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
            } else if (change == QLatin1String("remarks")) {
                w.txtRemarks->setFocus();
                QTest::keyClicks(w.txtRemarks, QStringLiteral("haemolysed"));
            }
            f.presenter.queueAnswer(discard ? MsgAnswer::Yes : MsgAnswer::No);
            if (closeBox)
                w.close();
            else
                QTest::mouseClick(w.cmdClose, Qt::LeftButton);
            if (asks) {
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{QStringLiteral("Discard the unsaved results of L-1001?")});
                QCOMPARE(f.presenter.messages()[0].buttons, MsgButtons::YesNo);
                QCOMPARE(f.presenter.messages()[0].defaultAnswer, MsgAnswer::No);
            } else {
                QVERIFY(f.presenter.messages().isEmpty());
            }
            QCOMPARE(w.isVisible(), asks && !discard);
            f.presenter.clear();
            f.presenter.queueAnswer(MsgAnswer::Yes);
        });
        if (change == QLatin1String("saved"))
            QCOMPARE(stored(f, QStringLiteral("PatientValue"), "L-1001", "HBSAG"), "0.5");
        else
            QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1001'"), 0);
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
            clickValue(w, 1);
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
        const QString longNumber = QStringLiteral("S-20240307-000102");
        f.db->exec(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET SampleNum = '%1' "
                                  "WHERE SampleNum = '102'")
                       .arg(longNumber));
        f.open<CutOff>(QStringLiteral("L-1005"), [&](CutOff& w) {
            QCOMPARE(w.txtAccNum->text(), longNumber);
            if (typed) {
                w.txtAccNum->setFocus();
                QTest::keyClick(w.txtAccNum, Qt::Key_End);
                QTest::keyClick(w.txtAccNum, Qt::Key_X); // no longer than it was
                QCOMPARE(w.txtAccNum->text(), longNumber);
                w.txtAccNum->selectAll();
                QTest::keyClicks(w.txtAccNum, QStringLiteral("ACC-0123456789-XYZ"));
                QCOMPARE(w.txtAccNum->text(), QStringLiteral("ACC-0123456789-"));
            }
            QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
        });
        QCOMPARE(f.db->query(QStringLiteral("SELECT AccessionNum FROM tbLabResultHeader WHERE "
                                            "RequestNum = 'L-1005'"))
                     .rows.value(0)
                     .value(0)
                     .toString(),
                 typed ? QStringLiteral("ACC-0123456789-") : longNumber);
    }

    void exitWorksWithAnEmptyAccessionNumber_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("Exit clicked") << "click";
        QTest::newRow("Alt+X") << "alt";
        QTest::newRow("close box") << "box";
    }
    void exitWorksWithAnEmptyAccessionNumber()
    {
        QFETCH(QString, how);
        f.open<CutOff>(QStringLiteral("L-1007"), [&](CutOff& w) {
            QVERIFY(w.txtAccNum->text().isEmpty());
            // A refused click elsewhere first must not swallow Exit.
            w.txtAccNum->setFocus();
            QTest::mouseClick(w.txtRemarks->viewport(), Qt::LeftButton);
            QCOMPARE(f.presenter.messages().size(), 1);
            f.presenter.clear();
            w.txtAccNum->setFocus();
            if (how == QLatin1String("click"))
                QTest::mouseClick(w.cmdClose, Qt::LeftButton);
            else if (how == QLatin1String("alt"))
                QTest::keyClick(w.txtAccNum, Qt::Key_X, Qt::AltModifier);
            else
                w.close();
            QTRY_VERIFY(!w.isVisible());
            QVERIFY(f.presenter.messages().isEmpty());
        });
    }

    void savedHeaderKeepsTheHostsEntryMode_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("damage"); // SQL run before opening
        QTest::addColumn<QString>("message");
        QTest::newRow("cut-off, header without rows, re-entry")
            << "L-1006"
            << "DELETE FROM tbLabResult WHERE RequestNum = 'L-1006'"
            << "";
        QTest::newRow("cut-off, unreadable header") << "L-1006"
                                                    << "UPDATE tbLabResultHeader SET LRATime = NULL"
                                                    << "Error 94: Invalid use of Null";
        QTest::newRow("normal values, header read once") << "L-1016"
                                                         << ""
                                                         << "";
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
            const QString header = QStringLiteral("Lab_FormMaker_GetResult '%1'").arg(request);
            QCOMPARE(trace.count(header), 1);
            if (request == QLatin1String("L-1016")) {
                // In its place: after the sample, before the saved values.
                const auto at = [&](const QString& start) {
                    return trace.indexOf(QRegularExpression(
                        QStringLiteral("^") + QRegularExpression::escape(start) + ".*"));
                };
                QVERIFY(at("LABORATORY..sp_InstrumentGetAxsymSample  '3'") < trace.indexOf(header));
                QVERIFY(trace.indexOf(header) <
                        at("LABORATORY..Lab_FormMaker_GetResult_ReagentValues"));
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

    void reCheckedMarkKeepsTheRequestNumber()
    {
        f.entry->EditMode(true);
        f.open<Normal>(QStringLiteral("L-1016"), [&](Normal& w) {
            FlexGrid* g = w.msfgRequest;
            clickValue(w, 1);
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            const QColor shade = g->item(0, 2)->background().color();
            QVERIFY(shade.isValid() && shade != g->palette().base().color());
            QTest::keyClick(w.txtResult, Qt::Key_F6);
            QCOMPARE(g->item(0, 2)->background().style(), Qt::NoBrush);
            g->setFocus();
            QTest::keyClick(g, Qt::Key_F3);
            for (int r = 1; r < g->Rows(); ++r)
                QCOMPARE(g->TextMatrix(r, 0), QStringLiteral("L-1016"));
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QVERIFY(!w.isVisible());
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND VerifiedBy = 'MT01'"), 6);
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstEditing)
#include "tst_editing.moc"
