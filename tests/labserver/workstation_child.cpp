// A workstation started by tst_workstations against a laboratory, reached
// through a connection string (an embedded folder or a PostgreSQL server):
//   save CS FIRST LAST [PAUSESAVE PAUSESTEP]
//     saves requests W-FIRST..W-LAST with the command texts of the cut-off
//     window's save, one transaction each; with a pause it stops before
//     that step of that save and waits to be killed.
//   shift CS EMPLOYEE GOFILE REQUEST...
//     says "ready", waits for GOFILE, then for each request in turn saves
//     it as EMPLOYEE, verifies it and reads the next one, as a workstation
//     among others working on the same requests.
// Every outcome is a line on standard output, read by the test. Saves and
// verifications carry steady-clock stamps in ns (the same clock in every
// process); a save's are taken holding its request's lock, once it is taken
// and just before the commit, so saves of a request that overlap would show.
#include "labserver/EmbeddedDriver.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "tests/labserver/Workstations.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QThread>
#include <cstdio>
#include <functional>

using namespace Qt::StringLiterals;

namespace {
using Workstations::request;

void say(const QString& line)
{
    std::fputs(qPrintable(line + u'\n'), stdout);
    std::fflush(stdout);
}

QString error(const LisError& e)
{
    return u"error %1 %2"_s.arg(e.number()).arg(e.description());
}

// One step of a workstation's work; a failure is rolled back as the window
// rolls back, told and counted.
template <typename F> void attempt(Connection& db, int& failed, F&& step)
{
    try {
        step();
    } catch (const LisError& e) {
        ++failed;
        if (db.inTransaction())
            db.rollbackTrans();
        say(error(e));
    }
}

QString stamp()
{
    return QString::number(Workstations::steadyNow());
}

// One save of request W-n as the cut-off window sends it, by `employee`
// (logbook, the remarks, the posting of the instrument's sample 101);
// `step` is called before each of its 15 steps (0 before beginTrans, 1..13
// before each command, 14 before commitTrans). Answers the stamps of the
// lock taken and of the commit sent.
QString saveOne(Connection& db, int n, const QString& employee, const std::function<void()>& step)
{
    const QString req = request(n);
    const QString num = QString::number(n);
    bool noRows = false;
    // The request is held from the first command on (the embedded
    // laboratory holds everything from beginTrans).
    QString locked;
    const auto send = [&](const QString& command) {
        step();
        noRows = db.openRecordset(command)->eof();
        if (locked.isEmpty())
            locked = stamp();
    };
    step();
    db.beginTrans();
    int row = 0;
    for (const char* item : {"HBSAG", "ANTIHBS", "ANTIHBC"}) {
        // %1 the request, %2 its number, %3 the item, %4 its row, %5 the employee.
        const auto fill = [&](const char* text) {
            return QString::fromLatin1(text)
                .replace(u"%1"_s, req)
                .replace(u"%2"_s, num)
                .replace(u"%3"_s, QLatin1String(item))
                .replace(u"%4"_s, QString::number(row))
                .replace(u"%5"_s, employee);
        };
        ++row;
        send(fill("Select * from Laboratory..tbLabLogbook where RequestNum = '%1'"));
        if (noRows)
            send(fill("Laboratory..Lab_ResultEntryDLL_SaveToLogbook '%1', '', '%5',"
                      "'3/7/2024 2:05:00 PM', '3/7/2024 2:05:00 PM','A-%2'"));
        send(fill("SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = '%3'"));
        send(fill("Laboratory..Lab_SaveWithCutOff 'A-%2','3/7/2024 2:05:00 PM', "
                  "'3/7/2024 2:05:00 PM','%1','%3', '5', 'Exam %3', '0.42', '1', "
                  "'0.42', 'Save %2 by %5','%4'"));
        send(fill("LABORATORY..Lab_UpdateDLHemaResult '2','101','%1','%5',"
                  "'03/07/2024','AN-01'"));
    }
    step();
    const QString committing = stamp();
    db.commitTrans();
    return locked + u' ' + committing;
}

int save(Connection& db, const QStringList& a)
{
    const int pauseSave = a.value(5).toInt();
    const int pauseStep = a.value(6).toInt();
    int saves = 0, step = 0, saved = 0, failed = 0;
    const auto nextStep = [&] {
        if (saves == pauseSave && step == pauseStep) {
            say(u"paused"_s);
            QThread::sleep(60); // the test kills it long before; never left behind
            std::_Exit(3);
        }
        ++step;
    };
    for (int n = a.value(3).toInt(); n <= a.value(4).toInt(); ++n) {
        ++saves;
        step = 0;
        attempt(db, failed, [&] {
            saveOne(db, n, u"MT01"_s, nextStep);
            say(u"saved %1"_s.arg(++saved));
        });
    }
    say(u"done %1 %2"_s.arg(saved).arg(failed));
    return 0;
}

// Lines: "saved REQ LOCKED COMMITTING", "verified REQ BEFORE AFTER",
// "torn REQ ..." for a read that saw part of a save or verification,
// "error ...", and at the end "done SAVED VERIFIED READ FAILED".
int shift(Connection& db, const QStringList& a)
{
    const QString employee = a.value(3);
    const QString go = a.value(4);
    QList<int> requests;
    for (const QString& r : a.mid(5))
        requests << r.toInt();
    say(u"ready"_s);
    while (!QFileInfo::exists(go))
        QThread::msleep(2);
    int saved = 0, verified = 0, read = 0, failed = 0;
    for (qsizetype i = 0; i < requests.size(); ++i) {
        const QString req = request(requests[i]);
        const QString next = request(requests[(i + 1) % requests.size()]);
        attempt(db, failed, [&] {
            const QString at = saveOne(db, requests[i], employee, [] {});
            ++saved;
            say(u"saved %1 %2"_s.arg(req, at));
        });
        attempt(db, failed, [&] {
            const QString before = stamp();
            db.execute(u"laboratory..LAB_Save_VerifyResults '%1','%2'"_s.arg(req, employee));
            ++verified;
            say(u"verified %1 %2 %3"_s.arg(req, before, stamp()));
        });
        attempt(db, failed, [&] {
            // A save and a verification are whole: a reader sees all three
            // results of the request alike, or none before the first save.
            const auto rs = db.openRecordset(
                u"Select * from Laboratory..tbLabResult where RequestNum = '%1'"_s.arg(next));
            QStringList seen;
            for (; !rs->eof(); rs->moveNext())
                seen << QStringList{rs->textOrEmpty(u"Remarks"_s), rs->textOrEmpty(u"Verified"_s),
                                    rs->textOrEmpty(u"VerifiedBy"_s)}
                            .join(u'/');
            const auto cutOffRows =
                db.openRecordset(u"LABORATORY..Lab_GetResultWithCutOff '%1'"_s.arg(next))
                    ->data()
                    .rows.size();
            // The second read may follow another workstation's first save of
            // the request, never precede one the first read saw.
            if (!(seen.isEmpty() || (seen.size() == 3 && seen.count(seen[0]) == 3)) ||
                !(cutOffRows == 3 || (cutOffRows == 0 && seen.isEmpty())))
                say(u"torn %1 %2 (%3 with their cut-offs)"_s.arg(next, seen.join(u", "_s))
                        .arg(cutOffRows));
            ++read;
        });
    }
    say(u"done %1 %2 %3 %4"_s.arg(saved).arg(verified).arg(read).arg(failed));
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
        db.open(a.value(2));
        if (a.value(1) == u"save"_s)
            return save(db, a);
        if (a.value(1) == u"shift"_s)
            return shift(db, a);
    } catch (const LisError& e) {
        say(error(e));
        return 1;
    }
    return 2;
}
