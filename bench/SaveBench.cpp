#include "SaveBench.h"
#include "bench/BenchLab.h"
#include "bench/CommandSave.h"
#include "component/clsLISResultEntry.h"
#include "component/modMain.h"
#include "platform/Clock.h"
#include "platform/ScriptedPresenter.h"
#include "platform/ui/FlexGrid.h"
#include "screens/ResultWindows.h"
#include "screens/result_entry/frmDownloaded.h"

#include <QLineEdit>
#include <QSqlDatabase>

namespace {
double saveThroughTheWindow(int n)
{
    double ms = 0;
    ScriptedPresenter presenter;
    PresenterScope scope(presenter);
    presenter.queueWindow([&](QWidget& window) {
        auto& w = static_cast<frmDownloaded&>(window);
        w.findChild<QLineEdit*>(QStringLiteral("txtAccNum"))->setText(QStringLiteral("ACC-1"));
        auto* g = w.findChild<FlexGrid*>(QStringLiteral("msfgRequest"));
        g->setRows(n + 1);
        for (int i = 1; i <= n; ++i) {
            const QString id = BenchLab::itemId(i);
            g->setTextMatrix(i, 1, id);
            g->setTextMatrix(i, 2, QStringLiteral("Bench item ") + id);
            g->setTextMatrix(i, 3, QStringLiteral("0.5"));
            g->setTextMatrix(i, 4, QStringLiteral("0.5"));
            g->setTextMatrix(i, 7, QStringLiteral("B-1"));
        }
        bool ok = false;
        ms = msOf([&] { ok = w.Save_Entries(); });
        if (!ok)
            ms = -1;
    });
    clsLISResultEntry entry;
    entry.EmployeeCode(QStringLiteral("MT01"));
    entry.Show_ResultEntry(QStringLiteral("B-1"));
    return ms;
}

// The same writes, as prepared statements in one transaction.
double saveDirectly(const QString& folder, int n)
{
    double ms = 0;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("baseline"));
        db.setDatabaseName(folder + QStringLiteral("/laboratory.db"));
        db.open();
        {
            DirectSave direct(db, Clock::today());
            ms = msOf([&] { direct.save(QStringLiteral("B-2"), QStringLiteral("B1"), n); });
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("baseline"));
    return ms;
}
} // namespace

void benchSave(QTextStream& out, const QList<int>& rowCounts)
{
    out << "Save_Entries (cut-off window) against direct prepared SQLite writes, one transaction\n";
    for (int n : rowCounts) {
        BenchLab lab(n);
        const double component = saveThroughTheWindow(n);
        const double direct = saveDirectly(lab.folder(), n);
        out << QStringLiteral("  %1 rows: %2 ms, direct %3 ms, ratio %4x\n")
                   .arg(n, 5)
                   .arg(component, 8, 'f', 1)
                   .arg(direct, 8, 'f', 1)
                   .arg(component / direct, 5, 'f', 2);
        out.flush();
    }
}
