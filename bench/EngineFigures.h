#pragma once

#include "labserver/LabStore.h"

#include <QDate>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QTextStream>
#include <QVariantList>

class Connection;
#include <functional>
#include <memory>
#include <optional>

// What the engine figures share: their sizes and goals, the laboratories
// they run on, and how a figure is printed and judged.
namespace EngineFigures {
inline constexpr int kSaveRows = 200;       // the save of figure b
inline constexpr int kSaveRounds = 5;       // after one unmeasured
inline constexpr int kSaveFirstRequest = 3; // B-3 .. B-14
// Figure d: ten years of a laboratory's work (LIS_BENCH_HISTORY_REQUESTS
// makes it smaller, for a quick look); B-15 .. B-17 saved on both.
inline constexpr int kHistoryRequests = 400000;
inline constexpr int kHistoryItems = 10;
inline constexpr int kHistoryRounds = 2;
inline constexpr int kHistoryReadRounds = 15; // each read on both, taking turns
inline constexpr int kHistoryFirstRequest = kSaveFirstRequest + 2 * (kSaveRounds + 1);
inline constexpr double kHistoryGoal = 1.2;
inline constexpr int kReadRounds = 7; // figure a: rounds of each read, the best taken
inline constexpr int kReadRepeats = 150;
inline constexpr int kOpenRepeats = 20;
// Figure c: each workstation saves requests of kWsRows rows for kWsMs.
inline constexpr int kWsRows = 10;
inline constexpr int kWsMs = 1000;
inline constexpr int kWsPerSlot = 1500;
inline constexpr int kWsRounds = 3;
inline const QList<int> kWsCounts = {1, 4, 8};
inline constexpr int kWsSlots = (1 + 4 + 8) * kWsRounds; // every run saves requests of its own
inline constexpr double kReadGoal = 1.5;
inline constexpr double kSaveGoal = 3.0;
// The embedded laboratory's own: the instrument's sample as the windows read
// it, and the 200-row save.
inline constexpr double kSqliteSampleGoal = 1.5;
inline constexpr double kSqliteSaveGoal = 2.0;
inline constexpr double kWorkstationsGoal = 1.5; // 8 workstations against 1, on a server
// The figures the goals are judged by, as measured.
struct Judged {
    std::optional<double> sqliteSample, sqliteSave, workstations;
};
extern Judged judged;

// One laboratory the figures run on: what Connection is given, and an open
// connection of its own for the direct baselines.
struct Lab {
    QString engine;
    QString connectionString;
    QString directName;                 // QSqlDatabase connection name
    std::function<void()> openAndClose; // a direct connection of its own, for timing opens
    std::function<std::unique_ptr<LabStore>()> store; // for adding rows
    QSqlDatabase direct() const { return QSqlDatabase::database(directName, false); }
    bool isServer() const { return engine == QStringLiteral("PostgreSQL"); }
};

void execOrDie(QSqlDatabase db, const QString& sql);
QString verdict(double ratio, double goal);
QString ms(double v);
double median(QList<double> v);
// What the code costs with the least interference from the rest of the
// machine: the best of the rounds.
double fastest(const QList<double>& v);
QString loadAverage();

struct ReadCase {
    QString label;
    QString command;
    QString sqlite; // the same query, as one would write it for each engine
    QString postgresql;
    QVariantList binds;
};

// The reads of figure a, as the windows send them for the day's sample.
QList<ReadCase> readCases(const QDate& day);

struct ReadRow {
    QString label;
    QString engine;
    double component;
    double direct;
    bool goal;
};

// The heading of a table of figures by engine: each figure measured, what
// it is set against, and their ratio.
void tableHeader(QTextStream& out, const QString& figure, const QString& measured,
                 const QString& against);
// The mean time of `repeats` runs of a command text through `db`.
double commandMs(Connection& db, const QString& text, int repeats);

// One read both ways on one laboratory, in rounds taking turns.
ReadRow readRow(const Lab& lab, const ReadCase& c, bool labelled);

// a. Reads through Connection against the same reads direct; the worst
// ratio on the server.
std::optional<double> benchReads(QTextStream& out, const QList<const Lab*>& labs);
// d. Each read and the save on an empty laboratory and on one with ten
// years of history (loaded here), pair by pair; the worst ratio.
std::optional<double> benchHistory(QTextStream& out, const QList<const Lab*>& empty,
                                   const QList<const Lab*>& years);
// c. Saves of 1, 4 and 8 workstations side by side.
void benchWorkstations(QTextStream& out, const QList<const Lab*>& labs, const QString& self);
} // namespace EngineFigures
