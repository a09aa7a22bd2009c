#include "Clock.h"
#include "Connection.h"
#include "DemoLaboratory.h"
#include "FlexGrid.h"
#include "LisError.h"
#include "ResultWindow.h"
#include "ScriptedPresenter.h"
#include "SettingsStore.h"
#include "TestDatabase.h"
#include "WindowFixture.h"
#include "clsLISResultEntry.h"
#include "frmDownloaded.h"
#include "modMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTextEdit>
#include <QtTest>

namespace {
const QDate kDay(2024, 3, 7);

// The cut-off window with a stand-in for the report: it can say the viewer
// verified and asked for a direct print.
class Window : public frmDownloaded {
public:
    static inline int prints = 0;
    static inline bool verifyOnPrint = false;
    void Print_Result() override
    {
        ++prints;
        if (verifyOnPrint)
            session().ReportVerified = session().PrintRequested = true;
    }
};

class Factory : public ResultWindowFactory {
public:
    std::unique_ptr<ResultWindow> create(ResultWindowKind) override
    {
        return std::make_unique<Window>();
    }
};

using Row = QStringList; // code, name, value, result, request, cut-off
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
        Window::verifyOnPrint = false;
    }
    void cleanup() { f.tearDown(); }

    void rowsOfTwoRequests()
    {
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            setRows(w, {{"HBSAG", "HBsAg (O'Neil kit)", "0.42", "0.42", "L-1001", "1"},
                        {"ANTIHCV", "Anti-HCV", "0.95", "0.95", "L-1002", "1"}});
            w.txtRemarks->setPlainText(QStringLiteral("Patient's second sample"));
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(f.db->trace().mid(0, 5),
                     (QStringList{
                         "Select * from Laboratory..tbLabLogbook where RequestNum = 'L-1001'",
                         "Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1001', '', 'MT01',"
                         "'3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM','101'",
                         "SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = 'HBSAG'",
                         "Laboratory..Lab_SaveWithCutOff '101','3/7/2024 2:05:00 PM', "
                         "'3/7/2024 2:05:00 PM','L-1001','HBSAG', '5', 'HBsAg (O''Neil kit)', "
                         "'0.42', '1', '0.42', 'Patient''s second sample','1'",
                         "LABORATORY..Lab_UpdateDLHemaResult '2','101','L-1001','MT01',"
                         "'03/07/2024','AN-01'"}));
            // The second row, of request L-1002, gets its own logbook check and entry.
            QCOMPARE(f.db->trace().size(), 10);
            QVERIFY(f.db->trace()[6].startsWith(
                QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1002'")));
            // Saved without printing: the buttons stay off, the window open.
            QVERIFY(!w.cmdSave->isEnabled() && w.isVisible());
        });
        QCOMPARE(count("tbLabLogbook WHERE RequestNum IN ('L-1001', 'L-1002')"), 2);
        QCOMPARE(count("tbLabInstrumentDLHemaResult WHERE SampleNum = '101' AND Posted = 'Y'"), 4);
        const ResultSet stored = f.db->query(QStringLiteral(
            "SELECT ExamName, Remarks, CutOffValue FROM tbLabResult WHERE ItemID = 'HBSAG' AND "
            "RequestNum = 'L-1001'"));
        QCOMPARE(stored.rows.value(0),
                 (QVariantList{"HBsAg (O'Neil kit)", "Patient's second sample", "1"}));
        QCOMPARE(session().SampleSubmitted, QDateTime(kDay, QTime(14, 5)));
    }

    void cutOffValueOnlyWhenShown_data()
    {
        QTest::addColumn<QString>("show"); // the SQL value of ShowResultValue
        QTest::addColumn<QString>("sent");
        QTest::newRow("Y") << "'Y'"
                           << "1";
        QTest::newRow("N") << "'N'"
                           << "";
        QTest::newRow("empty") << "''"
                               << "";
        QTest::newRow("Null") << "NULL"
                              << "";
        QTest::newRow("lower-case y") << "'y'"
                                      << "";
        QTest::newRow("item not known to the instrument") << "DELETE"
                                                          << "";
    }
    void cutOffValueOnlyWhenShown()
    {
        QFETCH(QString, show);
        QFETCH(QString, sent);
        f.db->exec(show == QLatin1String("DELETE")
                       ? QStringLiteral("DELETE FROM tbLabInstrumentExams WHERE ItemID = 'HBSAG'")
                       : QStringLiteral("UPDATE tbLabInstrumentExams SET ShowResultValue = %1 "
                                        "WHERE ItemID = 'HBSAG'")
                             .arg(show));
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            setRows(w, {{"HBSAG", "HBsAg", "0.42", "0.42", "L-1001", "1"}});
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
        });
        QCOMPARE(f.db->query(QStringLiteral("SELECT CutOffValue FROM tbLabResult WHERE "
                                            "RequestNum = 'L-1001'"))
                     .rows.value(0)
                     .value(0),
                 QVariant(sent));
    }

    void otherFormTypesSaveNoCutOffResult_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<QString>("code");
        QTest::newRow("W") << "L-1005"
                           << "NS1";
        QTest::newRow("H") << "L-1006"
                           << "HBSAG";
    }
    void otherFormTypesSaveNoCutOffResult()
    {
        QFETCH(QString, request);
        QFETCH(QString, code);
        f.open<Window>(request, [&](Window& w) {
            setRows(w, {{code, "x", "1", "1", request, "1"}});
            w.txtAccNum->setText(QStringLiteral("A-1"));
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(f.db->trace().filter(QStringLiteral("Lab_SaveWithCutOff")), QStringList());
            QCOMPARE(f.db->trace().filter(QStringLiteral("tbLabLogbook where")).size(), 1);
            QCOMPARE(f.db->trace().filter(QStringLiteral("Lab_UpdateDLHemaResult")).size(), 1);
        });
    }

    void anEmptyRowSavesNothing()
    {
        f.open<Window>(QStringLiteral("L-1007"), [&](Window& w) {
            QCOMPARE(w.msfgRequest->Rows(), 2); // the empty row of a grid without exams
            w.txtAccNum->setText(QStringLiteral("A-1"));
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            QVERIFY(f.presenter.messages().isEmpty());
            QCOMPARE(f.db->trace(), QStringList());
        });
        QCOMPARE(count("tbLabLogbook WHERE RequestNum = ''"), 0);
    }

    void printWithAndWithoutVerification()
    {
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            setRows(w, {{"HBSAG", "HBsAg", "0.42", "0.42", "L-1001", "1"}});
            QTest::mouseClick(w.cmdPrint, Qt::LeftButton);
            QCOMPARE(Window::prints, 1);
            QVERIFY(w.isVisible());
            QVERIFY(w.cmdSave->isEnabled() && w.cmdPrint->isEnabled() && w.cmdVerify->isEnabled());
            Window::verifyOnPrint = true;
            QTest::mouseClick(w.cmdPrint, Qt::LeftButton);
            QCOMPARE(Window::prints, 3); // the preview, then the direct print
            QVERIFY(!w.isVisible());
            QCOMPARE(w.VerifyRequested, true);
        });
    }

    void aFailureAnywhereLeavesNothingBehind()
    {
        // How many commands one save sends.
        int commands = 0;
        f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
            setRows(w, twoRows());
            f.db->clearTrace();
            QTest::mouseClick(w.cmdSave, Qt::LeftButton);
            commands = int(f.db->trace().size());
        });
        QCOMPARE(commands, 10);
        f.db->exec(QStringLiteral("DELETE FROM tbLabLogbook WHERE RequestNum IN ('L-1001', "
                                  "'L-1002')"));
        f.db->exec(QStringLiteral("DELETE FROM tbLabResult WHERE RequestNum IN ('L-1001', "
                                  "'L-1002')"));
        f.db->exec(QStringLiteral("DELETE FROM tbLabResultHeader WHERE RequestNum IN "
                                  "('L-1001', 'L-1002')"));
        f.db->exec(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET Posted = 'N', "
                                  "PostedRequestNum = NULL"));
        const QString before = snapshot();

        for (int failing = 1; failing <= commands; ++failing) {
            f.presenter.clear();
            f.open<Window>(QStringLiteral("L-1001"), [&](Window& w) {
                setRows(w, twoRows());
                w.txtAccNum->setText(QStringLiteral("ACC-9"));
                int sent = 0;
                session().LabDb->setCommandHook([&](const QString&) {
                    if (++sent == failing)
                        throw LisError(ErrNo::DbCommandFailed, QStringLiteral("disk full"));
                });
                QTest::mouseClick(w.cmdSave, Qt::LeftButton);
                session().LabDb->setCommandHook({});
                QCOMPARE(f.presenter.messageTexts(),
                         QStringList{QStringLiteral("Data was not saved! Error: [disk full]")});
                QCOMPARE(f.presenter.messages().first().title,
                         QStringLiteral("Save_Entries of Result Entry Class"));
                QCOMPARE(f.presenter.messages().first().icon, MsgIcon::Critical);
                QCOMPARE(w.msfgRequest->TextMatrix(2, 3), QStringLiteral("0.95"));
                QCOMPARE(w.txtAccNum->text(), QStringLiteral("ACC-9"));
                QVERIFY(w.isVisible() && w.cmdSave->isEnabled());
            });
            QCOMPARE(snapshot(), before);
        }
    }

