#include "WindowFixture.h"
#include "frmDownloaded.h"
#include "frmNVDownloads.h"
#include "frmSampleSearch.h"

namespace {
using CutOff = WindowFixture::CutOffWithoutReport;
using NormalValues = WindowFixture::NormalValuesWithoutReport;

void typeSample(ResultEntryForm& w, const QString& text)
{
    w.txtSampleNum->setFocus();
    w.txtSampleNum->selectAll();
    if (text.isEmpty())
        QTest::keyClick(w.txtSampleNum, Qt::Key_Delete);
    else
        QTest::keyClicks(w.txtSampleNum, text);
}

void enter(ResultEntryForm& w, const QString& sample)
{
    typeSample(w, sample);
    QTest::keyClick(w.txtSampleNum, Qt::Key_Return);
}

void useResult(ResultEntryForm& w)
{
    QTest::mouseClick(w.cmdResetResult, Qt::LeftButton);
}

QStringList column(FlexGrid* g, int col)
{
    QStringList texts;
    for (int r = 1; r < g->Rows(); ++r)
        texts << g->TextMatrix(r, col).trimmed();
    return texts;
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
        QTest::newRow("take-over replaces glucose, keeps the rest") << "save";
        QTest::newRow("reset puts the saved rows back") << "reset";
        QTest::newRow("reset after typing, answered No") << "typed reset no";
        QTest::newRow("manual entry over saved rows, answered No") << "manual no";
    }
    void savedRowsAreKept()
    {
        QFETCH(QString, step);
        f.entry->EditMode(true);
        const QStringList saved = {"5.5", "97", "6.1", "410", "5.9", "1.2"};
        f.open<NormalValues>(QStringLiteral("L-1016"), [&](NormalValues& w) {
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(column(g, 3), saved);
            if (step == QLatin1String("manual no")) {
                f.presenter.queueWindow([](QWidget& d) {
                    QTest::mouseClick(static_cast<frmSampleSearch&>(d).cmdCancel, Qt::LeftButton);
                });
                f.presenter.queueAnswer(MsgAnswer::Yes); // type by hand
                QTest::mouseClick(w.cmdSearchSampleNum, Qt::LeftButton);
                const MessageRequest& asked = f.presenter.messages().last();
                QCOMPARE(asked.buttons, MsgButtons::YesNo);
                QCOMPARE(asked.defaultAnswer, MsgAnswer::No);
                QVERIFY(asked.text.contains(QStringLiteral("will be removed")));
                QCOMPARE(column(g, 3), saved);
                QVERIFY(w.dtpResultDate->isEnabled());
                return;
            }
            f.presenter.queueAnswer(MsgAnswer::Yes); // O'BRIEN's sample for REYES
            enter(w, QStringLiteral("103"));
            QCOMPARE(w.txtPName->text(), QStringLiteral("O'BRIEN, MARY A"));
            useResult(w);
            QVERIFY(w.ResultTakenOver);
            QCOMPARE(column(g, 1), (QStringList{"GLU", "CREA", "UREA", "URIC", "CHOL", "TRIG"}));
            QCOMPARE(column(g, 3), saved);
            QCOMPARE(g->TextMatrix(1, 8), QString()); // conventional units left to the database
            QVERIFY(!g->TextMatrix(2, 8).isEmpty());
            if (step == QLatin1String("save")) {
                f.db->clearTrace();
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                QVERIFY(!w.isVisible());
                return;
            }
            if (step == QLatin1String("typed reset no")) {
                QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                                  g->visualRect(g->model()->index(1, 2)).center());
                QTest::keyClicks(w.txtResult, QStringLiteral("0"));
                f.presenter.queueAnswer(MsgAnswer::No);
            }
            useResult(w);
            const bool kept = step == QLatin1String("typed reset no");
            QCOMPARE(w.ResultTakenOver, kept);
            QCOMPARE(g->TextMatrix(2, 3), kept ? "0" : "97");
            QCOMPARE(g->TextMatrix(1, 8), kept ? QString() : QStringLiteral("99"));
            QCOMPARE(g->Rows(), 7);
        });
        if (step == QLatin1String("save")) {
            QCOMPARE(f.db->trace().filter("Lab_FormMaker_SaveResultWithNormalValues2").size(), 6);
            QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016'"), 6);
            QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1016' AND ItemID = 'CREA' AND "
                             "SIResult = '97'"),
                     1);
            QCOMPARE(f.count("tbLabResultSummary WHERE RequestNum = 'L-1016'"), 1);
        }
    }

    void nothingToSaveKeepsTheWindowOpen_data()
    {
        QTest::addColumn<QString>("request");
        QTest::newRow("cut-off") << "L-1007";
        QTest::newRow("normal values") << "L-1010";
    }
    void nothingToSaveKeepsTheWindowOpen()
    {
        QFETCH(QString, request);
        const auto check = [&](ResultEntryForm& w) {
            w.txtAccNum->setText(QStringLiteral("A-1"));
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{QStringLiteral("There are no results to save.")});
            QVERIFY(w.isVisible() && w.cmdSave->isEnabled());
            w.close();
        };
        if (request == QLatin1String("L-1007"))
            f.open<CutOff>(request, check);
        else
            f.open<NormalValues>(request, check);
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum IN ('L-1007', 'L-1010')"), 0);
    }

    // L-1008 (LIM, GRACE SY; REF-5007) has no sample of its own.
    void anotherPatientsSampleIsAskedFor_data()
    {
        QTest::addColumn<QString>("sample");
        QTest::addColumn<QString>("asked"); // the patient named in the question; "" no question
        QTest::addColumn<bool>("yes");
        QTest::newRow("another reference, No") << "102"
                                               << "TAN, ROBERT C" << false;
        QTest::newRow("another reference, Yes") << "102"
                                                << "TAN, ROBERT C" << true;
        QTest::newRow("no reference, name abbreviated") << "120"
                                                        << "" << true;
        QTest::newRow("no reference, no name, Yes") << "121"
                                                    << "no patient name" << true;
        QTest::newRow("no reference, another name, No") << "122"
                                                        << "LIM, GRACIA" << false;
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
        f.open<CutOff>(QStringLiteral("L-1008"), [&](CutOff& w) {
            w.txtAccNum->setText(QStringLiteral("A-8"));
            f.presenter.queueAnswer(yes ? MsgAnswer::Yes : MsgAnswer::No);
            if (sample == QLatin1String("102")) { // picked from the search
                f.presenter.queueWindow([](QWidget& d) {
                    FlexGrid* g = static_cast<frmSampleSearch&>(d).msfgSampleNum;
                    QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                                      g->visualRect(g->model()->index(1, 0)).center());
                });
                QTest::mouseClick(w.cmdSearchSampleNum, Qt::LeftButton);
            } else {
                enter(w, sample);
            }
            if (asked.isEmpty()) {
                QVERIFY(f.presenter.messages().isEmpty());
            } else {
                const MessageRequest& q = f.presenter.messages().value(0);
                QCOMPARE(q.text, QStringLiteral("Sample %1 (%2) is not of this request's patient "
                                                "(LIM, GRACE SY).\n\nUse its results for request "
                                                "L-1008?")
                                     .arg(sample, asked));
                QCOMPARE(q.defaultAnswer, MsgAnswer::No);
            }
            const bool taken = yes;
            QCOMPARE(w.txtAccNum->text(), taken ? sample : QStringLiteral("A-8"));
            const FlexGrid* dl = w.msfgDLresult;
            QCOMPARE(dl->Cols() > 4 ? dl->TextMatrix(1, 4) : QString(), taken ? "NS1" : "");
            QCOMPARE(w.dtpResultDate->isEnabled(), !taken);
            f.presenter.clear();
            useResult(w);
            if (!taken) {
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{sample == QLatin1String("102")
                                         ? QStringLiteral("No sample has been looked up: there "
                                                          "are no instrument results to use.")
                                         : kNotLookedUp.arg(sample)});
                QVERIFY(!w.ResultTakenOver);
                w.close();
                return;
            }
            QCOMPARE(w.msfgRequest->TextMatrix(1, 1), QStringLiteral("NS1"));
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QVERIFY(f.db->trace().contains(
                QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','%1','L-1008','MT01',"
                               "'03/07/2024','AN-01'")
                    .arg(sample)));
            w.close();
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1008'"), yes ? 1 : 0);
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE Posted = 'Y'"), yes ? 1 : 0);
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum = 'L-1008'"), yes ? 1 : 0);
    }

    // L-1001 opens with its own sample 101 looked up.
    void typedSampleIsLookedUp_data()
    {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("message");
        QTest::newRow("found, another patient") << "102"
                                                << "";
        QTest::newRow("not found") << "999"
                                   << "Sample 999 was not found among the results of "
                                      "Integrated Analyzer AN-01 for 03/07/2024.";
        QTest::newRow("typed, Enter never pressed") << "102"
                                                    << "-";
    }
    void typedSampleIsLookedUp()
    {
        QFETCH(QString, typed);
        QFETCH(QString, message);
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            f.db->clearTrace();
            f.presenter.queueAnswer(MsgAnswer::Yes);
            if (message == QLatin1String("-"))
                typeSample(w, typed);
            else
                enter(w, typed);
            const bool found = message.isEmpty();
            if (message != QLatin1String("-")) {
                QCOMPARE(f.db->trace().value(0),
                         QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '1','03/07/2024',"
                                        "'AN-01','%1','', 'REF-5001'")
                             .arg(typed));
                QCOMPARE(f.presenter.messages().value(0).text.isEmpty(), false);
                if (!found)
                    QCOMPARE(f.presenter.messageTexts(), QStringList{message});
            }
            QCOMPARE(w.txtSampleNum->text(), typed);
            QCOMPARE(w.txtPName->text(), found ? "TAN, ROBERT C" : "");
            QCOMPARE(w.msfgDLresult->TextMatrix(1, 4), found ? "NS1" : "HBSAG");
            f.presenter.clear();
            useResult(w);
            if (found) {
                QVERIFY(w.ResultTakenOver); // NS1 is not among HEPB's exams
                QCOMPARE(w.msfgRequest->TextMatrix(1, 1), QString());
            } else {
                QCOMPARE(f.presenter.messageTexts(), QStringList{kNotLookedUp.arg(typed)});
                QVERIFY(!w.ResultTakenOver);
            }
            w.close();
        });
    }

    void onlyTheLookedUpSampleIsPosted_data()
    {
        QTest::addColumn<QString>("box");
        QTest::addColumn<QString>("refusal"); // "" when it posts 101
        QTest::newRow("as looked up") << "101"
                                      << "";
        QTest::newRow("blanks around") << " 101 "
                                       << "";
        QTest::newRow("an r typed after") << "101r"
                                          << "Sample Number shows \"101r\", not the sample "
                                             "looked up (101): put 101 back or look the sample "
                                             "up again.";
        QTest::newRow("cleared") << ""
                                 << "Sample Number shows \"\", not the sample looked up (101): "
                                    "put 101 back or look the sample up again.";
    }
    void onlyTheLookedUpSampleIsPosted()
    {
        QFETCH(QString, box);
        QFETCH(QString, refusal);
        f.open<CutOff>(QStringLiteral("L-1001"), [&](CutOff& w) {
            useResult(w);
            QCOMPARE(column(w.msfgRequest, 1), (QStringList{"HBSAG", "ANTIHBS", "ANTIHBC", ""}));
            typeSample(w, box);
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            if (refusal.isEmpty()) {
                QVERIFY(f.presenter.messages().isEmpty());
                QCOMPARE(f.db->trace().filter(QStringLiteral("Lab_UpdateDLHemaResult")),
                         QStringList(3, QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2',"
                                                       "'101','L-1001','MT01','03/07/2024',"
                                                       "'AN-01'")));
            } else {
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{QStringLiteral("Data was not saved! Error: [") + refusal +
                                     QStringLiteral("]")});
                QVERIFY(f.db->trace().isEmpty());
                QVERIFY(w.isVisible() && w.cmdSave->isEnabled());
                QCOMPARE(w.msfgRequest->TextMatrix(1, 3), QStringLiteral("0.42"));
            }
            w.close();
        });
        const int posted = refusal.isEmpty() ? 3 : 0;
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE SampleNum = '101' AND Posted = 'Y'"),
                 posted);
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1001'"), posted);
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum = 'L-1001'"), posted ? 1 : 0);
    }

private:
    WindowFixture f;
    WindowFixture::WithoutReports m_factory;
};

QTEST_MAIN(TstTakeoverLookup)
#include "tst_takeover_lookup.moc"
