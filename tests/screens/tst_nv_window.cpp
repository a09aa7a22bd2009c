#include "Connection.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "Screenshot.h"
#include "WindowFixture.h"
#include "frmNVDownloads.h"

#include <QDateEdit>
#include <QLineEdit>
#include <QPushButton>

namespace {
class Window : public frmNVDownloads {
public:
    using frmNVDownloads::copyRequestedExams;
    static inline int prints = 0;
    void Print_Result() override { ++prints; }
};

class Factory : public ResultWindowFactory {
public:
    std::unique_ptr<ResultWindow> create(ResultWindowKind) override
    {
        return std::make_unique<Window>();
    }
};
} // namespace

// The normal-values window: filled in both unit systems, saved with its
// summaries, verified, and nothing kept of a save that failed.
class TstNvWindow : public QObject {
    Q_OBJECT
private slots:
    void init()
    {
        f.setUp(&m_factory);
        f.entry->EmployeeCode(QStringLiteral("MT02"));
        Window::prints = 0;
    }
    void cleanup() { f.tearDown(); }

    void filledFromSavedValues()
    {
        f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
            FlexGrid* g = w.msfgRequest;
            QCOMPARE(g->Rows(), 7);
            QCOMPARE(g->Cols(), 15);
            QCOMPARE(g->TextMatrix(0, 2), QStringLiteral("  Exam"));
            QCOMPARE(g->TextMatrix(1, 2), QStringLiteral("  Glucose (fasting)"));
            const QStringList glucose = {"L-1016",   "GLU",       "  Glucose (fasting)",
                                         "5.5",      "3.9 - 6.1", "mmol/L",
                                         "3.9",      "6.1",       "99",
                                         "70 - 110", "mg/dL",     "70",
                                         "110",      "18.016",    "1"};
            for (int c = 0; c < 15; ++c)
                QCOMPARE(g->TextMatrix(1, c), glucose[c]);
            QCOMPARE(g->ColWidth(0), 0);
            QCOMPARE(g->ColWidth(8), 2000);
            // The saved header came with it; the window stays editable.
            QCOMPARE(session().AccessionNum, QStringLiteral("A-1016"));
            QVERIFY(w.cmdSearchSampleNum->isEnabled() && w.dtpResultDate->isEnabled());
            screenshot(w, QStringLiteral("nv-saved"));
        });
    }

    void examsWithNormalValuesAndTakeOver()
    {
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            QCOMPARE(w.msfgRequest->Rows(), 2);
            QCOMPARE(w.grdExams->TextMatrix(1, 1), QStringLiteral("GLU"));
            QCOMPARE(w.grdExams->TextMatrix(1, 4), QStringLiteral("3.9 - 6.1"));
            QCOMPARE(w.txtSampleNum->text(), QStringLiteral("103"));
            // A downloaded item the request did not ask for is left alone.
            w.msfgDLresult->setTextMatrix(1, 4, QStringLiteral("CHOL"));
            w.msfgDLresult->setRows(3);
            w.msfgDLresult->setTextMatrix(2, 1, QStringLiteral("5.50"));
            w.msfgDLresult->setTextMatrix(2, 2, QStringLiteral("mmol/L"));
            w.msfgDLresult->setTextMatrix(2, 4, QStringLiteral(" GLU "));
            w.msfgDLresult->setTextMatrix(2, 19, QStringLiteral("L-1013 "));
            w.cmdResetResult->click();
            const QStringList row = {"L-1013", "GLU", "Glucose (fasting)", "5.5", "3.9 - 6.1",
                                     "mmol/L", ""};
            for (int c = 0; c < row.size(); ++c)
                QCOMPARE(w.msfgRequest->TextMatrix(1, c), row[c]);
            QCOMPARE(w.msfgRequest->TextMatrix(2, 1), QString());
            screenshot(w, QStringLiteral("nv-taken-over"));
        });
    }

    void saveWithSummaries_data()
    {
        QTest::addColumn<QString>("formType");
        QTest::newRow("P: deleted once, the exam name leads") << "P";
        QTest::newRow("other: deleted per row") << "B";
    }
    void saveWithSummaries()
    {
        QFETCH(QString, formType);
        f.entry->EditMode(true); // the saved header fills the pickers
        f.open<Window>(QStringLiteral("L-1016"), [&](Window& w) {
            session().Request.FormType = formType;
            w.msfgRequest->setRows(4); // three rows saved
            w.msfgRequest->setTextMatrix(3, 8, QString());
            f.db->clearTrace();
            w.cmdSave->click();
            QVERIFY(f.presenter.messages().isEmpty());
            QVERIFY(!w.isVisible());
        });
        const QStringList trace = f.db->trace();
        QCOMPARE(trace.filter(QStringLiteral("Lab_DeleteDump_ResultSummary")).size(),
                 formType == QLatin1String("P") ? 1 : 3);
        const QStringList summaries = trace.filter(QStringLiteral("Lab_SaveDump_ResultSummary"));
        const QString lead =
            formType == QLatin1String("P") ? QStringLiteral("  Glucose (fasting)=") : QString();
        QCOMPARE(summaries.first(),
                 QStringLiteral("Lab_SaveDump_ResultSummary 'L-1016', '") + lead +
                     QStringLiteral("5.5 (3.9 - 6.1 mmol/L)99 (70 - 110 mg/dL)'"));
        QVERIFY(summaries[2].endsWith(
            QStringLiteral("6.1 (2.5 - 7.1 mmol/L)'"))); // no conventional part
        QVERIFY(trace.contains(QStringLiteral(
            "Lab_FormMaker_SaveResultWithNormalValues2 'L-1016', 'GLU', '5.5', '3.9 - 6.1' , "
            "'mmol/L', '3.9', '6.1', '99', '70 - 110', 'mg/dL', '70', '110', '18.016', '1', '1', "
            "'A-1016','', '3/7/2024 9:00:00 AM', '3/7/2024 9:00:00 AM', '', 'MT02', 'Y', 'AN-01', "
            "'3/7/2024 9:00:00 AM'")));
        // Every row deletes its request's summary first: one stays (as specified).
        QCOMPARE(count("tbLabResultSummary WHERE RequestNum = 'L-1016'"),
                 formType == QLatin1String("P") ? 3 : 1);
        QCOMPARE(count("tbLabLogbook WHERE RequestNum = 'L-1016'"), 1); // it had one already
    }

    void verificationBeforeOrAfterTheSave_data()
    {
        QTest::addColumn<bool>("verifyMode");
        QTest::addColumn<bool>("clerk");
        QTest::newRow("verify mode: before each row") << true << false;
        QTest::newRow("otherwise: after each row") << false << false;
        QTest::newRow("a clerk never verifies") << false << true;
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
            w.cmdSave->click();
        });
        const QStringList trace = f.db->trace();
        const auto at = [&](const char* what) {
            // indexOf wants the whole line to match.
            return int(
                trace.indexOf(QRegularExpression(QLatin1String(what) + QStringLiteral(".*"))));
        };
        const int verify = at("^laboratory..LAB_Save_VerifyResults 'L-1014','MT02'$");
        const int save = at("^Lab_FormMaker_SaveResultWithNormalValues2 'L-1014', 'CREA'");
        QVERIFY(save >= 0);
        if (clerk) {
            QCOMPARE(verify, -1);
            QVERIFY(trace[save].contains(QStringLiteral("'MT02', 'N', ")));
        } else {
            QVERIFY(verify >= 0);
            QCOMPARE(verify < save, verifyMode);
            QVERIFY(trace[save].contains(QStringLiteral("'MT02', 'Y', ")));
        }
        QCOMPARE(count("tbLabResult WHERE RequestNum = 'L-1014' AND VerifiedBy = 'MT02'"),
                 clerk ? 0 : 3);
    }

    void aFailureInTheThirdRowKeepsNothing()
    {
        const auto snapshot = [&] {
            return f.db
                ->query(QStringLiteral(
                    "SELECT (SELECT count(*) FROM tbLabResult WHERE RequestNum = 'L-1013'), "
                    "(SELECT count(*) FROM tbLabLogbook WHERE RequestNum = 'L-1013'), "
                    "(SELECT count(*) FROM tbLabResultSummary WHERE RequestNum = 'L-1013')"))
                .rows[0];
        };
        const QVariantList before = snapshot();
        f.open<Window>(QStringLiteral("L-1013"), [&](Window& w) {
            w.grdExams->setRows(4);
            for (int r = 2; r <= 3; ++r)
                for (int c = 1; c <= 4; ++c)
                    w.grdExams->setTextMatrix(r, c, w.grdExams->TextMatrix(1, c));
            w.grdExams->setTextMatrix(2, 1, QStringLiteral("CHOL"));
            w.grdExams->setTextMatrix(3, 1, QStringLiteral("TRIG"));
            w.copyRequestedExams();
            for (int r = 1; r <= 3; ++r)
                w.msfgRequest->setTextMatrix(r, 3, QString::number(r));
            w.txtAccNum->setText(QStringLiteral("A-13"));
            int saves = 0;
            session().LabDb->setCommandHook([&](const QString& text) {
                if (text.startsWith(QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2")) &&
                    ++saves == 3)
                    throw LisError(ErrNo::DbCommandFailed, QStringLiteral("disk full"));
            });
            w.cmdSave->click();
            session().LabDb->setCommandHook({});
            QCOMPARE(f.presenter.messageTexts(),
                     QStringList{QStringLiteral("Data was not saved! Error: [disk full]")});
            QVERIFY(w.isVisible() && w.cmdSave->isEnabled());
            QCOMPARE(w.msfgRequest->TextMatrix(3, 3), QStringLiteral("3"));
        });
        QCOMPARE(snapshot(), before);
    }

private:
    int count(const char* tableAndWhere)
    {
        return f.db->query(QStringLiteral("SELECT count(*) FROM ") + QLatin1String(tableAndWhere))
            .rows[0][0]
            .toInt();
    }

    WindowFixture f;
    Factory m_factory;
};

QTEST_MAIN(TstNvWindow)
#include "tst_nv_window.moc"
