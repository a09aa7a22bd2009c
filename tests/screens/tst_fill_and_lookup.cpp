#include "component/SavedResults.h"
#include "platform/DateText.h"
#include "platform/ui/Twips.h"
#include "screens/dialogs/frmReportViewer.h"
#include "screens/dialogs/frmSampleSearch.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Caught.h"
#include "tests/support/Screenshot.h"
#include "tests/support/WindowFixture.h"

namespace {
const QDate kDay = WindowFixture::day();

// A key as staff press it: to whatever has the focus.
void press(int key, Qt::KeyboardModifiers mods = {})
{
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key(key), mods);
    if (mods & Qt::AltModifier)
        QTest::qWait(150); // a button's mnemonic clicks it a moment later
}

void type(const QString& text)
{
    QTest::keyClicks(QApplication::focusWidget(), text);
}

// Where Tab goes, from the focused control on, until it comes back.
QStringList tabRoute(int steps)
{
    QStringList route;
    for (int i = 0; i < steps; ++i) {
        route << QApplication::focusWidget()->objectName();
        press(Qt::Key_Tab);
    }
    return route;
}
} // namespace

// The real windows as staff meet them: a cut-off request filled from the
// laboratory, a sample looked up through the search dialog ("..."), a whole
// request without the mouse, and windows that grow, follow and remember.
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
                     QStringList{"Result date is invalid!\n\nPlease change the result date and "
                                 "try again."});
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

    void wholeRequestWithoutTheMouse()
    {
        f.open<frmDownloaded>(QStringLiteral("L-1001"), [&](frmDownloaded& w) {
            QCOMPARE(QApplication::focusWidget(), control<QLineEdit>(w, "txtSampleNum"));
            for (int i = 0; i < 5; ++i)
                press(Qt::Key_Backtab);
            QCOMPARE(tabRoute(15),
                     (QStringList{"txtAccNum", "dtSubmitted", "dtSubmittedTime", "dtLRADate",
                                  "dtLRATime", "txtSampleNum", "cmdSearchSampleNum",
                                  "dtpResultDate", "msfgDLresult", "cmdResetResult", "txtResult",
                                  "txtRemarks", "cmdSave", "cmdPrint", "cmdClose"}));
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(QApplication::focusWidget(),
                     control<QLineEdit>(w, "txtAccNum")); // the sample's number
            press(Qt::Key_R, Qt::AltModifier);            // Use Result >>
            QVERIFY(w.ResultTakenOver);
            press(Qt::Key_F, Qt::AltModifier); // into the results: every exam has a value
            QVERIFY(QApplication::focusWidget() == control<QLineEdit>(w, "txtResult") &&
                    control<FlexGrid>(w, "msfgRequest")->Row() == 1);
            press(Qt::Key_Down);
            type(QStringLiteral("0.50"));
            press(Qt::Key_Return);
            screenshot(w, QStringLiteral("keyboard-typed"));
            f.presenter.queueWindow([&](QWidget& viewer) {
                viewer.activateWindow();
                QTRY_COMPARE(QGuiApplication::focusWindow(), viewer.windowHandle());
                press(Qt::Key_V, Qt::AltModifier); // Verify/Save
            });
            press(Qt::Key_V, Qt::AltModifier); // View Result saves, then previews
            QVERIFY(!w.isVisible());
        });
        for (const char* column : {"PatientValue", "VerifiedBy"})
            QCOMPARE(f.stored(QLatin1String(column), QStringLiteral("L-1001"),
                              QStringLiteral("ANTIHBS")),
                     QLatin1String(*column == 'P' ? "0.50" : "MT-07"));
        QVERIFY(f.presenter.messages().isEmpty());
    }

    // L-1011 (requested 7:50 AM): clicks go where they are aimed, the
    // accession check moves no focus into a date, and a header time after
    // now or before the request is refused.
    void clicksLandWhereAimed_data()
    {
        QTest::addColumn<int>("submittedDays");
        QTest::addColumn<QString>("lraTime");
        QTest::addColumn<QString>("refusal");
        WindowFixture::row("as clicked: today stored", 0, QString(), QString());
        WindowFixture::row("submitted tomorrow", 1, QString(),
                           QStringLiteral("Date Submitted 03/08/2024 02:05 PM is later than "
                                          "now."));
        WindowFixture::row("logbook before the request", 0, QStringLiteral("07:49"),
                           QStringLiteral("LRA Logbook Time 03/07/2024 07:49 AM is before the "
                                          "request was made (03/07/2024 07:50 AM)."));
    }
    void clicksLandWhereAimed()
    {
        QFETCH(int, submittedDays);
        QFETCH(QString, lraTime);
        QFETCH(QString, refusal);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
        f.open<frmDownloaded>(QStringLiteral("L-1011"), [&](frmDownloaded& w) {
            auto* txtSampleNum = control<QLineEdit>(w, "txtSampleNum");
            auto* txtRemarks = control<QTextEdit>(w, "txtRemarks");
            auto* dtSubmitted = control<QDateEdit>(w, "dtSubmitted");
            auto* dtLRADate = control<QDateEdit>(w, "dtLRADate");
            QTest::mouseClick(control<QLineEdit>(w, "txtAccNum"), Qt::LeftButton);
            type(QStringLiteral("A-1011"));
            QTest::mouseClick(txtSampleNum, Qt::LeftButton);
            QCOMPARE(QApplication::focusWidget(), txtSampleNum);
            type(QStringLiteral("103"));
            f.presenter.queueAnswer(MsgAnswer::No); // O'BRIEN's sample: not taken
            press(Qt::Key_Return);
            QTest::mouseClick(txtRemarks->viewport(), Qt::LeftButton);
            type(QStringLiteral("7"));
            QCOMPARE(txtSampleNum->text() + '|' + txtRemarks->toPlainText() + '|' +
                         dtSubmitted->text() + '|' + dtLRADate->text(),
                     QStringLiteral("103|7|03/07/2024|03/07/2024"));
            // Typed by hand, without a sample.
            QTest::mouseClick(txtSampleNum, Qt::LeftButton);
            press(Qt::Key_A, Qt::ControlModifier);
            press(Qt::Key_Delete);
            f.presenter.queueWindow([](QWidget& d) { QTest::keyClick(&d, Qt::Key_Escape); });
            f.presenter.queueAnswer(MsgAnswer::Yes);
            QTest::mouseClick(control<QPushButton>(w, "cmdSearchSampleNum"), Qt::LeftButton);
            WindowFixture::clickCell(control<FlexGrid>(w, "msfgRequest"), 1);
            type(QStringLiteral("7.1"));
            dtSubmitted->setDate(dtSubmitted->date().addDays(submittedDays));
            if (!lraTime.isEmpty())
                control<QTimeEdit>(w, "dtLRATime")
                    ->setTime(QTime::fromString(lraTime, QStringLiteral("hh:mm")));
            f.presenter.clear();
            press(Qt::Key_S, Qt::AltModifier);
            QCOMPARE(f.presenter.messageTexts(),
                     refusal.isEmpty() ? QStringList() : QStringList{refusal});
            QCOMPARE(control<QLabel>(w, "lblSaved")->text(),
                     refusal.isEmpty() ? QStringLiteral("Saved 2:05 PM") : QString());
            if (!refusal.isEmpty())
                QCOMPARE(QApplication::focusWidget(),
                         submittedDays ? static_cast<QWidget*>(dtSubmitted) : dtLRADate);
            w.close();
        });
        const ResultSet logged = f.db->query(QStringLiteral(
            "SELECT h.SampleSubmitted, l.SampleSubmitted, h.AccessionNum FROM tbLabResultHeader "
            "h JOIN tbLabLogbook l ON l.RequestNum = h.RequestNum WHERE h.RequestNum = "
            "'L-1011'"));
        QCOMPARE(logged.rows.size(), refusal.isEmpty() ? 1 : 0);
        for (const QVariantList& row : logged.rows)
            QCOMPARE(DateText::general(DateText::toDateTime(row[0])) + '|' +
                         DateText::general(DateText::toDateTime(row[1])) + '|' + row[2].toString(),
                     QStringLiteral("3/7/2024 2:05:00 PM|3/7/2024 2:05:00 PM|A-1011"));
    }

    void windowsGrowFollowAndRemember()
    {
        int dragged = 0;
        f.entry->EditMode(true);
        const auto open = [&](const std::function<void(frmNVDownloads&)>& drive) {
            f.open<frmNVDownloads>(QStringLiteral("L-1016"), [&](frmNVDownloads& w) {
                drive(w);
                w.close();
            });
        };
        open([&](frmNVDownloads& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            auto* txtResult = control<QLineEdit>(w, "txtResult");
            auto* cmdClose = control<QPushButton>(w, "cmdClose");
            FlexGrid* g = msfgRequest;
            // What a cell shows: the factor to four digits, the rest as held.
            const auto shown = [g](int r, int c) {
                const auto* d = qobject_cast<QStyledItemDelegate*>(g->itemDelegateForColumn(c));
                return r > 0 && d ? d->displayText(g->TextMatrix(r, c), QLocale())
                                  : g->TextMatrix(r, c);
            };
            QCOMPARE(g->TextMatrix(2, 1) + ' ' + g->TextMatrix(2, 13) + ' ' + shown(2, 13),
                     QStringLiteral("CREA 0.011309658448314861 0.01131"));
            // Scrolled sideways, the editor stays over its cell or goes, the
            // exam's name stays at the left and the last column comes into view.
            WindowFixture::clickCell(g, 1);
            g->horizontalScrollBar()->setValue(g->horizontalScrollBar()->maximum());
            const QRect cell = g->visualRect(g->model()->index(0, 3));
            QVERIFY(!txtResult->isVisible() ||
                    txtResult->x() == g->x() + g->viewport()->x() + cell.x());
            const auto* frozen = g->findChild<QTableView*>(QStringLiteral("frozenColumns"));
            QVERIFY(frozen->isVisible() && frozen->x() <= g->viewport()->x());
            QCOMPARE(frozen->width(), g->columnWidth(2));
            QVERIFY(g->columnViewportPosition(14) + g->columnWidth(14) <= g->viewport()->width());
            screenshot(w, QStringLiteral("normal-values-scrolled"));

            // Factor and form type show, although the start-up sizing hid them.
            QVERIFY(!msfgRequest->isColumnHidden(13) && !msfgRequest->isColumnHidden(14));

            // At 1366 x 740 no caption or value is cut.
            w.resize(1366, 740);
            const QFontMetrics fm(msfgRequest->font());
            for (int c = 0; c < msfgRequest->Cols(); ++c)
                for (int r = 0; r < msfgRequest->Rows() && !msfgRequest->isColumnHidden(c); ++r)
                    QVERIFY2(fm.horizontalAdvance(shown(r, c)) < msfgRequest->columnWidth(c),
                             qPrintable(shown(r, c)));
            QCOMPARE(w.width() - cmdClose->x() - cmdClose->width(), Twips::toPx(180));
            screenshot(w, QStringLiteral("normal-values-grown"));
            // What the user leaves is where the window opens next time.
            w.resize(796, 600);
            msfgRequest->horizontalHeader()->resizeSection(2, 250);
            dragged = msfgRequest->ColWidth(2);
        });
        open([&](frmNVDownloads& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(w.size(), QSize(796, 600));
            QCOMPARE(msfgRequest->ColWidth(2), dragged);
            QCOMPARE(msfgRequest->columnWidth(2), 250);
        });
    }

private:
    WindowFixture f;
};

QTEST_MAIN(TstFillAndLookup)
#include "tst_fill_and_lookup.moc"
