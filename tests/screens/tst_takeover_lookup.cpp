#include "ConnectionString.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"
#include "WindowFixture.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"
#include "frmSampleSearch.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using NormalValues = WindowFixture::NormalValuesWithoutReport;
using F = WindowFixture;

// Types over Sample Number; with Enter that looks the sample up.
void typeSample(ResultEntryForm& w, const QString& text, bool enter = false)
{
    w.txtSampleNum->setFocus();
    w.txtSampleNum->selectAll();
    QTest::keyClicks(w.txtSampleNum, text);
    if (text.isEmpty())
        QTest::keyClick(w.txtSampleNum, Qt::Key_Delete);
    if (enter)
        QTest::keyClick(w.txtSampleNum, Qt::Key_Return);
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

    // L-1016 opens with six saved results; sample 103 (another patient)
    // brings glucose only.
    void savedRowsAreKept_data()
    {
        QTest::addColumn<QString>("step");
        F::row("take-over replaces glucose, keeps the rest", "save");
        F::row("reset puts the saved rows back", "reset");
        F::row("reset after typing, answered No", "typed reset no");
        F::row("manual entry over saved rows, answered No", "manual no");
    }
    void savedRowsAreKept()
    {
        QFETCH(QString, step);
        f.entry->EditMode(true);
        const QStringList saved = {"5.5", "97", "6.1", "410", "5.9", "1.2"};
        f.open<NormalValues>(QStringLiteral("L-1016"), [&](NormalValues& w) {
            FlexGrid* g = w.msfgRequest;
            if (step == QLatin1String("manual no")) {
                f.presenter.queueWindow([](QWidget& d) {
                    QTest::mouseClick(static_cast<frmSampleSearch&>(d).cmdCancel, Qt::LeftButton);
                });
                f.presenter.queueAnswer(MsgAnswer::Yes); // type by hand
                QTest::mouseClick(w.cmdSearchSampleNum, Qt::LeftButton);
                const MessageRequest& asked = f.presenter.messages().last();
                QCOMPARE(asked.defaultAnswer, MsgAnswer::No);
                QVERIFY(asked.text.contains(QStringLiteral("will be removed")));
                QCOMPARE(F::column(g, 3), saved);
                QVERIFY(w.dtpResultDate->isEnabled());
                return;
            }
            f.presenter.queueAnswer(MsgAnswer::Yes); // O'BRIEN's sample for REYES
            typeSample(w, QStringLiteral("103"), true);
            F::useResult(w);
            QVERIFY(w.ResultTakenOver);
            QCOMPARE(F::column(g, 1), (QStringList{"GLU", "CREA", "UREA", "URIC", "CHOL", "TRIG"}));
            QCOMPARE(F::column(g, 3), saved);
            // Conventional units of the taken-over glucose are left to the database.
            QVERIFY(g->TextMatrix(1, 8).isEmpty() && !g->TextMatrix(2, 8).isEmpty());
            if (step == QLatin1String("save")) {
                f.db->clearTrace();
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                QVERIFY(!w.isVisible());
                return;
            }
            const bool kept = step == QLatin1String("typed reset no");
            if (kept) {
                F::clickCell(g, 2, 2);
                QTest::keyClicks(w.txtResult, QStringLiteral("0"));
                f.presenter.queueAnswer(MsgAnswer::No);
            }
            F::useResult(w);
            QCOMPARE(w.ResultTakenOver, kept);
            QCOMPARE(QString::number(g->Rows()) + ' ' + g->TextMatrix(2, 3) + ' ' +
                         g->TextMatrix(1, 8),
                     kept ? "7 0 " : "7 97 99");
        });
        if (step == QLatin1String("save")) {
            QCOMPARE(f.db->trace().filter("Lab_FormMaker_SaveResultWithNormalValues2").size(), 6);
            QCOMPARE(f.stored("SIResult", "L-1016", "CREA"), "97");
            QCOMPARE(f.count("tbLabResultSummary WHERE RequestNum = 'L-1016'"), 6); // one a row
        }
    }

    void nothingToSaveKeepsTheWindowOpen()
    {
        for (const char* request : {"L-1007", "L-1010"}) { // cut-off, normal values
            f.presenter.clear();
            f.open<ResultEntryForm>(request, [&](ResultEntryForm& w) {
                w.txtAccNum->setText(QStringLiteral("A-1"));
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                QCOMPARE(f.presenter.messageTexts(), QStringList{"There are no results to save."});
                QVERIFY(w.isVisible() && w.cmdSave->isEnabled());
                w.close();
            });
        }
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum IN ('L-1007', 'L-1010')"), 0);
    }

    // L-1008 (LIM, GRACE SY; REF-5007) has no sample of its own; 102 is
    // picked from the search, the others typed.
    void anotherPatientsSampleIsAskedFor_data()
    {
        QTest::addColumn<QString>("sample");
        QTest::addColumn<QString>("asked"); // the patient named in the question; "" no question
        QTest::addColumn<bool>("yes");
        F::row("another reference, No", "102", "TAN, ROBERT C", false);
        F::row("another reference, Yes", "102", "TAN, ROBERT C", true);
        F::row("no reference, name abbreviated", "120", "", true);
        F::row("no reference, no name, Yes", "121", "no patient name", true);
        F::row("no reference, another name, No", "122", "LIM, GRACIA", false);
    }
    void anotherPatientsSampleIsAskedFor()
    {
        QFETCH(QString, sample);
        QFETCH(QString, asked);
        QFETCH(bool, yes);
        for (auto [num, name] :
             {std::pair{"120", "lim ,  grace s"}, {"121", ""}, {"122", "LIM, GRACIA"}})
            f.db->exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                      "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                      "PatientName) VALUES ('AN-01', '%1', '2024-03-07 10:00:00', "
                                      "'NS1Ag', '0.4', 'Index', '%2')")
                           .arg(QLatin1String(num), QLatin1String(name)));
        const bool searched = sample == QLatin1String("102");
        f.open<CutOff>(QStringLiteral("L-1008"), [&](CutOff& w) {
            w.txtAccNum->setText(QStringLiteral("A-8"));
            f.presenter.queueAnswer(yes ? MsgAnswer::Yes : MsgAnswer::No);
            if (searched) {
                f.presenter.queueWindow([](QWidget& d) {
                    F::clickCell(static_cast<frmSampleSearch&>(d).msfgSampleNum, 2, 0);
                });
                QTest::mouseClick(w.cmdSearchSampleNum, Qt::LeftButton);
            } else {
                typeSample(w, sample, true);
            }
            QCOMPARE(f.presenter.messageTexts(),
                     asked.isEmpty()
                         ? QStringList()
                         : QStringList{QStringLiteral("Sample %1 (%2) is not of this request's "
                                                      "patient (LIM, GRACE SY).\n\nUse its "
                                                      "results for request L-1008?")
                                           .arg(sample, asked)});
            if (!asked.isEmpty())
                QCOMPARE(f.presenter.messages()[0].defaultAnswer, MsgAnswer::No);
            QCOMPARE(w.txtAccNum->text(), yes ? sample : QStringLiteral("A-8"));
            QCOMPARE(w.dtpResultDate->isEnabled(), !yes);
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
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                QVERIFY(f.presenter.messages().isEmpty());
                QVERIFY(f.db->trace().contains(
                    QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','%1','L-1008','MT01',"
                                   "'03/07/2024','AN-01'")
                        .arg(sample)));
            }
            w.close();
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1008'"), yes ? 1 : 0);
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE Posted = 'Y'"), yes ? 1 : 0);
    }

    // L-1001 opens with its own sample 101 looked up.
    void typedSampleIsLookedUp_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<bool>("enter");
        F::row("found, another patient", "102", true);
        F::row("not found", "999", true);
        F::row("typed, Enter never pressed", "102", false);
    }
    void typedSampleIsLookedUp()
    {
        QFETCH(QString, typed);
        QFETCH(bool, enter);
        const bool found = enter && typed == QLatin1String("102");
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            f.db->clearTrace();
            f.presenter.queueAnswer(MsgAnswer::Yes);
            typeSample(w, typed, enter);
            if (enter)
                QCOMPARE(f.db->trace().value(0),
                         QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '1','03/07/2024',"
                                        "'AN-01','%1','', 'REF-5001'")
                             .arg(typed));
            if (enter && !found)
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{"Sample 999 was not found among the results of Integrated "
                                     "Analyzer AN-01 for 03/07/2024."});
            QCOMPARE(w.txtSampleNum->text() + '|' + w.txtPName->text() + '|' +
                         w.msfgDLresult->TextMatrix(1, 4),
                     typed + (found ? "|TAN, ROBERT C|NS1" : "||HBSAG"));
            f.presenter.clear();
            F::useResult(w);
            QCOMPARE(w.ResultTakenOver, found);
            if (found) // NS1 is not among HEPB's exams
                QCOMPARE(w.msfgRequest->TextMatrix(1, 1), QString());
            else
                QCOMPARE(f.presenter.messageTexts(), QStringList{kNotLookedUp.arg(typed)});
            w.close();
        });
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
            F::useResult(w);
            typeSample(w, box);
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
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
            QVERIFY(posts || (w.isVisible() && w.cmdSave->isEnabled() &&
                              w.msfgRequest->TextMatrix(1, 3) == QLatin1String("0.42")));
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
            QCOMPARE(w.msfgDLresult->Rows(), 2);
            QCOMPARE(w.msfgDLresult->TextMatrix(1, 1), QString());
            w.msfgRequest->setTextMatrix(1, 3, QStringLiteral("typed"));
            const auto finalResults = [&] {
                QStringList cells;
                for (int r = 1; r < w.msfgRequest->Rows(); ++r)
                    for (int c = 0; c < w.msfgRequest->Cols(); ++c)
                        cells << w.msfgRequest->TextMatrix(r, c);
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
            QTRY_COMPARE(w.msfgDLresult->Rows(), 3);
            QCOMPARE(w.txtSampleNum->text(), QStringLiteral("105"));
            QCOMPARE(finalResults(), before);
            QVERIFY(w.cmdResetResult->isEnabled());
        });
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstTakeoverLookup)
#include "tst_takeover_lookup.moc"
