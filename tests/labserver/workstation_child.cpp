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

QString requestNum(int n)
{
    return QStringLiteral("W-%1").arg(n, 4, 10, QLatin1Char('0'));
}

// Steps of one save: 0 before beginTrans, 1..13 before each command,
// 14 before commitTrans.
class Saver {
public:
    Saver(Connection& db, int pauseSave, int pauseStep)
        : m_db(db)
        , m_pauseSave(pauseSave)
        , m_pauseStep(pauseStep)
    {
    }

    void save(int n)
    {
        ++m_save;
        m_step = 0;
        const QString req = requestNum(n);
        step();
        m_db.beginTrans();
        int row = 0;
        for (const char* item : {"HBSAG", "ANTIHBS", "ANTIHBC"}) {
            ++row;
            send(QStringLiteral("Select * from Laboratory..tbLabLogbook where RequestNum = '%1'")
                     .arg(req));
            if (m_noRows)
                send(QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook '%1', '', "
                                    "'MT01','3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM','A-%2'")
                         .arg(req)
                         .arg(n));
            send(QStringLiteral("SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = "
                                "'%1'")
                     .arg(QLatin1String(item)));
            send(QStringLiteral("Laboratory..Lab_SaveWithCutOff 'A-%1','3/7/2024 2:05:00 PM', "
                                "'3/7/2024 2:05:00 PM','%2','%3', '5', 'Exam %3', '0.42', '1', "
                                "'0.42', 'Save %1','%4'")
                     .arg(n)
                     .arg(req, QLatin1String(item))
                     .arg(row));
            send(QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult '2','101','%1','MT01',"
                                "'03/07/2024','AN-01'")
                     .arg(req));
        }
        step();
        m_db.commitTrans();
    }

private:
    void send(const QString& command)
    {
        step();
        m_noRows = m_db.openRecordset(command)->eof();
    }
    void step()
    {
        if (m_save == m_pauseSave && m_step == m_pauseStep) {
            say(QStringLiteral("paused"));
            QThread::sleep(60); // the test kills it long before; never left behind
            std::_Exit(3);
        }
        ++m_step;
    }

    Connection& m_db;
    int m_pauseSave;
    int m_pauseStep;
    int m_save = 0;
    int m_step = 0;
    bool m_noRows = false;
};

int save(Connection& db, const QStringList& a)
{
    const int first = a.value(3).toInt();
    const int last = a.value(4).toInt();
    const QString stopFile = a.value(5);
    Saver saver(db, a.value(6).toInt(), a.value(7).toInt());
    int saved = 0;
    int failed = 0;
    for (int n = first; n <= last; ++n) {
        if (!stopFile.isEmpty() && QFileInfo::exists(stopFile))
            break;
        try {
            saver.save(n);
            say(QStringLiteral("saved %1").arg(++saved));
        } catch (const LisError& e) {
            // As the window does: roll back and tell.
            ++failed;
            if (db.inTransaction())
                db.rollbackTrans();
            say(QStringLiteral("error %1 %2").arg(e.number()).arg(e.description()));
        }
    }
    say(QStringLiteral("done %1 %2").arg(saved).arg(failed));
    return 0;
}

int verify(Connection& db, const QStringList& a)
{
    const int count = a.value(3).toInt();
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
    for (int i = 0; i < count; ++i) {
        for (int c = 0; c < commands.size(); ++c) {
            QElapsedTimer t;
            t.start();
            try {
                db.execute(commands[c]);
                ++ok[c];
            } catch (const LisError& e) {
                if (++failed <= 3)
                    say(QStringLiteral("error %1 %2").arg(e.number()).arg(e.description()));
            }
            slowest = std::max(slowest, t.elapsed());
        }
    }
    say(QStringLiteral("done %1 %2 %3 %4 %5 %6")
            .arg(ok[0])
            .arg(ok[1])
            .arg(ok[2])
            .arg(ok[3])
            .arg(failed)
            .arg(slowest));
    return 0;
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList a = app.arguments();
    registerEmbeddedDriver();
    try {
        Connection db;
        db.open(QStringLiteral("Initial Catalog=LABORATORY;Data Source=") + a.value(2));
        if (a.value(1) == QLatin1String("save"))
            return save(db, a);
        if (a.value(1) == QLatin1String("verify"))
            return verify(db, a);
    } catch (const LisError& e) {
        say(QStringLiteral("error %1 %2").arg(e.number()).arg(e.description()));
        return 1;
    }
    return 2;
}
