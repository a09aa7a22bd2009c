#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/WindowFixture.h"

namespace {
// The cut-off window with a stand-in for the report: it can say the viewer
// verified and asked for a direct print, and find the printer missing.
class Window : public frmDownloaded {
public:
    static inline int prints = 0;
    static inline bool verifyOnPrint = false;
    static inline bool printerMissing = false;
    void Print_Result() override
    {
        ++prints;
        if (printerMissing && session().PrintRequested)
            throw LisError(ErrNo::FileAccess,
                           QStringLiteral("The printer \"P\" is not available."));
        if (verifyOnPrint)
            session().ReportVerified = session().PrintRequested = true;
    }
};

using Row = QStringList; // code, name, value, result, request, cut-off
// Two requests' rows with a row without item code between them.
// VALUE and RESULT differ, so a save sending the wrong column shows.
const QList<Row> kRows = {{"HBSAG", "HBsAg (O'Neil kit)", "0.42", "NON-REACTIVE", "L-1001", "1"},
                          {"", "", "7", "7", "", ""},
                          {"ANTIHCV", "Anti-HCV", "0.95", "EQUIVOCAL", "L-1002", "1"}};
// The commands one save of kRows sends in its transaction.
constexpr int kCommands = 13;

void setRows(Window& w, const QList<Row>& rows)
{
    FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
    g->setRows(int(rows.size()) + 1);
    for (int r = 0; r < rows.size(); ++r)
        for (auto [col, field] : {std::pair{1, 0}, {2, 1}, {3, 2}, {4, 3}, {7, 4}, {8, 5}})
            g->setTextMatrix(r + 1, col, rows[r][field]);
}
} // namespace

