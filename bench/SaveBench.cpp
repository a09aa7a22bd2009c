#include "SaveBench.h"
#include "BenchLab.h"
#include "FlexGrid.h"
#include "ResultWindows.h"
#include "ScriptedPresenter.h"
#include "clsLISResultEntry.h"
#include "frmDownloaded.h"
#include "modMain.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace {
double saveThroughTheWindow(int n)
{
    double ms = 0;
    ScriptedPresenter presenter;
    PresenterScope scope(presenter);
    presenter.queueWindow([&](QWidget& window) {
        auto& w = static_cast<frmDownloaded&>(window);
        w.txtAccNum->setText(QStringLiteral("ACC-1"));
        FlexGrid* g = w.msfgRequest;
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
        QSqlQuery logbook(db), logbookInsert(db), item(db), result(db), header(db), post(db);
        logbook.prepare(QStringLiteral("SELECT * FROM tbLabLogbook WHERE RequestNum = ?"));
        logbookInsert.prepare(QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                                             "VALUES (?, '2024-03-07 09:00:00')"));
        item.prepare(QStringLiteral("SELECT * FROM tbLabInstrumentExams WHERE ItemID = ?"));
        result.prepare(QStringLiteral(
            "INSERT INTO tbLabResult (RequestNum, ItemID, RowNo, ExamName, PatientValue, Result) "
            "VALUES (?, ?, ?, ?, '0.5', '0.5') ON CONFLICT (RequestNum, ItemID) DO UPDATE SET "
            "PatientValue = excluded.PatientValue"));
        header.prepare(QStringLiteral(
            "INSERT INTO tbLabResultHeader (RequestNum, AccessionNum) VALUES (?, 'ACC-1') "
            "ON CONFLICT (RequestNum) DO UPDATE SET AccessionNum = excluded.AccessionNum"));
        post.prepare(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET Posted = 'Y' WHERE "
                                    "InstrumentID = 'AN-01' AND SampleNum = ''"));
        QElapsedTimer t;
        t.start();
        db.transaction();
        for (int i = 1; i <= n; ++i) {
            const QString id = BenchLab::itemId(i);
            logbook.addBindValue(QStringLiteral("B-2"));
            logbook.exec();
            if (!logbook.next() && i == 1) {
                logbookInsert.addBindValue(QStringLiteral("B-2"));
                logbookInsert.exec();
            }
            item.addBindValue(id);
            item.exec();
            item.next();
            result.addBindValue(QStringLiteral("B-2"));
            result.addBindValue(id);
            result.addBindValue(i);
            result.addBindValue(QStringLiteral("Bench item ") + id);
            result.exec();
            header.addBindValue(QStringLiteral("B-2"));
            header.exec();
            post.exec();
        }
        db.commit();
        ms = double(t.nsecsElapsed()) / 1e6;
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
