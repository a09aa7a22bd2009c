// Quality control from the result window: the held row shows what the
// laboratory reports, verifying it is refused with the laboratory's message,
// and the review dialog and the chart are reached from the window; once the
// laboratory lifts the hold the mark goes and the result verifies.
#include "tests/support/WindowFixture.h"

using Window = WindowFixture::NormalValuesWithoutReport;

class TstQcReview : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT02"));
    }
    void cleanup() { f.tearDown(); }

    void theHeldRowFromOpeningToVerified()
    {
        const QString mark = QStringLiteral("QC rejected 9:40 AM: 2-2s, level 2");
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            auto* lblQcHold = control<QLabel>(w, "lblQcHold");
            auto* msfgDLresult = control<FlexGrid>(w, "msfgDLresult");
            auto* msfgRequest = control<FlexGrid>(w, "msfgRequest");
            auto* cmdSave = control<QPushButton>(w, "cmdSave");
            // The glucose row's mark in a grid, and the one above the remarks.
            const auto held = [&](FlexGrid* g, int itemCol) {
                QString tip;
                for (int r = 1; r < g->Rows(); ++r)
                    if (g->TextMatrix(r, itemCol).trimmed() == QLatin1String("GLU"))
                        tip = g->item(r - 1, itemCol)->toolTip();
                return QStringList{tip, lblQcHold->isVisible() ? lblQcHold->text() : QString()};
            };
            const QString keys = QStringLiteral(" (Ctrl+Q: review, Ctrl+L: chart)");
            const QStringList marked{mark + keys, "QC hold - GLU: " + mark};
            QCOMPARE(held(msfgDLresult, col(DownloadedCol::Item)), marked);

            // The chart of the held row, in the report preview.
            QString chart;
            f.presenter.queueWindow([&](QWidget& viewer) { chart = viewer.windowTitle(); });
            QTest::keyClick(&w, Qt::Key_L, Qt::ControlModifier);
            QVERIFY2(chart.contains("AN-01, Glucose"), qPrintable(chart));

            // Taken over and verified: the laboratory refuses, nothing is kept.
            control<QPushButton>(w, "cmdResetResult")->click();
            QCOMPARE(held(msfgRequest, col(NvCol::Item)), marked);
            cmdSave->click();
            QVERIFY2(f.presenter.messageTexts().join('\n').contains("is held by quality control (" +
                                                                    mark + ")"),
                     qPrintable(f.presenter.messageTexts().join('\n')));
            QCOMPARE(f.count("tbLabResult WHERE RequestNum = 'L-1013'"), 0);

            // An accepted run, the action and the review, from the window.
            f.presenter.clear();
            f.presenter.queueWindow([&](QWidget& dialog) {
                auto* lstHeld = control<QListWidget>(dialog, "lstHeld");
                QCOMPARE(lstHeld->count(), 1);
                for (const char* level : {"1', '5.00", "2', '15.00"})
                    session().LabDb->execute(
                        QStringLiteral("sp_QCResultAdd 'AN-01', 'GLU', 'QC-GLU-%1', "
                                       "'3/7/2024 10:30:00 AM', 'MT01'")
                            .arg(QLatin1String(level)));
                control<QLineEdit>(dialog, "txtAction")->setText(QStringLiteral("recalibrated"));
                control<QPushButton>(dialog, "cmdAction")->click();
                control<QPushButton>(dialog, "cmdConfirm")->click();
                QCOMPARE(lstHeld->count(), 0);
            });
            QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
            QCOMPARE(f.presenter.messageTexts(), QStringList());
            QCOMPARE(held(msfgRequest, col(NvCol::Item)), (QStringList{QString(), QString()}));
            QCOMPARE(held(msfgDLresult, col(DownloadedCol::Item))[0], QString());
            QVERIFY(!control<QAction>(w, "mnuQcReview")->isEnabled() &&
                    !control<QAction>(w, "mnuQcChart")->isEnabled());
            cmdSave->click();
        });
        QCOMPARE(f.stored("VerifiedBy", "L-1013", "GLU"), QStringLiteral("MT02"));
    }

private:
    WindowFixture f;
    WindowFixture::WindowsOf<Window> m_factory;
};

QTEST_MAIN(TstQcReview)
#include "tst_qc_review.moc"
