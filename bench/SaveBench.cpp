#include "SaveBench.h"
#include "BenchLab.h"
#include "Clock.h"
#include "DateText.h"
#include "FlexGrid.h"
#include "ResultWindows.h"
#include "ScriptedPresenter.h"
#include "clsLISResultEntry.h"
#include "frmDownloaded.h"
#include "modMain.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QSqlDatabase>
#include <QSqlError>
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
        // The sample's downloaded results posted to the request, row by row.
        post.prepare(QStringLiteral(
            "UPDATE tbLabInstrumentDLHemaResult SET Posted = 'Y', PostedRequestNum = ?, "
            "PostedBy = 'MT01', PostedAt = '2024-03-07 09:00:00' WHERE InstrumentID = 'AN-01' "
            "AND SampleNum = 'B1' AND Resultdate >= ? AND Resultdate < ? "
            "AND NOT (Posted = 'Y' AND PostedRequestNum = ?) AND InstrumentItem IN "
            "(SELECT m.InstrumentItem FROM tbLabInstrumentExams m JOIN tbLabExamFormat f "
            "ON f.ItemID = m.ItemID JOIN tbLabRequest r ON r.Code = f.Code "
            "WHERE m.InstrumentID = 'AN-01' AND r.RequestNum = ?)"));
        const QDate day = Clock::today();
        const QString from = DateText::storage(QDateTime(day, QTime(0, 0)));
        const QString to = DateText::storage(QDateTime(day.addDays(1), QTime(0, 0)));
        // A baseline that failed would flatter the component: stop instead.
        const auto run = [](QSqlQuery& q) {
            if (!q.exec())
                qFatal("baseline write failed: %s", qPrintable(q.lastError().text()));
        };
        QElapsedTimer t;
        t.start();
        db.transaction();
        for (int i = 1; i <= n; ++i) {
            const QString id = BenchLab::itemId(i);
            logbook.addBindValue(QStringLiteral("B-2"));
            run(logbook);
            if (!logbook.next() && i == 1) {
                logbookInsert.addBindValue(QStringLiteral("B-2"));
                run(logbookInsert);
            }
            item.addBindValue(id);
            run(item);
            item.next();
            result.addBindValue(QStringLiteral("B-2"));
            result.addBindValue(id);
            result.addBindValue(i);
            result.addBindValue(QStringLiteral("Bench item ") + id);
            run(result);
            header.addBindValue(QStringLiteral("B-2"));
            run(header);
            for (const QString& v :
                 {QStringLiteral("B-2"), from, to, QStringLiteral("B-2"), QStringLiteral("B-2")})
                post.addBindValue(v);
            run(post);
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