// Saving the cut-off window: what is sent, what is stored, and that a
// failed save leaves nothing behind and loses nothing on the screen.
class TstSaveCutOff : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT01"));
        Window::prints = 0;
        Window::verifyOnPrint = Window::printerMissing = false;
    }
    void cleanup() { f.tearDown(); }

    void rowsOfTwoRequests()
    {
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            setRows(w, kRows);
            control<QTextEdit>(w, "txtRemarks")->setPlainText("Patient's second sample");
            msfgRequest->setTextMatrix(3, 4, QString()); // the laboratory interprets 0.95
            f.db->clearTrace();
            QTest::mouseClick(cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            // The texts are the window model's; here the window's header and
            // grid reach them, one logbook a request, nothing for the row
            // without item code.
            const QStringList trace = f.db->trace();
            QCOMPARE(trace.size(), kCommands + 2); // and the stored rows read back, a request each
            QVERIFY(trace.contains(
                "Laboratory..Lab_SaveWithCutOff '101','3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 "
                "PM','L-1001','HBSAG', '5', 'HBsAg (O''Neil kit)', '0.42', '1', 'NON-REACTIVE', "
                "'Patient''s second sample','1'"));
            QCOMPARE(trace.filter("Lab_ResultEntryDLL_SaveToLogbook 'L-100").size(), 2);
            // Saved, the window shows what the laboratory stored.
            QCOMPARE(msfgRequest->TextMatrix(3, 4) + '|' + msfgRequest->TextMatrix(1, 4),
                     f.stored("Result", "L-1002", "ANTIHCV") + "|NON-REACTIVE");
            QVERIFY(!msfgRequest->TextMatrix(3, 4).isEmpty());
            // Saved without printing: the buttons stay off, the window open.
            QVERIFY(!cmdSave->isEnabled() && w.isVisible());
        });
        QCOMPARE(f.count("tbLabLogbook WHERE RequestNum IN ('L-1001', 'L-1002')"), 2);
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE SampleNum = '101' AND Posted = 'Y'"),
                 4);
        const ResultSet stored = f.db->query(QStringLiteral(
            "SELECT ExamName, Remarks, CutOffValue, PatientValue FROM tbLabResult WHERE ItemID = "
            "'HBSAG' AND RequestNum = 'L-1001'"));
        QCOMPARE(stored.rows.value(0),
                 (QVariantList{"HBsAg (O'Neil kit)", "Patient's second sample", "1", "0.42"}));
    }

    void cutOffSaveByFormTypeAndShowResultValue_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("show"); // the SQL value of ShowResultValue
        QTest::addColumn<QString>("sent"); // the cut-off sent; "-" for no cut-off save
        // L-1005 (form type W) and L-1006 (H) save as form type 5 does.
        const char* const cases[][3] = {
            {"L-1001", "'Y'", "1"},   {"L-1001", "' Y '", "1"}, {"L-1001", "'N'", ""},
            {"L-1001", "''", ""},     {"L-1001", "NULL", ""},   {"L-1001", "'y'", ""},
            {"L-1001", "DELETE", ""}, {"L-1005", "'Y'", "1"},   {"L-1006", "'Y'", "1"}};
        for (const auto& c : cases)
            QTest::addRow("%s, ShowResultValue %s", c[0], c[1]) << c[0] << c[1] << c[2];
    }
    void cutOffSaveByFormTypeAndShowResultValue()
    {
        QFETCH(QString, request);
        QFETCH(QString, show);
        QFETCH(QString, sent);
        f.db->exec(show == QLatin1String("DELETE") // an item not known to the instrument
                       ? QStringLiteral("DELETE FROM tbLabInstrumentExams WHERE ItemID = 'HBSAG'")
                       : QStringLiteral("UPDATE tbLabInstrumentExams SET ShowResultValue = %1 "
                                        "WHERE ItemID = 'HBSAG'")
                             .arg(show));
        f.open<Window>(request, [&](Window& w) {
            setRows(w, {{"HBSAG", "HBsAg", "0.42", "NEGATIVE", request, "1"}});
            control<QLineEdit>(w, "txtAccNum")->setText(QStringLiteral("A-1"));
            f.db->clearTrace();
            QTest::mouseClick(control<QPushButton>(w, "cmdSave"), Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
        });
        const QString save = f.db->trace().filter(QStringLiteral("Lab_SaveWithCutOff")).value(0);
        QVERIFY2(save.contains(QStringLiteral("'0.42', '%1', 'NEGATIVE'").arg(sent)),
                 qPrintable(save));
        // Each keeps its own form type.
        QCOMPARE(f.stored("PatientValue", request, "HBSAG") +
                     f.stored("FormType", request, "HBSAG"),
                 "0.42" + QString(request == "L-1005"   ? "W"
                                  : request == "L-1006" ? "H"
                                                        : "5"));
    }

    void printWithAndWithoutVerification()
    {
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            auto* cmdPrint = control<QPushButton>(w, "cmdPrint");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            setRows(w, {kRows[0]});
            QTest::mouseClick(cmdPrint, Qt::LeftButton);
            QCOMPARE(Window::prints, 1);
            QVERIFY(w.isVisible() && cmdSave->isEnabled() && cmdPrint->isEnabled());

            // Verified in the preview, but the printer is missing: the error
            // is shown and the buttons come back to print again.
            Window::verifyOnPrint = Window::printerMissing = true;
            QTest::mouseClick(cmdPrint, Qt::LeftButton);
            QCOMPARE(Window::prints, 3);
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{QStringLiteral("Error 75: The printer \"P\" is not available.")});
            QVERIFY(w.isVisible() && cmdSave->isEnabled() && cmdPrint->isEnabled());

            Window::printerMissing = false;
            QTest::mouseClick(cmdPrint, Qt::LeftButton);
            QCOMPARE(Window::prints, 5); // the preview, then the direct print
            QVERIFY(!w.isVisible() && w.VerifyRequested);
        });
    }

    // Another workstation posts the window's sample elsewhere before the
    // save: nothing is saved and the message says where it went.
    void aSamplePostedMeanwhileIsNotTakenOver()
    {
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            setRows(w, {kRows[0]});
            Connection other;
            other.open(f.db->connectionString());
            other.execute(QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1002',"
                                         "'MT02','03/07/2024','AN-01'"));
            QTest::mouseClick(cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messageTexts().value(0).startsWith(
                QStringLiteral("Data was not saved! Error: [Sample 101 was posted to L-1002 by "
                               "MT02 at ")));
            QVERIFY(w.isVisible() && cmdSave->isEnabled());
        });
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1001'"), 0);
        QCOMPARE(f.count("tbLabInstrumentDLHemaResult WHERE PostedRequestNum = 'L-1001'"), 0);
    }

    void aFailureAnywhereLeavesNothingBehind()
    {
        const auto snapshot = [&] {
            return QList<int>{f.count("tbLabLogbook"), f.count("tbLabResult"),
                              f.count("tbLabResultHeader"),
                              f.count("tbLabInstrumentDLHemaResult WHERE Posted = 'Y'")};
        };
        const QList<int> before = snapshot();
        // Each command of the save fails once, then the save goes through.
        int failures = 0;
        for (bool saved = false; !saved && failures <= kCommands;) {
            f.presenter.clear();
            f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
                auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
                auto* cmdSave = control<QPushButton>(w, "cmdSave");
                setRows(w, kRows);
                txtAccNum->setText(QStringLiteral("ACC-9"));
                int sent = 0;
                session().LabDb->setCommandHook([&](const QString&) {
                    if (++sent == failures + 1 && failures < kCommands)
                        throw LisError(ErrNo::DbCommandFailed, QStringLiteral("disk full"));
                });
                QTest::mouseClick(cmdSave, Qt::LeftButton);
                session().LabDb->setCommandHook({});
                if ((saved = failures == kCommands))
                    return;
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{QStringLiteral("Data was not saved! Error: [disk full]")});
                QCOMPARE(control<FlexGrid>(w, "msfgRequest")->TextMatrix(3, 3) + txtAccNum->text(),
                         QStringLiteral("0.95ACC-9"));
                QVERIFY(w.isVisible() && cmdSave->isEnabled());
            });
            if (!saved) {
                QCOMPARE(snapshot(), before);
                ++failures;
            }
        }
        QCOMPARE(failures, kCommands);
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<Window> m_factory;
};

QTEST_MAIN(TstSaveCutOff)
#include "tst_save_cut_off.moc"
