#include "Caught.h"
#include "Clock.h"
#include "DemoLaboratory.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "ResultWindows.h"
#include "SavedResults.h"
#include "Screenshot.h"
#include "ScriptedPresenter.h"
#include "SettingsStore.h"
#include "TestDatabase.h"
#include "WindowFixture.h"
#include "clsLISResultEntry.h"
#include "frmDownloaded.h"
#include "frmSampleSearch.h"
#include "modMain.h"

#include <QApplication>
#include <QDateEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

namespace {
const QDate kDay(2024, 3, 7);
const QString kNoResults = QStringLiteral("No Result(s) Found for Integrated Analyzer AN-01");
const QString kManual =
    QStringLiteral("Sample not found.\nWould you like to manually enter the results.");
} // namespace

// Opening a cut-off request fills it from the laboratory database; "..."
// looks an instrument sample up through the sample search dialog.
class TstFillAndLookup : public QObject {
    Q_OBJECT
private slots:
    void init() { f.setUp(); }
    void cleanup() { f.tearDown(); }

    void fillFindsTheSample_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QString>("sample");
        QTest::addColumn<int>("downloadedRows");
        QTest::newRow("worklist")
            << "L-1001"
            << QStringList{"Select * from tbLabInstrumentHemaWorkList Where InstrumentID like "
                           "'AN-01' and refnum = 'REF-5001'",
                           "LABORATORY..sp_InstrumentGetAxsymSample  '3','03/07/2024','AN-01',"
                           "'101','', 'REF-5001'",
                           "LABORATORY..Lab_GetResultWithCutOff  'L-1001'",
                           "Lab_FormMaker_FillExams 'L-1001','0'"}
            << "101" << 5;
        QTest::newRow("downloaded only")
            << "L-1005"
            << QStringList{"Select * from tbLabInstrumentHemaWorkList Where InstrumentID like "
                           "'AN-01' and refnum = 'REF-5004'",
                           "select * from laboratory..tbLabInstrumentDLHemaResult Where "
                           "InstrumentID like 'AN-01' and refnum = 'REF-5004'",
                           "LABORATORY..sp_InstrumentGetAxsymSample  '3','03/07/2024','AN-01',"
                           "'102','', 'REF-5004'",
                           "LABORATORY..Lab_GetResultWithCutOff  'L-1005'",
                           "Lab_FormMaker_FillExams 'L-1005','0'"}
            << "102" << 2;
        QTest::newRow("neither")
            << "L-1007"
            << QStringList{"Select * from tbLabInstrumentHemaWorkList Where InstrumentID like "
                           "'AN-01' and refnum = 'REF-5006'",
                           "select * from laboratory..tbLabInstrumentDLHemaResult Where "
                           "InstrumentID like 'AN-01' and refnum = 'REF-5006'",
                           "LABORATORY..sp_InstrumentGetAxsymSample  '3','','AN-01','','', "
                           "'REF-5006'",
                           "LABORATORY..Lab_GetResultWithCutOff  'L-1007'",
                           "Lab_FormMaker_FillExams 'L-1007','0'"}
            << "" << 2;
    }
    void fillFindsTheSample()
    {
        QFETCH(QString, request);
        QFETCH(QStringList, commands);
        QFETCH(QString, sample);
        QFETCH(int, downloadedRows);
        f.open<frmDownloaded>(request, [&](frmDownloaded& w) {
            QCOMPARE(f.db->trace().mid(2), commands);
            QCOMPARE(w.txtSampleNum->text(), sample);
            QCOMPARE(w.txtAccNum->text(), sample);
            QCOMPARE(w.dtpResultDate->date(), kDay);
            QCOMPARE(w.msfgDLresult->Rows(), downloadedRows);
            QCOMPARE(w.msfgRequest->Rows(), 2);
            QVERIFY(w.grdExams->Rows() >= 2);
            QCOMPARE(w.grdExams->TextMatrix(1, 3), request);
            QVERIFY(w.cmdResetResult->isEnabled() && w.cmdSearchSampleNum->isEnabled());
            screenshot(w, QStringLiteral("filled-") + request);
        });
    }

    void savedResultsWithTheirInterpretation()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1006"), [&](frmDownloaded& w) {
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(g->Rows(), 5);
            const QStringList results = {"NON-REACTIVE", "EQUIVOCAL", "REACTIVE", "POSITIVE"};
            for (int r = 1; r <= 4; ++r) {
                QCOMPARE(g->TextMatrix(r, 4), results[r - 1]);
                QCOMPARE(g->TextMatrix(r, 7), QStringLiteral("L-1006"));
            }
            QCOMPARE(g->TextMatrix(1, 1), QStringLiteral("HBSAG"));
            QCOMPARE(g->TextMatrix(1, 3), QStringLiteral("0.35"));
            QCOMPARE(g->TextMatrix(1, 8), QStringLiteral("1"));
            QCOMPARE(g->TextMatrix(4, 8), QString()); // no cut-off saved
            QCOMPARE(w.grdExams->Rows(), 2);          // untouched
            QVERIFY(!w.dtpResultDate->isEnabled() && !w.cmdResetResult->isEnabled() &&
                    !w.cmdSearchSampleNum->isEnabled());
            screenshot(w, QStringLiteral("saved-L-1006"));
        });
    }

    void showResultValue()
    {
        f.db->exec(QStringLiteral("UPDATE tbLabInstrumentExams SET ShowResultValue = 'y' WHERE "
                                  "ItemID = 'NS1'"));
        f.db->exec(QStringLiteral("UPDATE tbLabInstrumentExams SET ShowResultValue = ' Y ' WHERE "
                                  "ItemID = 'HIV'"));
        f.open<frmDownloaded>(QStringLiteral("L-1007"), [&](frmDownloaded& w) {
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral(" HBSAG ")), QStringLiteral("Y"));
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral("HIV")), QStringLiteral("Y"));
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral("ANTIHBS")), QStringLiteral("N"));
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral("SYPH")), QStringLiteral("N")); // Null
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral("NS1")), QStringLiteral("y"));
            QCOMPARE(w.Get_ShowResultValue(QStringLiteral("NOPE")), QString());
        });
    }

    void lookUpAndPickASample()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1005"), [&](frmDownloaded& w) {
            w.txtSampleNum->clear();
            f.presenter.queueWindow([&](QWidget& d) {
                auto& dialog = static_cast<frmSampleSearch&>(d);
                QCOMPARE(dialog.windowTitle(), QStringLiteral("Sample Search"));
                FlexGrid* g = dialog.msfgSampleNum;
                QCOMPARE(g->Rows(), 6);
                QCOMPARE(g->ColWidth(0), 1500);
                QCOMPARE(g->ColWidth(1), 3000);
                QVERIFY(dialog.findChild<QLabel*>(QStringLiteral("lblHeader(3)")));
                screenshot(dialog, QStringLiteral("sample-search"));
                QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                                  g->visualRect(g->model()->index(1, 1)).center());
            });
            QTest::keyClick(w.txtSampleNum, Qt::Key_Return);
            QCOMPARE(w.txtSampleNum->text(), QStringLiteral("102"));
            QCOMPARE(w.txtAccNum->text(), QStringLiteral("102"));
            QCOMPARE(w.txtPName->text(), QStringLiteral("TAN, ROBERT C"));
            QCOMPARE(w.msfgDLresult->Rows(), 2);
            QCOMPARE(w.msfgDLresult->TextMatrix(1, 0), QStringLiteral("Dengue NS1 antigen"));
            QVERIFY(!w.dtpResultDate->isEnabled() && w.cmdResetResult->isEnabled());
            QVERIFY(f.db->trace().contains(
                QStringLiteral("sp_InstrumentGetHemaSampleNum '0','03/07/2024','AN-01',''")));
            QVERIFY(f.db->trace().contains(
                QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '1','03/07/2024',"
                               "'AN-01','102','TAN, ROBERT C', 'REF-5004'")));

            // A typed number is not looked up; the second search of the
            // session shows the dialog again.
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSearchSampleNum, Qt::LeftButton); // disabled: nothing
            w.txtSampleNum->setText(QStringLiteral(" 102 "));
            w.dtpResultDate->setEnabled(true);
            w.cmdSearchSampleNum->click();
            QVERIFY(f.db->trace().isEmpty());
            w.txtSampleNum->setText(QStringLiteral("TAN"));
            f.presenter.queueWindow([](QWidget& d) {
                QTest::mouseClick(static_cast<frmSampleSearch&>(d).cmdSelect, Qt::LeftButton);
            });
            w.cmdSearchSampleNum->click();
            QCOMPARE(w.txtSampleNum->text(), QStringLiteral("102"));
            QCOMPARE(f.presenter.windowsShown().count(QStringLiteral("frmSampleSearch")), 2);
            QVERIFY(f.presenter.messages().isEmpty());
        });
    }

    void noSampleLeadsToManualEntry_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("manual");
        QTest::newRow("cancelled, typed by hand") << true << true;
        QTest::newRow("cancelled, not typed") << true << false;
        QTest::newRow("nothing that day, typed by hand") << false << true;
    }
    void noSampleLeadsToManualEntry()
    {
        QFETCH(bool, cancel);
        QFETCH(bool, manual);
        f.open<frmDownloaded>(QStringLiteral("L-1007"), [&](frmDownloaded& w) {
            if (cancel)
                f.presenter.queueWindow([](QWidget& d) {
                    QTest::mouseClick(static_cast<frmSampleSearch&>(d).cmdCancel, Qt::LeftButton);
                });
            else
                w.dtpResultDate->setDate(kDay.addDays(-1));
            if (!cancel)
                f.presenter.queueAnswer(MsgAnswer::Ok); // "No Result(s) Found for ..."
            f.presenter.queueAnswer(manual ? MsgAnswer::Yes : MsgAnswer::No);
            w.cmdSearchSampleNum->click();
            QStringList expected = {kManual};
            if (!cancel)
                expected.prepend(kNoResults);
            QCOMPARE(f.presenter.messageTexts(), expected);
            const MessageRequest& question = f.presenter.messages().last();
            QCOMPARE(question.title, QStringLiteral("Message"));
            QCOMPARE(question.buttons, MsgButtons::YesNo);
            QCOMPARE(question.defaultAnswer, MsgAnswer::No);
            QCOMPARE(question.icon, MsgIcon::Question);
            if (!cancel) {
                QCOMPARE(f.presenter.messages().first().title, QStringLiteral("Results"));
                QVERIFY(!f.presenter.windowsShown().contains(QStringLiteral("frmSampleSearch")));
            }
            QCOMPARE(w.msfgRequest->Rows(), 2);
            QCOMPARE(w.msfgRequest->TextMatrix(1, 2),
                     manual ? QStringLiteral("Salmonella typhi IgM") : QString());
            QCOMPARE(w.msfgRequest->TextMatrix(1, 7),
                     manual ? QStringLiteral("L-1007") : QString());
            QCOMPARE(w.dtpResultDate->isEnabled(), !manual);
        });
    }

    void futureResultDate()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1007"), [&](frmDownloaded& w) {
            w.dtpResultDate->setDate(kDay.addDays(1));
            w.cmdSearchSampleNum->click();
            QCOMPARE(f.presenter.messages().size(), 1);
            const MessageRequest& m = f.presenter.messages().first();
            QCOMPARE(m.text, QStringLiteral("Result date is invalid!\n\nPlease change the result "
                                            "date and try again."));
            QCOMPARE(m.title, QStringLiteral("Invalid Result Date"));
            QCOMPARE(m.icon, MsgIcon::Exclamation);
            QVERIFY(f.presenter.windowsShown().size() == 1);
            QCOMPARE(w.msfgRequest->TextMatrix(0, 2), QStringLiteral("NAME"));
        });
    }

    void pickSampleNumberSendsTheDateAsMonthDayYear()
    {
        f.db->clearTrace();
        const QString picked =
            PickSampleNumber(QDateTime(QDate(2024, 1, 5), QTime(10, 0)), QStringLiteral("AN-01"),
                             QStringLiteral("CHEM-1"), QStringLiteral("x"));
        QCOMPARE(picked, QString());
        QCOMPARE(f.db->trace(),
                 QStringList{QStringLiteral("sp_InstrumentGetHemaSampleNum '0','01/05/2024',"
                                            "'AN-01','x'")});
        QCOMPARE(f.presenter.messageTexts(),
                 QStringList{QStringLiteral("No Result(s) Found for CHEM-1")});
        // A database failure is not told to the user; other failures are.
        session().LabDb->setCommandHook([](const QString&) {
            throw LisError(ErrNo::DbCommandFailed, QStringLiteral("timeout"));
        });
        QCOMPARE(PickSampleNumber(QDateTime(kDay, QTime()), QString(), QString(), QString()),
                 QString());
        QCOMPARE(f.presenter.messages().size(), 1);
        session().LabDb->setCommandHook({});
        session().LabDb->close();
        QCOMPARE(PickSampleNumber(QDateTime(kDay, QTime()), QString(), QString(), QString()),
                 QString());
        QCOMPARE(f.presenter.messages().size(), 2);
        QVERIFY(f.presenter.messages().last().text.startsWith(QStringLiteral("Error: ")));
    }

    void savedHeaderAndVerification()
    {
        SessionState& s = session();
        s.RequestNum = QStringLiteral("L-1007"); // nothing saved
        s.EntryMode = 1;
        s.AccessionNum = QStringLiteral("kept");
        LoadResultHeader();
        QCOMPARE(s.AccessionNum, QStringLiteral("kept"));
        QCOMPARE(s.EntryMode, qint16(1));
        f.db->exec(QStringLiteral("UPDATE tbLabResultHeader SET EntryMode = 2, Method = NULL "
                                  "WHERE RequestNum = 'L-1006'"));
        s.RequestNum = QStringLiteral("L-1006");
        s.Method = QStringLiteral("old");
        LoadResultHeader();
        QCOMPARE(s.EntryMode, qint16(2));
        QCOMPARE(s.Method, QString());
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));
        QCOMPARE(s.SampleSubmitted, QDateTime(kDay, QTime(9, 0)));
        f.db->exec(QStringLiteral("UPDATE tbLabResultHeader SET LRATime = NULL, AccessionNum = "
                                  "'new' WHERE RequestNum = 'L-1006'"));
        QCOMPARE(caught([] { LoadResultHeader(); }).number, 94);
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));

        // Three logbook rows, one verification; none, no verification.
        f.db->exec(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) VALUES "
                                  "('L-1006', '2024-03-07 10:00:00'), ('L-1006', "
                                  "'2024-03-07 11:00:00')"));
        s.EmployeeCode = QStringLiteral("MT01");
        f.db->clearTrace();
        QVERIFY(VerifyRequestResults());
        QCOMPARE(f.db->trace().filter(QStringLiteral("LAB_Save_VerifyResults")),
                 QStringList{QStringLiteral("laboratory..LAB_Save_VerifyResults 'L-1006','MT01'")});
        s.RequestNum = QStringLiteral("L-1007");
        f.db->clearTrace();
        QVERIFY(!VerifyRequestResults());
        QCOMPARE(f.db->trace().size(), 1);
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstFillAndLookup)
#include "tst_fill_and_lookup.moc"