private:
    static QList<Row> twoRows()
    {
        return {{"HBSAG", "HBsAg", "0.42", "0.42", "L-1001", "1"},
                {"ANTIHCV", "Anti-HCV", "0.95", "0.95", "L-1002", "1"}};
    }

    static void setRows(Window& w, const QList<Row>& rows)
    {
        FlexGrid* g = w.msfgRequest;
        g->setRows(int(rows.size()) + 1);
        for (int r = 0; r < rows.size(); ++r)
            for (auto [col, field] : {std::pair{1, 0}, {2, 1}, {3, 2}, {4, 3}, {7, 4}, {8, 5}})
                g->setTextMatrix(r + 1, col, rows[r][field]);
    }

    int count(const char* tableAndWhere)
    {
        return f.db->query(QStringLiteral("SELECT count(*) FROM ") + QLatin1String(tableAndWhere))
            .rows[0][0]
            .toInt();
    }

    QString snapshot()
    {
        QString out;
        for (const char* sql :
             {"SELECT count(*) FROM tbLabLogbook", "SELECT count(*) FROM tbLabResult",
              "SELECT count(*) FROM tbLabResultHeader",
              "SELECT count(*) FROM tbLabInstrumentDLHemaResult WHERE Posted = 'Y'"})
            out += f.db->query(QLatin1String(sql)).rows[0][0].toString() + QLatin1Char(' ');
        return out;
    }

    WindowFixture f;
    Factory m_factory;
};

QTEST_MAIN(TstSaveCutOff)
#include "tst_save_cut_off.moc"
