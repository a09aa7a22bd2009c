#include "screens/dialogs/frmCriticalCall.h"
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

QString host()
{
    return QSysInfo::machineHostName();
}

const QString kCalledAt = QStringLiteral("3/7/2024 2:05:00 PM"); // the pinned clock, to the minute
} // namespace

// The normal-values window's checks: flags and the previous result while
// typing, and a save that asks about implausible, critical and changed
// results and tells the laboratory who entered, called and acknowledged
// them; without limits, exactly the save there was before.
class TstResultChecks : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT02"));
    }
    void cleanup() { f.tearDown(); }

    // L-1016 (REYES, ANA): glucose 5.5 saved; her earlier L-0916 has a
    // verified 5.5 of 22 February.
    void flagsFollowTheValue()
    {
        f.entry->EditMode(true);
        f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
            FlexGrid* g = control<FlexGrid>(w, "msfgRequest");
            QCOMPARE(g->TextMatrix(0, kFlag) + '|' + g->TextMatrix(0, kPrevious), "Flag|Previous");
            QVERIFY(!g->isColumnHidden(kFlag) && !g->isColumnHidden(kPrevious));
            // Shown beside the SI result; the saved columns keep their numbers.
            QCOMPARE(g->horizontalHeader()->visualIndex(kFlag),
                     g->horizontalHeader()->visualIndex(3) + 1);
            QCOMPARE(g->TextMatrix(1, kPrevious), QStringLiteral("5.5 mmol/L 02/22/2024"));
            QCOMPARE(g->item(0, kPrevious)->toolTip(),
                     QStringLiteral("Verified result of request L-0916"));
            QCOMPARE(g->TextMatrix(1, kFlag), QString());

            const struct {
                const char* typed;
                const char* flag;
                QColor fore;
                bool amber;
            } steps[] = {{"28", "HH D", Qt::white, true},
                         {"3.5", "L", QColor(0x00, 0x3c, 0xb4), false},
                         {"5.0", "", QColor(), false},
                         {"NEGATIVE", "", QColor(), false}};
            for (const auto& s : steps) {
                type(w, 1, QLatin1String(s.typed));
                QCOMPARE(g->TextMatrix(1, kFlag), QLatin1String(s.flag));
                if (s.fore.isValid()) // colour goes with the letters
                    QCOMPARE(g->item(0, kFlag)->foreground().color(), s.fore);
                QCOMPARE(g->item(0, kPrevious)->background().color() == QColor(0xff, 0xd5, 0x80),
                         s.amber);
            }
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
                QCOMPARE(d.windowTitle(), QStringLiteral("Critical Result"));
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
        QCOMPARE(trace.mid(save + 1, 2),
                 (QStringList{"Lab_RecordResultEntry 'L-1013','GLU','MT02','I','AN-01','103','" +
                                  host() + "'",
                              "Lab_RecordCriticalCall 'L-1013','GLU','Ward 3, Nurse O''Hara','" +
                                  kCalledAt + "','MT02','" + host() + "'"}));
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

private:
    WindowFixture f;
    WindowFixture::WindowsOf<Window> m_factory;
};

QTEST_MAIN(TstResultChecks)
#include "tst_result_checks.moc"
