#pragma once

#include "labrules/LabLogic.h"

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>
#include <optional>

// Westgard judgement of control results: pure, on decimal deviations from
// the lot's target, so a value exactly on a limit is never on the wrong
// side of it.
//
// A run is the control results of one instrument and item measured within
// kRunMinutes of the run's first result, at most one per level: the controls
// a technologist or an analyser runs together before patients. A result of
// a level the run already has, or later, starts the next run.
//
// Rules across runs never reach back past a lot change of a level: a new
// lot's targets are the manufacturer's estimate for another material, so a
// shift between lots says nothing about the method, and mixing them would
// reject (10-x, 4-1s) or hide an error of the new lot.
namespace Westgard {
constexpr int kRunMinutes = 30;

enum class Rule { W12s, R13s, R22s, RR4s, R41s, R10x };
enum class Verdict { Accepted, Warning, Rejected };

QString name(Rule rule); // "1-2s", "R-4s"
std::optional<Rule> rule(const QString& name);
QString name(Verdict verdict); // "accepted", "warning", "rejected"
// "1-3s,2-2s": rule names in the order of Rule, without blanks.
QString names(const QList<Rule>& rules);
// The rules that reject when an item sets none: all but 1-2s, which warns.
QList<Rule> defaultRejecting();
// The rules of a list as "1-3s, 2-2s" or "1-3s,2-2s"; nullopt and the
// unknown name in `unknown` when one is not a rule.
std::optional<QList<Rule>> parseRules(const QString& list, QString* unknown = nullptr);

// A lot is used through its expiry day.
bool expired(const QDate& expiry, const QDateTime& measuredAt);

struct Control {
    int level = 1;
    qint64 lot = 0;
    LabLogic::Decimal deviation; // value - target mean
    LabLogic::Decimal sd;        // the lot's target SD, above zero
    double z() const;
};

struct Judgement {
    QList<Rule> broken; // in the order of Rule
    Verdict verdict = Verdict::Accepted;
};

// Judges the members of one run (in the order they were measured) against
// the earlier controls of the same instrument and item (oldest first, all
// levels). One judgement per member: a rule within the run marks every
// member it involves; one across runs marks the member that completes it.
QList<Judgement> judgeRun(const QList<Control>& history, const QList<Control>& run,
                          const QList<Rule>& rejecting);
// Rejected when a member is, else accepted (warnings do not hold patients).
Verdict runVerdict(const QList<Judgement>& run);
} // namespace Westgard
