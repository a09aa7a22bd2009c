#include "InstrumentBench.h"
#include "instrument/Reception.h"
#include "labserver/LabStore.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <atomic>
#include <vector>

namespace {
const QDate kDay(2024, 3, 7);
constexpr int kResults = 20;
const char* const kCodes[] = {"HBsAg", "aHBs", "aHBc", "aHCV", "HIV12", "TP",  "NS1Ag", "TyIgM",
                              "GLU",   "CREA", "UREA", "UA",   "HGB",   "WBC", "PLT"};

QByteArray frame(int number, const QByteArray& text)
{
    QByteArray body = QByteArray::number(number % 8) + text + '\x03';
    int sum = 0;
    for (char c : body)
        sum += uchar(c);
    return '\x02' + body + QByteArray::number(sum % 256, 16).toUpper().rightJustified(2, '0') +
           "\r\n";
}

// The frames of one session's message of kResults results for the sample,
// timed as an analyser's are: each message's results later than the last's.
QList<QByteArray> session(const QString& sample)
{
    static std::atomic<int> sessions = 0;
    const QDateTime first = QDateTime(kDay, QTime(10, 15)).addSecs(kResults * sessions++);
    QList<QByteArray> records = {"H|\\^&|||AN-01|||||||P|1|20240307101500\r",
                                 "P|1||||BENCH^PATIENT\r",
                                 "O|1|" + sample.toLatin1() + "||^^^ALL|R\r"};
    for (int i = 0; i < kResults; ++i)
        records << QStringLiteral("R|%1|^^^%2|%3|mmol/L||N||F||||%4\r")
                       .arg(i + 1)
                       .arg(QLatin1String(kCodes[i % std::size(kCodes)]))
                       .arg(4.5 + i / 10.0, 0, 'f', 2)
                       .arg(first.addSecs(i).toString(QStringLiteral("yyyyMMddHHmmss")))
                       .toLatin1();
    records << "L|1|N\r";
    QList<QByteArray> frames = {QByteArray(1, '\x05')};
    for (int i = 0; i < records.size(); ++i)
        frames << frame(i + 1, records[i]);
    return frames;
}

// Feeds sessions of samples prefix-0.. into a reception; the time each last
// frame took to be acknowledged, in ms.
std::vector<double> send(LabStore& store, const QString& prefix, int messages)
{
    Reception r(store, {QStringLiteral("AN-01"), 0});
    std::vector<double> lastFrame;
    for (int m = 0; m < messages; ++m) {
        const QList<QByteArray> frames = session(prefix + QString::number(m));
        for (qsizetype i = 0; i + 1 < frames.size(); ++i)
            r.feed(frames[i]);
        QElapsedTimer t;
        t.start();
        r.feed(frames.last());
        lastFrame.push_back(t.nsecsElapsed() / 1e6);
        r.feed(QByteArray(1, '\x04'));
    }
    return lastFrame;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The same rows by direct prepared writes in one transaction: what storing
// costs the laboratory at least.
double directRows(LabStore& store, const QString& sample)
{
    QElapsedTimer t;
    t.start();
    store.begin();
    for (int i = 0; i < kResults; ++i)
        store.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                  "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                  "Flags, PatientName, refnum) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                   {QStringLiteral("AN-01"), sample, QStringLiteral("2024-03-07 10:15:00"),
                    QLatin1String(kCodes[i % std::size(kCodes)]), QStringLiteral("4.50"),
                    QStringLiteral("mmol/L"), QString(), QStringLiteral("BENCH, PATIENT"),
                    QStringLiteral("")});
    store.commit();
    return t.nsecsElapsed() / 1e6;
}
} // namespace

void benchInstruments(QTextStream& out)
{
    QTemporaryDir dir;
    DemoLaboratory::build(dir.path(), kDay);
    out << "Analysers' results into the embedded laboratory (ASTM sessions of " << kResults
        << " results each, stored through lis-instrument's reception)\n";
    double latency = 0, direct = 0;
    {
        LabStore store(dir.path());
        send(store, QStringLiteral("W"), 10); // warm-up
        latency = median(send(store, QStringLiteral("L"), 50));
        std::vector<double> d;
        for (int i = 0; i < 50; ++i)
            d.push_back(directRows(store, QStringLiteral("D%1").arg(i)));
        direct = median(d);
    }
    out << QStringLiteral("  last byte to acknowledgement     : %1 ms, direct writes %2 ms, "
                          "ratio %3x (goal: under 20 ms)\n")
               .arg(latency, 8, 'f', 3)
               .arg(direct, 8, 'f', 3)
               .arg(latency / direct, 5, 'f', 2);

    constexpr int kMessages = 100;
    QElapsedTimer t;
    t.start();
    {
        LabStore store(dir.path());
        send(store, QStringLiteral("S"), kMessages);
    }
    const double one = kMessages * kResults / (t.nsecsElapsed() / 1e9);
    t.restart();
    std::vector<std::unique_ptr<QThread>> threads;
    for (int c = 0; c < 4; ++c)
        threads.push_back(std::unique_ptr<QThread>(QThread::create([&dir, c] {
            LabStore store(dir.path());
            send(store, QStringLiteral("C%1-").arg(c), kMessages / 4);
        })));
    for (auto& th : threads)
        th->start();
    for (auto& th : threads)
        th->wait();
    const double four = kMessages * kResults / (t.nsecsElapsed() / 1e9);
    out << QStringLiteral("  results stored per second        : %1 from one connection, %2 from "
                          "four at once (%3x)\n\n")
               .arg(one, 0, 'f', 0)
               .arg(four, 0, 'f', 0)
               .arg(four / one, 0, 'f', 2);
}
