#include "labserver/LabStore.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "tests/support/Screenshot.h"
#include "tests/support/WindowFixture.h"

using Window = WindowFixture::NormalValuesWithoutReport;

// The normal-values window: taken over, verified before or after each row,
// and nothing kept of a save that failed.
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
            QCOMPARE(grdExams->TextMatrix(1, 4), QStringLiteral("3.9 - 6.1"));
            QCOMPARE(control<QLineEdit>(w, "txtSampleNum")->text(), QStringLiteral("103"));
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
            screenshot(w, QStringLiteral("nv-taken-over"));

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

private:
    WindowFixture f;
    WindowFixture::WindowsOf<Window> m_factory;
};

QTEST_MAIN(TstNvWindow)
#include "tst_nv_window.moc"
