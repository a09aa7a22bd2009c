// A workstation started by tst_workstations against a laboratory folder:
//   save FOLDER FIRST LAST [STOPFILE] [PAUSESAVE PAUSESTEP]
//     saves requests W-FIRST..W-LAST with the command texts of the cut-off
//     window's save, one transaction each, until STOPFILE exists; with a
//     pause it stops before that step of that save and waits to be killed.
//   verify FOLDER COUNT
//     verifies a request, writes a logbook entry and reads, COUNT times.
// Every outcome is a line on standard output, read by the test.
#include "Connection.h"
#include "EmbeddedDriver.h"
#include "LisError.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QThread>
#include <cstdio>

namespace {
void say(const QString& line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

QString error(const LisError& e)
{
    return QStringLiteral("error %1 %2").arg(e.number()).arg(e.description());
}

int save(Connection& db, const QStringList& a)
{
    const QString stopFile = a.value(5);
    const int pauseSave = a.value(6).toInt();
    const int pauseStep = a.value(7).toInt();
    int saves = 0, step = 0, saved = 0, failed = 0;
    // Steps of one save: 0 before beginTrans, 1..13 before each command,
    // 14 before commitTrans.
    const auto nextStep = [&] {
        if (saves == pauseSave && step == pauseStep) {
            say(QStringLiteral("paused"));
            QThread::sleep(60); // the test kills it long before; never left behind
            std::_Exit(3);
        }
        ++step;
    };
    bool noRows = false;
    const auto send = [&](const QString& command) {
        nextStep();
        noRows = db.openRecordset(command)->eof();
    };
    for (int n = a.value(3).toInt(); n <= a.value(4).toInt(); ++n) {
        if (!stopFile.isEmpty() && QFileInfo::exists(stopFile))
            break;
        const QString req = QStringLiteral("W-%1").arg(n, 4, 10, QLatin1Char('0'));
        const QString num = QString::number(n);
        ++saves;
        step = 0;
        try {
            nextStep();
            db.beginTrans();
            int row = 0;
            for (const char* item : {"HBSAG", "ANTIHBS", "ANTIHBC"}) {
                // %1 the request, %2 its number, %3 the item, %4 its row.
                const auto fill = [&](const char* text) {
                    return QLatin1String(text).arg(req, num, QLatin1String(item),
                                                   QString::number(row));
                };
                ++row;
                send(fill("Select * from Laboratory..tbLabLogbook where RequestNum = '%1'"));
                if (noRows)
                    send(fill("Laboratory..Lab_ResultEntryDLL_SaveToLogbook '%1', '', 'MT01',"
                              "'3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM','A-%2'"));
                send(fill("SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = '%3'"));
                send(fill("Laboratory..Lab_SaveWithCutOff 'A-%2','3/7/2024 2:05:00 PM', "
                          "'3/7/2024 2:05:00 PM','%1','%3', '5', 'Exam %3', '0.42', '1', "
                          "'0.42', 'Save %2','%4'"));
                send(fill("LABORATORY..Lab_UpdateDLHemaResult '2','101','%1','MT01',"
                          "'03/07/2024','AN-01'"));
            }
            nextStep();
            db.commitTrans();
            say(QStringLiteral("saved %1").arg(++saved));
        } catch (const LisError& e) {
            // As the window does: roll back and tell.
            ++failed;
            if (db.inTransaction())
                db.rollbackTrans();
            say(error(e));
        }
    }
    say(QStringLiteral("done %1 %2").arg(saved).arg(failed));
    return 0;
}

// Reports "done" with the successes of each command, the failures and the
// slowest command in ms.
int verify(Connection& db, const QStringList& a)
{
    const QStringList commands = {
        QStringLiteral("laboratory..LAB_Save_VerifyResults 'L-1006','MT02'"),
        QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook 'L-1014', 'check', 'MT02',"
                       "'', '',''"),
        QStringLiteral("LABORATORY..Lab_GetResultWithCutOff 'L-1006'"),
        QStringLiteral("Select * from Laboratory..tbLabResult where RequestNum = 'L-1006'"),
    };
    QList<int> ok(commands.size());
    int failed = 0;
    qint64 slowest = 0;
    for (int i = a.value(3).toInt(); i > 0; --i) {
        for (qsizetype c = 0; c < commands.size(); ++c) {
            QElapsedTimer t;
            t.start();
            try {
                db.execute(commands[c]);
                ++ok[c];
            } catch (const LisError& e) {
                if (++failed <= 3)
                    say(error(e));
            }
            slowest = std::max(slowest, t.elapsed());
        }
    }
    QStringList done{QStringLiteral("done")};
    for (int n : ok << failed << int(slowest))
        done << QString::number(n);
    say(done.join(QLatin1Char(' ')));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    registerLabDrivers();
    try {
        Connection db;
        db.open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + a.value(2));
        if (a.value(1) == QLatin1String("save"))
            return save(db, a);
        if (a.value(1) == QLatin1String("verify"))
            return verify(db, a);
    } catch (const LisError& e) {
        say(error(e));
        return 1;
    }
    return 2;
}
