#include "bench/BenchLab.h"
#include "bench/CommandSave.h"
#include "bench/EngineBench.h"
#include "bench/EngineFigures.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/PgCluster.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sched.h>

using namespace Qt::StringLiterals;

namespace EngineFigures {
struct Throughput {
    double perSecond = 0;
    int saves = 0;
    int errors = 0;
    int resaves = 0;
    QString firstError;
};

Throughput concurrentSaves(const QString& self, const Lab& lab, int firstSlot, int workers)
{
    std::vector<std::unique_ptr<QProcess>> procs;
    Throughput t;
    const auto fail = [&](const QString& why) {
        for (auto& p : procs) {
            p->kill();
            p->waitForFinished(5000);
        }
        t.errors = -1;
        t.firstError = why;
        return t;
    };
    for (int w = 0; w < workers; ++w) {
        auto p = std::make_unique<QProcess>();
        p->setProcessChannelMode(QProcess::SeparateChannels);
        p->start(self,
                 {u"workstation"_s, lab.connectionString, QString::number(firstSlot + w),
                  QString::number(kWsPerSlot), QString::number(kWsRows), QString::number(kWsMs)});
        procs.push_back(std::move(p));
    }
    for (auto& p : procs) {
        QDeadlineTimer deadline(60000);
        while (!p->canReadLine() && p->state() != QProcess::NotRunning && !deadline.hasExpired())
            p->waitForReadyRead(100);
        const QString line = QString::fromUtf8(p->readLine()).trimmed();
        if (line != u"ready"_s)
            return fail(u"a workstation did not start: %1 %2"_s.arg(
                line, QString::fromLocal8Bit(p->readAllStandardError()).trimmed()));
    }
    for (auto& p : procs)
        p->write("go\n");
    for (auto& p : procs)
        p->waitForBytesWritten(5000);
    for (auto& p : procs) {
        p->waitForFinished(kWsMs + 60000);
        const QStringList words =
            QString::fromUtf8(p->readAllStandardOutput()).trimmed().split(u' ');
        if (words.size() < 4 || words.at(0) != u"done"_s)
            return fail(u"a workstation ended without its count: %1"_s.arg(
                QString::fromLocal8Bit(p->readAllStandardError()).trimmed()));
        t.saves += words.at(1).toInt();
        t.errors += words.at(2).toInt();
        t.resaves += words.at(3).toInt();
        if (t.firstError.isEmpty() && words.size() > 4)
            t.firstError = words.mid(4).join(u' ');
    }
    t.perSecond = t.saves / (kWsMs / 1000.0);
    return t;
}

void benchWorkstations(QTextStream& out, const QList<const Lab*>& labs, const QString& self)
{
    out << u"c. Saves per second by concurrent workstations: separate processes, each with its "
           "own Connection, saving requests of its own (%1 cut-off rows each, the window's "
           "command texts, one transaction per save) for %2 s after one unmeasured save; %3 "
           "rounds of 1, 4 and 8 workstations, the median round; ratio against 1 workstation\n"_s
               .arg(kWsRows)
               .arg(kWsMs / 1000.0)
               .arg(kWsRounds);
    out << u"  %1"_s.arg(u"engine"_s, -10);
    for (int n : kWsCounts)
        out << u" %1"_s.arg(u"%1 ws"_s.arg(n), 19);
    out << "\n";
    for (const Lab* lab : labs) {
        out << u"  %1"_s.arg(lab->engine, -10);
        out.flush();
        QMap<int, QList<double>> rates;
        QStringList notes;
        int slot = 0;
        for (int round = 0; round < kWsRounds; ++round) {
            for (int n : kWsCounts) {
                const Throughput t = concurrentSaves(self, *lab, slot, n);
                slot += n;
                if (t.errors < 0) {
                    notes << u"%1 ws: %2"_s.arg(n).arg(t.firstError);
                    continue;
                }
                rates[n] << t.perSecond;
                if (t.errors > 0)
                    notes << u"%1 ws: %2 saves failed, the first: %3"_s.arg(n).arg(t.errors).arg(
                        t.firstError);
                if (t.resaves > 0)
                    notes << u"%1 ws: %2 saves were of requests saved before"_s.arg(n).arg(
                        t.resaves);
            }
        }
        const double one = rates.value(1).isEmpty() ? 0 : median(rates.value(1));
        for (int n : kWsCounts) {
            if (rates.value(n).isEmpty()) {
                out << u" %1"_s.arg(u"failed"_s, 19);
                continue;
            }
            const double rate = median(rates.value(n));
            if (n == kWsCounts.last() && lab->isServer() && one > 0)
                judged.workstations = rate / one;
            out << u" %1"_s.arg(
                n == 1 || one <= 0
                    ? u"%1/s"_s.arg(rate, 0, 'f', 0)
                    : u"%1/s (%2x)"_s.arg(rate, 0, 'f', 0).arg(rate / one, 0, 'f', 2),
                19);
        }
        out << "\n";
        notes.removeDuplicates();
        for (const QString& note : std::as_const(notes))
            out << "    " << note << "\n";
        out.flush();
    }
    out << "\n";
}
} // namespace EngineFigures

using namespace EngineFigures;

int runWorkstation(const QStringList& args)
{
    if (args.size() != 6) {
        std::fprintf(stderr, "usage: lis-bench workstation CONNECTION SLOT PERSLOT ROWS MS\n");
        return 2;
    }
    registerLabDrivers();
    const int slot = args.at(2).toInt();
    const int perSlot = args.at(3).toInt();
    const int rows = args.at(4).toInt();
    const int duration = args.at(5).toInt();
    const QString sample = BenchLab::workstationSample(slot);
    const QDate day = Clock::today();
    Connection db;
    try {
        db.open(args.at(1));
        saveThroughCommands(db, BenchLab::workstationRequest(slot, 1), sample, rows, day);
    } catch (const LisError& e) {
        std::fprintf(stderr, "%s\n", qPrintable(e.description()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char go[16];
    if (!std::fgets(go, sizeof go, stdin))
        return 1;
    int saves = 0, errors = 0, resaves = 0, n = 2;
    bool wrapped = false; // every request of the slot saved once already
    QString firstError;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < duration) {
        try {
            saveThroughCommands(db, BenchLab::workstationRequest(slot, n), sample, rows, day);
            if (t.elapsed() <= duration) {
                ++saves;
                resaves += wrapped ? 1 : 0;
            }
        } catch (const LisError& e) {
            ++errors;
            if (firstError.isEmpty())
                firstError = e.description().simplified();
        }
        if (++n > perSlot) {
            n = 2;
            wrapped = true;
        }
    }
    std::printf("done %d %d %d %s\n", saves, errors, resaves, qPrintable(firstError));
    std::fflush(stdout);
    return 0;
}
