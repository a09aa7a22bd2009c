#pragma once

#include "component/ResultWindow.h"
#include "component/clsLISResultEntry.h"
#include "component/modMain.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/LisError.h"
#include "platform/ScriptedPresenter.h"
#include "platform/SettingsStore.h"
#include "platform/db/Connection.h"
#include "platform/ui/FlexGrid.h"
#include "screens/ResultWindows.h"
#include "screens/normal_values/frmNVDownloads.h"
#include "screens/result_entry/frmDownloaded.h"
#include "tests/support/Controls.h"
#include "tests/support/TestDatabase.h"

#include <QtTest>
#include <QtWidgets>
#include <functional>

// What every window test starts from: the demo laboratory of 7 March 2024
// at 14:05:59, the workstation's instrument AN-01, a scripted presenter and
// the component created. open() shows a request's window through the
// component and hands it, shown and active, to the test to drive.
class WindowFixture {
public:
    // Makes the component open a window of type W, parts of it observed.
    template <typename W> struct WindowsOf : ResultWindowFactory {
        std::unique_ptr<ResultWindow> create(ResultWindowKind) override
        {
            return std::make_unique<W>();
        }
    };

    // Both windows with their reports left out, each opening for its kind.
    struct CutOffWithoutReport : frmDownloaded {
        void Print_Result() override {}
    };
    struct NormalValuesWithoutReport : frmNVDownloads {
        void Print_Result() override {}
    };
    struct WithoutReports : ResultWindowFactory {
        std::unique_ptr<ResultWindow> create(ResultWindowKind kind) override
        {
            if (kind == ResultWindowKind::NVDownloads)
                return std::make_unique<NormalValuesWithoutReport>();
            return std::make_unique<CutOffWithoutReport>();
        }
    };

    static QDate day() { return {2024, 3, 7}; }

    // Without a factory the real windows open.
    void setUp(ResultWindowFactory* factory = nullptr)
    {
        Clock::pin(QDateTime(day(), QTime(14, 5, 59)));
        db = std::make_unique<TestDatabase>();
        DemoLaboratory::build(db->store(), day());
        // The windows' technologist, known to the laboratory.
        db->exec(QStringLiteral("INSERT INTO tbLabStaff (StaffID, StaffName, Role) VALUES "
                                "('MT-07', 'Test Technologist', 'Medical Technologist')"));
        db->useForComponent();
        const QString lab = QStringLiteral("Laboratory"),
                      key = QStringLiteral("LabMachineInterface");
        SettingsStore::set(QStringLiteral("TarvikInstrumentID"), lab, key, QStringLiteral("AN-01"));
        SettingsStore::set(QStringLiteral("TarvikInstrumentname"), lab, key,
                           QStringLiteral("Integrated Analyzer AN-01"));
        ResultWindows::install();
        if (factory)
            ResultWindowFactory::install(factory);
        Presenter::install(&presenter);
        entry = std::make_unique<clsLISResultEntry>();
        presenter.clear();
        SessionState& s = session();
        s.Clerk = s.EditMode = s.VerifyMode = s.ReportVerified = s.PrintRequested = false;
        s.EmployeeCode = QStringLiteral("MT-07");
    }

    void tearDown()
    {
        entry.reset();
        Presenter::install(nullptr);
        ResultWindowFactory::install(nullptr);
        db.reset();
        Clock::setSource({});
    }

    template <typename W> void open(const QString& request, const std::function<void(W&)>& drive)
    {
        bool driven = false;
        presenter.queueWindow([&](QWidget& window) {
            auto& w = static_cast<W&>(window);
            QApplication::setActiveWindow(&w);
            QVERIFY(QTest::qWaitForWindowActive(&w));
            drive(w);
            driven = true;
        });
        entry->Show_ResultEntry(request);
        QVERIFY(driven);
    }

    // L-1016 requests potassium without a saved result; tests of other
    // matters leave it out, so every row the window shows has a value.
    void withoutPotassium()
    {
        db->exec(QStringLiteral("DELETE FROM tbLabExamFormat WHERE Code = 'CHEM6' AND "
                                "ItemID = 'K'"));
    }

    // How many rows "SELECT count(*) FROM <tableAndWhere>" counts.
    int count(const char* tableAndWhere)
    {
        return first(QStringLiteral("SELECT count(*) FROM ") + QLatin1String(tableAndWhere))
            .toInt();
    }

    // One column of an exam item's stored result; empty when there is none.
    QString stored(const QString& column, const QString& request, const QString& item)
    {
        return first(QStringLiteral("SELECT %1 FROM tbLabResult WHERE RequestNum = '%2' AND "
                                    "ItemID = '%3'")
                         .arg(column, request, item))
            .toString();
    }

    // The first cell a query answers; null when it answers no row.
    QVariant first(const QString& sql) { return db->query(sql).rows.value(0).value(0); }

    // Clicks a grid cell as staff do; row 1 is the first under the headings,
    // column 3 a result grid's VALUE.
    static void clickCell(FlexGrid* g, int row, int col = 3)
    {
        QTest::mouseClick(g->viewport(), Qt::LeftButton, {},
                          g->visualRect(g->model()->index(row - 1, col)).center());
    }

    // A grid column's texts under its heading, trimmed.
    static QStringList column(const FlexGrid* g, int col)
    {
        QStringList texts;
        for (int r = 1; r < g->Rows(); ++r)
            texts << g->TextMatrix(r, col).trimmed();
        return texts;
    }

    // One data row on a line: QTest::newRow(name) << values...
    template <typename... T> static void row(const char* name, const T&... values)
    {
        (QTest::newRow(name) << ... << values);
    }

    // Use Result >>, or Reset Result once instrument results are taken over.
    static void useResult(ResultEntryForm& w)
    {
        QTest::mouseClick(control<QPushButton>(w, "cmdResetResult"), Qt::LeftButton);
    }

    std::unique_ptr<TestDatabase> db;
    std::unique_ptr<clsLISResultEntry> entry;
    ScriptedPresenter presenter;
};
