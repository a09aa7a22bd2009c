#include "component/SavedResults.h"
#include "screens/dialogs/frmSampleSearch.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Caught.h"
#include "tests/support/Screenshot.h"
#include "tests/support/WindowFixture.h"

namespace {
const QDate kDay = WindowFixture::day();
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
        QTest::addColumn<int>("downloadedRows");
        QTest::addColumn<QString>("ref");
        QTest::addColumn<bool>("onWorklist");
        QTest::addColumn<QString>("sample"); // and its patient, after a '|'
        WindowFixture::row("worklist", "L-1001", 5, "REF-5001", true, "101|DELA CRUZ, JUAN S");
        WindowFixture::row("downloaded only", "L-1005", 2, "REF-5004", false, "102|TAN, ROBERT C");
        WindowFixture::row("neither", "L-1007", 2, "REF-5006", false, "|");
    }
    void fillFindsTheSample()
    {
        QFETCH(QString, request);
        QFETCH(int, downloadedRows);
        QFETCH(QString, ref);
        QFETCH(bool, onWorklist);
        QFETCH(QString, sample);
        const QString patient = sample.section('|', 1);
        sample = sample.section('|', 0, 0);
        QStringList commands{QStringLiteral("Select * from tbLabInstrumentHemaWorkList Where "
                                            "InstrumentID like 'AN-01' and refnum = '%1'")
                                 .arg(ref)};
        if (!onWorklist)
            commands << QStringLiteral("select * from laboratory..tbLabInstrumentDLHemaResult "
                                       "Where InstrumentID like 'AN-01' and refnum = '%1'")
                            .arg(ref);
        commands << QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample  '3','%1','AN-01',"
                                   "'%2','', '%3'")
                        .arg(sample.isEmpty() ? QString() : QStringLiteral("03/07/2024"), sample,
                             ref)
                 << QStringLiteral("LABORATORY..Lab_GetResultWithCutOff  '%1'").arg(request)
                 << QStringLiteral("Lab_FormMaker_FillExams '%1','0'").arg(request)
                 << QStringLiteral("Lab_GetResultChecks '%1'").arg(request)
                 << QStringLiteral("Lab_GetResultChangeNumbers '%1'").arg(request)
                 << QStringLiteral("sp_QCHolds '%1'").arg(request);
        f.open<frmDownloaded>(request, [&](frmDownloaded& w) {
            QCOMPARE(f.db->trace().mid(2), commands);
            QCOMPARE((QStringList{control<QLineEdit>(w, "txtSampleNum")->text(),
                                  control<QLineEdit>(w, "txtAccNum")->text(),
                                  control<QLineEdit>(w, "txtPName")->text(),
                                  control<FlexGrid>(w, "grdExams")->TextMatrix(1, 3)}),
                     (QStringList{sample, sample, patient, request}));
            QCOMPARE(control<QDateEdit>(w, "dtpResultDate")->date(), kDay);
            QCOMPARE(control<FlexGrid>(w, "msfgDLresult")->Rows(), downloadedRows);
            QVERIFY(control<QPushButton>(w, "cmdResetResult")->isEnabled() &&
                    control<QPushButton>(w, "cmdSearchSampleNum")->isEnabled());
            screenshot(w, QStringLiteral("filled-") + request);
        });
    }

    void noSampleLeadsToManualEntry_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::addColumn<bool>("manual");
        WindowFixture::row("cancelled, typed by hand", true, true);
        WindowFixture::row("cancelled, not typed", true, false);
        WindowFixture::row("nothing that day, typed by hand", false, true);
    }
    void noSampleLeadsToManualEntry()
    {
        QFETCH(bool, cancel);
        QFETCH(bool, manual);
        f.open<frmDownloaded>(QStringLiteral("L-1007"), [&](frmDownloaded& w) {
            auto* dtpResultDate = control<QDateEdit>(w, "dtpResultDate");
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            // A result date after today is refused before any search.
            dtpResultDate->setDate(kDay.addDays(1));
            control<QPushButton>(w, "cmdSearchSampleNum")->click();
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{"Result date is invalid!\n\nPlease "
                                 "change the result date and try again."});
            f.presenter.clear();
            dtpResultDate->setDate(kDay);
            QStringList expected = {QStringLiteral("Sample not found.\nWould you like to "
                                                   "manually enter the results.")};
            if (cancel) {
                f.presenter.queueWindow([](QWidget& d) {
                    QTest::mouseClick(control<QPushButton>(d, "cmdCancel"), Qt::LeftButton);
                });
            } else {
                dtpResultDate->setDate(kDay.addDays(-1));
                f.presenter.queueAnswer(MsgAnswer::Ok);
                expected.prepend(
                    QStringLiteral("No Result(s) Found for Integrated Analyzer AN-01"));
            }
            f.presenter.queueAnswer(manual ? MsgAnswer::Yes : MsgAnswer::No);
            control<QPushButton>(w, "cmdSearchSampleNum")->click();
            QCOMPARE(f.presenter.messageTexts(), expected);
            const MessageRequest& question = f.presenter.messages().last();
            QVERIFY(question.buttons == MsgButtons::YesNo &&
                    question.defaultAnswer == MsgAnswer::No);
            // A search closed without a pick is told apart in the advice.
            QVERIFY(question.advice.contains(QStringLiteral("exams of L-1007")) &&
                    question.advice.startsWith(QStringLiteral("No sample was picked")) == cancel);
            if (!cancel)
                QCOMPARE(f.presenter.messages().first().advice,
                         QStringLiteral("Request L-1007: the instrument sent no samples for "
                                        "03/06/2024. Check the result date, or type the sample "
                                        "number and press Enter."));
            QCOMPARE(f.presenter.windowsShown().contains(QStringLiteral("frmSampleSearch")),
                     cancel);
            QCOMPARE(msfgRequest->TextMatrix(1, 2) + msfgRequest->TextMatrix(1, 7),
                     manual ? "Salmonella typhi IgML-1007" : QString());
            QCOMPARE(dtpResultDate->isEnabled(), !manual);
        });
        // The shared dialog goes with the component: a host may destroy its
        // application object next, and a widget outliving it crashes the host.
        f.entry.reset();
        const QWidgetList left = QApplication::allWidgets();
        QVERIFY(std::none_of(left.begin(), left.end(), [](const QWidget* w) {
            return w->objectName() == QLatin1String("frmSampleSearch");
        }));
    }

    void pickSampleNumberTellsOnlyWhatIsNotADatabaseFailure()
    {
        const auto pick = [] {
            return PickSampleNumber(QDateTime(kDay, QTime()), QString(), QString(), QString());
        };
        session().LabDb->setCommandHook([](const QString&) {
            throw LisError(ErrNo::DbCommandFailed, QStringLiteral("timeout"));
        });
        QCOMPARE(pick(), QString());
        QVERIFY(f.presenter.messages().isEmpty());
        session().LabDb->setCommandHook({});
        session().LabDb->close();
        QCOMPARE(pick(), QString());
        QCOMPARE(f.presenter.messages().size(), 1);
        QVERIFY(f.presenter.messages().last().text.startsWith(QStringLiteral("Error: ")));
    }

    void savedHeaderIsWhollyNewOrUnchanged()
    {
        SessionState& s = session();
        s.RequestNum = QStringLiteral("L-1007"); // nothing saved
        s.AccessionNum = QStringLiteral("kept");
        LoadResultHeader();
        QCOMPARE(s.AccessionNum, QStringLiteral("kept"));
        s.RequestNum = QStringLiteral("L-1006");
        LoadResultHeader();
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));
        // A Null time is an error, and the header stays as it was.
        f.db->exec(QStringLiteral("UPDATE tbLabResultHeader SET LRATime = NULL, AccessionNum = "
                                  "'new' WHERE RequestNum = 'L-1006'"));
        QCOMPARE(caught([] { LoadResultHeader(); }).number, 94);
        QCOMPARE(s.AccessionNum, QStringLiteral("A-5005"));
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstFillAndLookup)
#include "tst_fill_and_lookup.moc"
