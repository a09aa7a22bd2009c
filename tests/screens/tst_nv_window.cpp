#include "labserver/LabStore.h"
#include "screens/dialogs/frmCriticalCall.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "tests/support/WindowFixture.h"

namespace {
using F = WindowFixture;
using Window = WindowFixture::NormalValuesWithoutReport;

constexpr int kFlag = 15;
constexpr int kPrevious = 16;

// Types a value over a row's result, as staff do.
void type(Window& w, int row, const QString& value)
{
    F::clickCell(control<FlexGrid>(w, "msfgRequest"), row);
    QTest::keyClicks(control<QLineEdit>(w, "txtResult"), value);
}

const QString kHost = QSysInfo::machineHostName();
} // namespace

// The normal-values window: flags and the previous result while typing; a
// save that asks about implausible, critical and changed results and tells
// the laboratory who entered, called and acknowledged them (without limits,
// exactly the save there was before); taken over, verified before or after
// each row, held by quality control, and nothing kept of a save that failed.
class TstNvWindow : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT02"));
    }
    void cleanup() { f.tearDown(); }

    void takeOverThenAFailedSave()
    {
        const auto snapshot = [&] {
            return QList<int>{f.count("tbLabResult WHERE RequestNum = 'L-1013'"),
                              f.count("tbLabLogbook WHERE RequestNum = 'L-1013'"),
                              f.count("tbLabResultSummary WHERE RequestNum = 'L-1013'")};
        };
        const QList<int> before = snapshot();
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            auto* grdExams = control<FlexGrid>(w, "grdExams");
            auto* msfgDLresult = control<FlexGrid>(w, "msfgDLresult");
            auto* txtAccNum = control<QLineEdit>(w, "txtAccNum");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            QCOMPARE(grdExams->TextMatrix(1, 4) + '|' +
                         control<QLineEdit>(w, "txtSampleNum")->text(),
                     "3.9 - 6.1|103");
            // Items not asked for and rows without item code are left alone.
            msfgDLresult->setRows(4);
            for (auto [r, c, text] : {std::tuple{1, 4, "CHOL"},
                                      {2, 1, "5.50"},
                                      {2, 2, "mmol/L"},
                                      {2, 4, " GLU "},
                                      {2, 19, "L-1013 "},
                                      {3, 1, "7.7"}})
                msfgDLresult->setTextMatrix(r, c, QLatin1String(text));
            grdExams->setRows(3); // an exam row without code
            control<QPushButton>(w, "cmdResetResult")->click();
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            QStringList taken;
            for (int c = 0; c < 7; ++c)
                taken << g->TextMatrix(1, c) + QLatin1Char('|') + g->TextMatrix(2, c);
            QCOMPARE(taken, (QStringList{"L-1013|", "GLU|", "Glucose (fasting)|", "5.5|",
                                         "3.9 - 6.1|", "mmol/L|", "|"}));

            // The save fails in the third row: nothing is kept, nothing lost.
            for (auto [r, code] : {std::pair{2, "CHOL"}, {3, "TRIG"}})
                for (auto [c, text] : {std::pair{0, QStringLiteral("L-1013")},
                                       {1, QLatin1String(code)},
                                       {3, QString::number(r)}})
                    g->setTextMatrix(r, c, text);
            txtAccNum->setText(QStringLiteral("A-13"));
            int saves = 0;
            session().LabDb->setCommandHook([&](const QString& text) {
                if (text.startsWith(QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2")) &&
                    ++saves == 3)
                    throw LisError(ErrNo::DbCommandFailed, QStringLiteral("disk full"));
            });
            cmdSave->click();
            session().LabDb->setCommandHook({});
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{QStringLiteral("Data was not saved! Error: [disk full]")});
            QVERIFY(w.isVisible() && cmdSave->isEnabled());
            QCOMPARE(g->TextMatrix(3, 3) + txtAccNum->text(), QStringLiteral("3A-13"));

            // Another workstation holds the database past the wait: said so,
            // with what to do, for this request.
            f.presenter.clear();
            f.db->store().begin();
            f.db->store().lock(LabStore::Lock::Request, QStringLiteral("L-1013"));
            cmdSave->click();
            f.db->store().rollback();
            const MessageRequest busy = f.presenter.messages().value(0);
            QVERIFY2(busy.text.startsWith("Data was not saved! Error: [The laboratory database ") &&
                         busy.text.contains(" is busy: ") &&
                         busy.advice.startsWith("Nothing of L-1013 was stored; every value is "
                                                "still on the screen. Another workstation is "
                                                "saving"),
                     qPrintable(busy.text + '\n' + busy.advice));
            QVERIFY(w.isVisible() && cmdSave->isEnabled());
        });
        QCOMPARE(snapshot(), before);
    }

    void verificationBeforeOrAfterTheSave_data()
    {
        QTest::addColumn<bool>("verifyMode");
        QTest::addColumn<bool>("clerk");
        WindowFixture::row("verify mode: before each row", true, false);
        WindowFixture::row("otherwise: after each row", false, false);
        WindowFixture::row("a clerk never verifies", false, true);
    }
    void verificationBeforeOrAfterTheSave()
    {
        QFETCH(bool, verifyMode);
        QFETCH(bool, clerk);
        f.entry->VerifyMode(verifyMode);
        f.entry->EditMode(true);
        f.entry->Clerk(clerk);
        f.open<Window>(QStringLiteral("L-1014"), [&](Window& w) {
            f.db->clearTrace();
            control<QPushButton>(w, "cmdSave")->click();
        });
        const QStringList trace = f.db->trace();
        const int verify = int(trace.indexOf("laboratory..LAB_Save_VerifyResults 'L-1014','MT02'"));
        const int save = int(trace.indexOf(
            QRegularExpression("^Lab_FormMaker_SaveResultWithNormalValues2 'L-1014', 'CREA'.*")));
        QVERIFY(save >= 0);
        QVERIFY(trace[save].contains(clerk ? "'MT02', 'N', " : "'MT02', 'Y', "));
        QVERIFY(clerk ? verify == -1 : verify >= 0 && (verify < save) == verifyMode);
        QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1014' AND VerifiedBy = 'MT02'"),
                 clerk ? 0 : 3);
    }

    // L-1016 (REYES, ANA): glucose 5.5 saved; her earlier L-0916 has a
    // verified 5.5 of 22 February.
    void flagsFollowTheValue()
    {
        f.entry->EditMode(true);
        f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(g->TextMatrix(1, kPrevious) + '|' + g->TextMatrix(1, kFlag),
                     "5.5 mmol/L 02/22/2024|");

            QStringList flags;
            for (const char* typed : {"28", "3.5", "5.0", "NEGATIVE"}) {
                type(w, 1, QLatin1String(typed));
                flags << g->TextMatrix(1, kFlag);
            }
            QCOMPARE(flags, (QStringList{"HH D", "L", "", ""}));
            // A saved conventional value is judged by its own limits.
            const int chol = int(F::column(g, 1).indexOf("CHOL")) + 1;
            QCOMPARE(g->TextMatrix(chol, kFlag), QStringLiteral("H / H"));
            w.close();
            f.presenter.queueAnswer(MsgAnswer::Yes); // discard
        });
    }

    // Sample 103 of L-1013 brings glucose 28: taken over, flagged, called
    // about on save, and recorded as the instrument's.
    void takenOverCriticalValueIsCalledAbout()
    {
        f.db->exec(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET ResultValue = '28' "
                                  "WHERE SampleNum = '103'"));
        f.db->exec(QStringLiteral("DELETE FROM tbLabQCHold")); // the demo's glucose hold
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            F::useResult(w);
            QCOMPARE(msfgRequest->TextMatrix(1, 3) + '|' + msfgRequest->TextMatrix(1, kFlag),
                     "28|HH");
            f.db->clearTrace();
            f.presenter.queueWindow([](QWidget& d) {
                auto* txtReportedTo = control<QLineEdit>(d, "txtReportedTo");
                // What is read out on the phone.
                QVERIFY(
                    control<QLabel>(d, "lblResult")->text().contains(QStringLiteral("28 mmol/L")));
                QTest::keyClick(txtReportedTo, Qt::Key_Return); // nobody named: stays
                QVERIFY(d.isVisible());
                QTest::keyClicks(txtReportedTo, QStringLiteral("Ward 3, Nurse O'Hara"));
                QTest::keyClick(txtReportedTo, Qt::Key_Return);
            });
            control<QPushButton>(w, "cmdSave")->click();
            QVERIFY(!w.isVisible());
        });
        const QStringList trace = f.db->trace();
        const int save = int(trace.indexOf(
            QRegularExpression("^Lab_FormMaker_SaveResultWithNormalValues2 'L-1013', 'GLU'.*")));
        QVERIFY(save >= 0);
        QCOMPARE(
            trace.mid(save + 1, 2),
            (QStringList{"Lab_RecordResultEntry 'L-1013','GLU','MT02','I','AN-01','103','" + kHost +
                             "'",
                         // Called at the pinned clock's minute.
                         "Lab_RecordCriticalCall 'L-1013','GLU','Ward 3, Nurse O''Hara','3/7/2024 "
                         "2:05:00 PM','MT02','" +
                             kHost + "'"}));
        QCOMPARE(f.stored("EntrySource", "L-1013", "GLU") + '|' +
                     f.stored("CriticalCalledTo", "L-1013", "GLU"),
                 "I|Ward 3, Nurse O'Hara");
    }

    // Each question answered No (or the call cancelled) saves nothing and
    // keeps every value; answered Yes, the save goes through with what
    // was confirmed.
    void questionsBeforeTheSave_data()
    {
        QTest::addColumn<bool>("verifyMode");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QStringList>("refusals"); // "plausible", "call", "delta"
        // Censored values by their bounds.
        F::row("implausible, No", false, ">1000", QStringList{"plausible"});
        F::row("critical, call cancelled", false, "<0.5", QStringList{"call"});
        F::row("verify mode, delta No", true, "28", QStringList{"delta"});
        F::row("verify mode, all confirmed", true, "28", QStringList());
    }
    void questionsBeforeTheSave()
    {
        QFETCH(bool, verifyMode);
        QFETCH(QString, typed);
        QFETCH(QStringList, refusals);
        f.entry->EditMode(true);
        f.entry->VerifyMode(verifyMode);
        const bool saves = refusals.isEmpty();
        f.withoutPotassium();
        f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            type(w, 1, typed);
            f.db->clearTrace();
            if (refusals.contains("plausible")) {
                f.presenter.queueAnswer(MsgAnswer::No);
            } else {
                f.presenter.queueWindow([&](QWidget& d) {
                    if (refusals.contains("call")) {
                        QTest::keyClick(&d, Qt::Key_Escape);
                        return;
                    }
                    QTest::keyClicks(control<QLineEdit>(d, "txtReportedTo"),
                                     QStringLiteral("Dr. Cruz"));
                    QTest::mouseClick(control<QPushButton>(d, "cmdOK"), Qt::LeftButton);
                });
                f.presenter.queueAnswer(saves ? MsgAnswer::Yes : MsgAnswer::No);
            }
            cmdSave->click();
            QCOMPARE(f.presenter.windowsShown().mid(1), refusals.contains("plausible")
                                                            ? QStringList()
                                                            : QStringList{"frmCriticalCall"});
            const QStringList asked = f.presenter.messageTexts();
            if (refusals.contains("plausible"))
                QCOMPARE(asked, QStringList{"The result >1000 of Glucose (fasting) is outside the "
                                            "plausible limits 0 - 100 mmol/L: it may be a typing "
                                            "slip. Save it anyway?"});
            else if (verifyMode)
                QCOMPARE(asked, QStringList{"The result of Glucose (fasting) changed from 5.5 "
                                            "mmol/L (02/22/2024) to 28: more than the delta limit "
                                            "of 50% within 30 days. Acknowledge it and verify?"});
            else
                QCOMPARE(asked, QStringList());
            QVERIFY2(w.isVisible() == !saves, qPrintable(asked.join('\n')));
            if (!saves) {
                QVERIFY(f.db->trace().filter(QRegularExpression("^Lab_|^laboratory")).isEmpty());
                QCOMPARE(control<FlexGrid>(w, "msfgRequest")->TextMatrix(1, 3), typed);
                QVERIFY(cmdSave->isEnabled());
                w.close();
                f.presenter.queueAnswer(MsgAnswer::Yes); // discard
            }
        });
        QCOMPARE(f.stored("SIResult", "L-1016", "GLU"), saves ? typed : QStringLiteral("5.5"));
        if (!saves)
            return;
        // Saved, called about and acknowledged (the texts are the window
        // model's), and only then verified again.
        const QStringList trace = f.db->trace();
        const int save = int(trace.indexOf(
            QRegularExpression("^Lab_FormMaker_SaveResultWithNormalValues2 'L-1016', 'GLU'.*")));
        QVERIFY(save >= 0 && trace.indexOf("Lab_AcknowledgeDelta 'L-1016','GLU','MT02'") > save);
        QVERIFY(trace.indexOf("laboratory..LAB_Save_VerifyResults 'L-1016','MT02'", save) > save);
        QCOMPARE(f.stored("EntrySource", "L-1016", "GLU") + '|' +
                     f.stored("CriticalCalledTo", "L-1016", "GLU") + '|' +
                     f.stored("DeltaAcknowledgedBy", "L-1016", "GLU") + '|' +
                     f.stored("Verified", "L-1016", "GLU"),
                 "T|Dr. Cruz|MT02|Y");
    }

    // No limit configured: flags only, nothing asked, and the same save as
    // from a laboratory that does not know the checks at all.
    void withoutLimitsTheSaveIsUnchanged()
    {
        const auto saveTyped = [&](bool knowsChecks, QStringList& trace) {
            f.tearDown();
            f.setUp(&m_factory);
            f.entry->EmployeeCode(QStringLiteral("MT02"));
            f.entry->EditMode(true);
            f.withoutPotassium();
            f.db->exec(
                QStringLiteral("UPDATE tbLabExamItem SET CriticalLow = NULL, CriticalHigh = NULL, "
                               "PlausibleLow = NULL, PlausibleHigh = NULL, DeltaLimit = NULL"));
            if (!knowsChecks)
                session().LabDb->setCommandHook([](const QString& text) {
                    if (text.startsWith(QStringLiteral("Lab_GetResultChecks")))
                        throw LisError(ErrNo::DbCommandFailed, QStringLiteral("unknown procedure"));
                });
            f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
                auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
                // Every item is flagged against its normal range all the same.
                QCOMPARE(msfgRequest->isColumnHidden(kFlag), !knowsChecks);
                type(w, 1, QStringLiteral("250"));
                QCOMPARE(msfgRequest->TextMatrix(1, kFlag),
                         knowsChecks ? QStringLiteral("H") : QString());
                f.db->clearTrace();
                control<QPushButton>(w, "cmdSave")->click();
                QVERIFY2(!w.isVisible(), qPrintable(f.presenter.messageTexts().join('\n')));
            });
            session().LabDb->setCommandHook({});
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(f.stored("SIResult", "L-1016", "GLU"), QStringLiteral("250"));
            // Change numbers are the laboratory's own count, not the window's.
            trace = f.db->trace().replaceInStrings(QRegularExpression(":\\d+"), ":N");
        };
        QStringList unconfigured, unknown;
        saveTyped(true, unconfigured);
        saveTyped(false, unknown);
        QVERIFY(!unconfigured.isEmpty());
        QVERIFY(unconfigured.filter(QRegularExpression("^Lab_(Record|Acknowledge)")).isEmpty());
        QCOMPARE(unconfigured, unknown);
    }

    // Quality control from the window: the held row is marked, verifying it
    // is refused with the laboratory's message and nothing is kept; once the
    // hold is lifted from the review dialog (Ctrl+Q) the result verifies.
    void theHeldRowFromOpeningToVerified()
    {
        const QString mark = QStringLiteral("QC rejected 9:40 AM: 2-2s, level 2");
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            auto* lblQcHold = control<QLabel>(w, "lblQcHold");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            QCOMPARE(lblQcHold->text(), "QC hold - GLU: " + mark);
            control<QPushButton>(w, "cmdResetResult")->click();
            cmdSave->click();
            QVERIFY2(f.presenter.messageTexts().join('\n').contains("is held by quality control (" +
                                                                    mark + ")"),
                     qPrintable(f.presenter.messageTexts().join('\n')));
            QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1013'"), 0);

            // An accepted run, the action and the review lift the hold.
            f.presenter.clear();
            f.presenter.queueWindow([&](QWidget& dialog) {
                for (const char* level : {"1', '5.00", "2', '15.00"})
                    session().LabDb->execute(
                        QStringLiteral("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-%1', "
                                       "'3/7/2024 10:30:00 AM', 'MT01'")
                            .arg(QLatin1String(level)));
                control<QLineEdit>(dialog, "txtAction")->setText(QStringLiteral("recalibrated"));
                control<QPushButton>(dialog, "cmdAction")->click();
                control<QPushButton>(dialog, "cmdConfirm")->click();
            });
            QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
            QVERIFY(f.presenter.messages().isEmpty() && !lblQcHold->isVisible());
            cmdSave->click();
        });
        QCOMPARE(f.stored("VerifiedBy", "L-1013", "GLU"), QStringLiteral("MT02"));
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<Window> m_factory;
};

QTEST_MAIN(TstNvWindow)
#include "tst_nv_window.moc"
