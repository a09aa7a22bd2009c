#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "platform/db/ConnectionString.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/GridCells.h"
#include "screens/result_entry/frmDownloaded.h"
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

// A button's mnemonic, pressed where the focus is; it clicks a moment later.
void alt(Qt::Key key)
{
    QTest::keyClick(QApplication::focusWidget(), key, Qt::AltModifier);
    QTest::qWait(150);
}

const QString kNotLookedUp =
    QStringLiteral("Sample %1 has not been looked up: press Enter in Sample Number to look it up "
                   "first.");
} // namespace

// Taking instrument results over and looking samples up: nothing on the
// screen or saved is lost without a question, no other patient's sample is
// used unasked, and only the sample looked up is ever taken over or posted.
class TstTakeoverLookup : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
    }
    void cleanup() { f.tearDown(); }

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
            QCOMPARE(F::column(g, 1), items);
            QCOMPARE(F::column(g, 3), saved);
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
                QCOMPARE(F::column(g, 1), items);
                QCOMPARE(F::column(g, 3), saved);
                return;
            }
            // Enter in the empty Sample Number searches the day; 103 is picked.
            f.presenter.queueWindow([](QWidget& d) {
                auto* msfgSampleNum = control<FlexGrid>(d, "msfgSampleNum");
                QVERIFY(d.findChild<QLabel*>(QStringLiteral("lblHeader(3)"))); // shaded
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
            alt(Qt::Key_R);
            QVERIFY(w.ResultTakenOver);
            QCOMPARE(F::column(g, 1), items);
            QCOMPARE(F::column(g, 3), saved);
            // Conventional units of the taken-over glucose are left to the database.
            QVERIFY(g->TextMatrix(1, 8).isEmpty() && !g->TextMatrix(2, 8).isEmpty());
            f.presenter.clear();
            if (step == QLatin1String("save")) {
                f.db->clearTrace();
                f.presenter.queueAnswer(MsgAnswer::Yes);
                alt(Qt::Key_S);
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
            alt(Qt::Key_R);
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
            alt(Qt::Key_S);
            QVERIFY(!w.isVisible());
        });
        if (step == QLatin1String("save")) {
            QCOMPARE(f.db->trace().filter("Lab_FormMaker_SaveResultWithNormalValues2").size(), 7);
            QCOMPARE(f.stored("SIResult", "L-1016", "CREA"), "97");
            QCOMPARE(f.stored("Verified", "L-1016", "K"), "N"); // stored empty, never verified
        }
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
                f.db->clearTrace();
                QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
                QVERIFY(f.presenter.messages().isEmpty());
                QVERIFY(f.db->trace().contains(
                    QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','%1','L-1008','MT01',"
                                   "'03/07/2024','AN-01'")
                        .arg(sample)));
            }
            w.close();
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1008'"), yes ? 1 : 0);
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE PostedRequestNum = 'L-1008'"),
                 yes ? 1 : 0);
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
            QCOMPARE(msfgDLresult->Rows(), 2);
            QCOMPARE(msfgDLresult->TextMatrix(1, 1), QString());
            msfgRequest->setTextMatrix(1, 3, QStringLiteral("typed"));
            const auto finalResults = [&] {
                QStringList cells;
                for (int r = 1; r < msfgRequest->Rows(); ++r)
                    for (int c = 0; c < msfgRequest->Cols(); ++c)
                        cells << msfgRequest->TextMatrix(r, c);
                return cells;
            };
            const QStringList before = finalResults();
            // Another workstation's instrument interface stores sample 105
            // (and sample 101, which this window does not show).
            auto other = openLaboratory(ConnectionString::parse(f.db->connectionString()));
            other->begin();
            for (const char* item : {"HBsAg", "aHBs"})
                other->exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                           "SampleNum, Resultdate, InstrumentItem, ResultValue, "
                                           "refnum) VALUES ('AN-01', '105', "
                                           "'2024-03-07 10:15:00', ?, '0.38', 'REF-5017')"),
                            {QLatin1String(item)});
            other->notify(downloadsChannel(), QStringLiteral("AN-01|101"));
            other->notify(downloadsChannel(), QStringLiteral("AN-01|105"));
            other->commit();
            QTRY_COMPARE(msfgDLresult->Rows(), 3);
            QCOMPARE(control<QLineEdit>(w, "txtSampleNum")->text(), QStringLiteral("105"));
            QCOMPARE(finalResults(), before);
            QVERIFY(control<QPushButton>(w, "cmdResetResult")->isEnabled());
        });
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstTakeoverLookup)
#include "tst_takeover_lookup.moc"
