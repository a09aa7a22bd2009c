#include "QualityControl.h"
#include "labrules/Westgard.h"
#include "labserver/LabStore.h"
#include "labserver/ProcedureRegistry.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

#include <QLocale>
#include <QSet>
#include <algorithm>
#include <cmath>

using LabLogic::Decimal;
using namespace ProcedureSupport;
using QualityControl::Arrival;

namespace {
// Empty text, never Null: the driver binds a null QString as Null.
QString notNull(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

// Results a lot takes to set its own targets when the sheet gives none.
constexpr int kEstablishingRuns = 20;
// Enough history for every rule across runs (10-x reads the most).
constexpr int kHistoryRows = 40;

[[noreturn]] void refuse(const QString& why)
{
    throw LisError(ErrNo::DbCommandFailed, why);
}

QString text(const QVariant& v)
{
    return v.isNull() ? QString() : v.toString();
}

QString stamp(const QVariant& v)
{
    return DateText::storage(DateText::toDateTime(v));
}

QString clockTime(const QVariant& v)
{
    return QLocale::c().toString(DateText::toDateTime(v).time(), QStringLiteral("h:mm AP"));
}

// Where the trail keeps an instrument's quality control: its own "request".
QString trail(const QString& instrument)
{
    return QStringLiteral("QC ") + instrument.trimmed();
}

QString who(const QString& employee)
{
    return employee.trimmed().isEmpty() ? QStringLiteral("lis-host") : employee.trimmed();
}

QList<Westgard::Rule> rejectingRules(LabStore& s, const QString& item)
{
    const ResultSet rs =
        s.query(QStringLiteral("SELECT Rejecting FROM tbLabQCRules WHERE ItemID = ?"), {item});
    if (rs.rows.isEmpty())
        return Westgard::defaultRejecting();
    return Westgard::parseRules(rs.rows[0][0].toString()).value_or(Westgard::defaultRejecting());
}

struct Lot {
    qint64 id = 0;
    QString instrument;
    QString item;
    QString material;
    int level = 0;
    QString lotNo;
    QDate expiry;
    QString mean;
    QString sd;
    bool retired = false;
};

Lot lotById(LabStore& s, qint64 id)
{
    const ResultSet rs = s.query(
        QStringLiteral("SELECT LotID, InstrumentID, ItemID, Material, Level, LotNo, Expiry, "
                       "TargetMean, TargetSD, Retired FROM tbLabQCLot WHERE LotID = ?"),
        {id});
    if (rs.rows.isEmpty())
        refuse(QStringLiteral("The control lot %1 is not known to the laboratory.").arg(id));
    const QVariantList& r = rs.rows[0];
    return {r[0].toLongLong(),
            r[1].toString(),
            r[2].toString(),
            r[3].toString(),
            r[4].toInt(),
            r[5].toString(),
            DateText::toDateTime(r[6]).date(),
            text(r[7]),
            text(r[8]),
            r[9].toString() == u"Y"};
}

// Fixes a lot's targets from its first results, once it has enough.
void establish(LabStore& s, const Lot& lot)
{
    const ResultSet rs = s.query(
        QStringLiteral("SELECT Value FROM tbLabQCResult WHERE LotID = ? ORDER BY MeasuredAt, "
                       "QCResultID"),
        {lot.id});
    if (rs.rows.size() < kEstablishingRuns)
        return;
    double sum = 0, squares = 0;
    int decimals = 0;
    for (const QVariantList& r : rs.rows) {
        const QString v = r[0].toString().trimmed();
        sum += v.toDouble();
        decimals = std::max(decimals, int(v.size() - v.indexOf(QLatin1Char('.')) - 1) *
                                          int(v.contains(QLatin1Char('.'))));
    }
    const double mean = sum / rs.rows.size();
    for (const QVariantList& r : rs.rows)
        squares += std::pow(r[0].toString().toDouble() - mean, 2);
    const double sd = std::sqrt(squares / (rs.rows.size() - 1));
    // One decimal more than the values carry: targets set the limits.
    s.exec(QStringLiteral("UPDATE tbLabQCLot SET TargetMean = ?, TargetSD = ? WHERE LotID = ?"),
           {Decimal(mean).fixed(decimals + 1), Decimal(sd).fixed(decimals + 1), lot.id});
}

struct Member {
    qint64 id;
    Westgard::Control control;
    QString judged; // "rejected: 1-2s,2-2s", as the trail says it
    QString lotNo;
};

QString judgedText(const QString& verdict, const QString& rules)
{
    return rules.isEmpty() ? verdict : verdict + QStringLiteral(": ") + rules;
}

Westgard::Control controlOf(const QVariantList& r, int at)
{
    // Level, LotID, Value, TargetMean, TargetSD from column `at`.
    const auto value = Decimal::parse(r[at + 2].toString());
    const auto mean = Decimal::parse(r[at + 3].toString());
    return {r[at].toInt(), r[at + 1].toLongLong(), *value - *mean,
            *Decimal::parse(r[at + 4].toString())};
}

QVariantList openHold(LabStore& s, const QString& instrument, const QString& item)
{
    return s
        .query(QStringLiteral("SELECT HoldID, RejectedAt, Rules, Level, AcceptedAt FROM "
                              "tbLabQCHold WHERE InstrumentID = ? AND ItemID = ? AND "
                              "ReleasedAt IS NULL ORDER BY HoldID DESC LIMIT 1"),
               {instrument, item})
        .rows.value(0);
}

// Lifts the open hold once an accepted run followed it and an action is
// recorded; the failed interval's results still wait for their review.
void releaseIfDone(LabStore& s, const QString& instrument, const QString& item,
                   const QString& employee)
{
    const QVariantList hold = openHold(s, instrument, item);
    if (hold.isEmpty() || hold[4].isNull())
        return;
    if (s.query(QStringLiteral("SELECT 1 FROM tbLabQCAction WHERE HoldID = ?"), {hold[0]})
            .rows.isEmpty())
        return;
    s.exec(QStringLiteral("UPDATE tbLabQCHold SET ReleasedBy = ?, ReleasedAt = ? WHERE HoldID = ?"),
           {who(employee), now(), hold[0]});
    audit(s, trail(instrument), item, QStringLiteral("QC hold released"),
          QualityControl::holdText(hold[1], hold[2].toString(), hold[3].toInt()),
          QStringLiteral("released: accepted run %1 and corrective action")
              .arg(DateText::general(DateText::toDateTime(hold[4]))),
          who(employee), QString());
}
// The row record answers: Level, ZScore, Rules, Verdict, RunVerdict, Hold.
ResultSet recorded(int level, const QVariant& z, const QString& rules, const QString& verdict,
                   const QString& runVerdict, const QString& hold)
{
    return {{QStringLiteral("Level"), QStringLiteral("ZScore"), QStringLiteral("Rules"),
             QStringLiteral("Verdict"), QStringLiteral("RunVerdict"), QStringLiteral("Hold")},
            {{level, z, rules, verdict, runVerdict, hold}}};
}

QString described(const Lot& lot)
{
    return QStringLiteral("Lot %1 (%2, level %3)").arg(lot.lotNo, lot.material).arg(lot.level);
}

QString fieldOf(const Lot& lot, int level, const QString& lotNo)
{
    return QStringLiteral("QC %1 level %2 lot %3").arg(lot.item).arg(level).arg(lotNo);
}

// A retired or expired lot, or a value that is no number, is refused before
// anything is written.
Decimal judgeableValue(const Lot& lot, const Arrival& a)
{
    if (lot.retired)
        refuse(QStringLiteral("%1 of %2 on %3 is retired: its results are not judged.")
                   .arg(described(lot), lot.item, lot.instrument));
    if (Westgard::expired(lot.expiry, a.measuredAt))
        refuse(QStringLiteral("%1 of %2 on %3 expired on %4: a control measured with it on %5 is "
                              "not judged. Put a new lot in use (lis-host qc lot add) and run "
                              "the control again.")
                   .arg(described(lot), lot.item, lot.instrument,
                        DateText::monthDayYear(lot.expiry), DateText::general(a.measuredAt)));
    const auto value = Decimal::parse(a.value);
    if (!value)
        refuse(QStringLiteral("The control result \"%1\" of %2 is not a number: it was not "
                              "recorded.")
                   .arg(a.value, described(lot)));
    return *value;
}

// One control result as it arrived, with what it was judged.
struct Entry {
    const Lot& lot;
    const Arrival& arrival;
    QString measured; // as stored
    QString source;   // 'I' or 'M'
    QString by;
};

qint64 insertResult(LabStore& s, const Entry& e, const QString& runAt, const QVariant& z,
                    const QString& rules, const QString& verdict)
{
    return s
        .query(QStringLiteral("INSERT INTO tbLabQCResult (LotID, MeasuredAt, RunAt, "
                              "Value, ZScore, Rules, Verdict, Source, SampleID, "
                              "EnteredBy, EnteredAt) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
                              "?, ?) RETURNING QCResultID"),
               {e.lot.id, e.measured, runAt, e.arrival.value.trimmed(), z, notNull(rules), verdict,
                e.source, notNull(e.arrival.sampleId.trimmed()), e.by, now()})
        .rows.value(0)
        .value(0)
        .toLongLong();
}

// A lot still setting its targets: its result is kept, not judged.
ResultSet recordEstablishing(LabStore& s, const Entry& e)
{
    const Lot& lot = e.lot;
    insertResult(s, e, e.measured, QVariant(), QString(),
                 Westgard::name(Westgard::Verdict::Accepted));
    audit(s, trail(lot.instrument), lot.item, fieldOf(lot, lot.level, lot.lotNo), QString(),
          e.arrival.value.trimmed() + QStringLiteral(" (establishing the lot's targets)"), e.by,
          QString());
    establish(s, lot);
    return recorded(lot.level, QVariant(), QString(), QStringLiteral("accepted"),
                    QStringLiteral("accepted"), QString());
}

const QString& judgedQuery()
{
    static const QString judged = QStringLiteral(
        "SELECT r.QCResultID, r.RunAt, l.Level, l.LotID, r.Value, l.TargetMean, l.TargetSD, "
        "r.Rules, r.Verdict, l.LotNo "
        "FROM tbLabQCResult r JOIN tbLabQCLot l ON l.LotID = r.LotID WHERE l.InstrumentID = ? "
        "AND l.ItemID = ? AND r.ZScore IS NOT NULL ");
    return judged;
}

struct Run {
    QString at;
    QList<Member> members;
};

// The run a control belongs to: the item's latest, when that began less than
// kRunMinutes before and has no control of this level yet; else its own.
Run runOf(LabStore& s, const Entry& e)
{
    const Lot& lot = e.lot;
    const QDateTime& measuredAt = e.arrival.measuredAt;
    Run run{e.measured, {}};
    const ResultSet latest = s.query(judgedQuery() + QStringLiteral("ORDER BY r.RunAt DESC, "
                                                                    "r.MeasuredAt DESC LIMIT 1"),
                                     {lot.instrument, lot.item});
    if (latest.rows.isEmpty())
        return run;
    const QDateTime began = DateText::toDateTime(latest.rows[0][1]);
    if (!(began <= measuredAt && began.secsTo(measuredAt) < Westgard::kRunMinutes * 60))
        return run;
    const ResultSet members =
        s.query(judgedQuery() + QStringLiteral("AND r.RunAt = ? ORDER BY r.MeasuredAt, "
                                               "r.QCResultID"),
                {lot.instrument, lot.item, stamp(latest.rows[0][1])});
    const bool sameLevel =
        std::any_of(members.rows.cbegin(), members.rows.cend(),
                    [&](const QVariantList& m) { return m[2].toInt() == lot.level; });
    if (sameLevel)
        return run;
    run.at = stamp(latest.rows[0][1]);
    for (const QVariantList& m : members.rows)
        run.members.append({m[0].toLongLong(), controlOf(m, 2),
                            judgedText(m[8].toString(), m[7].toString()), m[9].toString()});
    return run;
}

// The item's judged controls before the run, oldest first.
QList<Westgard::Control> historyBefore(LabStore& s, const Lot& lot, const QString& runAt)
{
    const ResultSet earlier =
        s.query(judgedQuery() + QStringLiteral("AND r.RunAt < ? ORDER BY r.MeasuredAt DESC, "
                                               "r.QCResultID DESC LIMIT %1")
                                    .arg(kHistoryRows),
                {lot.instrument, lot.item, runAt});
    QList<Westgard::Control> history;
    for (auto it = earlier.rows.crbegin(); it != earlier.rows.crend(); ++it)
        history.append(controlOf(*it, 2));
    return history;
}

// The run's earlier members, judged again with the new one beside them.
void rejudgeEarlier(LabStore& s, const Entry& e, const QList<Member>& run,
                    const QList<Westgard::Judgement>& judgements)
{
    for (qsizetype i = 0; i + 1 < run.size(); ++i) {
        const QString rules = Westgard::names(judgements[i].broken);
        const QString now = judgedText(Westgard::name(judgements[i].verdict), rules);
        if (now == run[i].judged)
            continue;
        s.exec(
            QStringLiteral("UPDATE tbLabQCResult SET Rules = ?, Verdict = ? WHERE QCResultID = ?"),
            {notNull(rules), Westgard::name(judgements[i].verdict), run[i].id});
        audit(s, trail(e.lot.instrument), e.lot.item,
              fieldOf(e.lot, run[i].control.level, run[i].lotNo), run[i].judged,
              now + QStringLiteral(" (with the rest of its run)"), e.by, QString());
    }
}

void insertJudged(LabStore& s, const Entry& e, const QString& runAt,
                  const Westgard::Control& mine, const Westgard::Judgement& own)
{
    const Lot& lot = e.lot;
    insertResult(s, e, runAt, mine.z(), Westgard::names(own.broken), Westgard::name(own.verdict));
    audit(s, trail(lot.instrument), lot.item, fieldOf(lot, lot.level, lot.lotNo), QString(),
          QStringLiteral("%1 (z %2, %3%4)")
              .arg(e.arrival.value.trimmed(), QString::number(mine.z(), 'f', 2),
                   Westgard::name(own.verdict),
                   own.broken.isEmpty() ? QString()
                                        : QStringLiteral(": ") + Westgard::names(own.broken)),
          e.by,
          e.source == u"I" ? QStringLiteral("instrument %1").arg(lot.instrument) : QString());
}

// A rejected run opens the item's hold, or takes back the acceptance of an
// open one.
void holdRejected(LabStore& s, const Entry& e, const QString& runAt, const QVariantList& hold,
                  const QList<Westgard::Judgement>& judgements,
                  const QList<Westgard::Rule>& rejecting)
{
    const Lot& lot = e.lot;
    QList<Westgard::Rule> rules;
    for (const Westgard::Judgement& j : judgements)
        for (Westgard::Rule r : j.broken)
            if (rejecting.contains(r) && !rules.contains(r))
                rules << r;
    if (hold.isEmpty()) {
        s.exec(QStringLiteral("INSERT INTO tbLabQCHold (InstrumentID, ItemID, RejectedAt, "
                              "Rules, Level) VALUES (?, ?, ?, ?, ?)"),
               {lot.instrument, lot.item, runAt, notNull(Westgard::names(rules)), lot.level});
        audit(s, trail(lot.instrument), lot.item, QStringLiteral("QC hold"), QString(),
              QualityControl::holdText(runAt, Westgard::names(rules), lot.level) +
                  QStringLiteral(": patient results held"),
              e.by, QString());
    } else if (!hold[4].isNull()) {
        // The run that was accepted failed after all, or a later one did.
        s.exec(QStringLiteral("UPDATE tbLabQCHold SET AcceptedAt = NULL WHERE HoldID = ?"),
               {hold[0]});
    }
}

// An accepted run after the hold was opened accepts it, once every level in
// use has been run; the hold is lifted when its action is recorded too.
void acceptAfterHold(LabStore& s, const Entry& e, const QString& runAt, const QVariantList& hold,
                     const QList<Member>& run)
{
    const Lot& lot = e.lot;
    if (hold.isEmpty() || !hold[4].isNull() ||
        !(DateText::toDateTime(hold[1]) < DateText::parse(runAt).value_or(QDateTime())))
        return;
    const ResultSet inUse = s.query(
        QStringLiteral("SELECT DISTINCT Level FROM tbLabQCLot WHERE InstrumentID = ? AND "
                       "ItemID = ? AND Retired = 'N'"),
        {lot.instrument, lot.item});
    const bool complete =
        std::all_of(inUse.rows.cbegin(), inUse.rows.cend(), [&](const QVariantList& l) {
            return std::any_of(run.cbegin(), run.cend(),
                               [&](const Member& m) { return m.control.level == l[0].toInt(); });
        });
    if (!complete)
        return;
    s.exec(QStringLiteral("UPDATE tbLabQCHold SET AcceptedAt = ? WHERE HoldID = ?"),
           {runAt, hold[0]});
    audit(s, trail(lot.instrument), lot.item, QStringLiteral("QC accepted run"), QString(),
          DateText::general(DateText::parse(runAt).value_or(QDateTime())), e.by, QString());
    releaseIfDone(s, lot.instrument, lot.item, e.by);
}
} // namespace

namespace QualityControl {
QString holdText(const QVariant& rejectedAt, const QString& rules, int level)
{
    return QStringLiteral("QC rejected %1: %2, level %3")
        .arg(clockTime(rejectedAt), rules)
        .arg(level);
}

qint64 lotOfSample(LabStore& s, const QString& instrument, const QString& sampleId,
                   const QString& itemId)
{
    return s
        .query(QStringLiteral("SELECT i.LotID FROM tbLabQCSampleID i JOIN tbLabQCLot l ON "
                              "l.LotID = i.LotID WHERE i.InstrumentID = ? AND i.SampleID = ? "
                              "AND l.ItemID = ? ORDER BY l.Retired, i.LotID DESC LIMIT 1"),
               {instrument.trimmed(), sampleId.trimmed(), itemId.trimmed()})
        .rows.value(0)
        .value(0)
        .toLongLong();
}

bool isControlSample(LabStore& s, const QString& instrument, const QString& sampleId)
{
    return !s.query(QStringLiteral("SELECT 1 FROM tbLabQCSampleID WHERE InstrumentID = ? AND "
                                   "SampleID = ?"),
                    {instrument.trimmed(), sampleId.trimmed()})
                .rows.isEmpty();
}

qint64 lotOf(LabStore& s, const QString& instrument, const QString& item, const QString& lot)
{
    const ResultSet rs = s.query(
        QStringLiteral("SELECT LotID FROM tbLabQCLot WHERE InstrumentID = ? AND ItemID = ? AND "
                       "LotNo = ? UNION SELECT l.LotID FROM tbLabQCSampleID i JOIN tbLabQCLot l "
                       "ON l.LotID = i.LotID WHERE i.InstrumentID = ? AND i.SampleID = ? AND "
                       "l.ItemID = ?"),
        {instrument.trimmed(), item.trimmed(), lot.trimmed(), instrument.trimmed(), lot.trimmed(),
         item.trimmed()});
    if (rs.rows.isEmpty())
        refuse(QStringLiteral("%1 has no control lot %2 of %3: add it with \"lis-host qc lot "
                              "add\".")
                   .arg(instrument.trimmed(), lot.trimmed(), item.trimmed()));
    return rs.rows[0][0].toLongLong();
}

ResultSet record(LabStore& s, const Arrival& a)
{
    const Lot lot = lotById(s, a.lotId);
    // One writer of an instrument's runs and holds at a time (the importer
    // holds this lock already).
    s.lock(LabStore::Lock::Instrument, lot.instrument);
    const Decimal value = judgeableValue(lot, a);
    const Entry e{lot, a, DateText::storage(a.measuredAt),
                  a.source == u"I" ? QStringLiteral("I") : QStringLiteral("M"), who(a.employee)};
    if (lot.mean.isEmpty() || lot.sd.isEmpty())
        return recordEstablishing(s, e);

    Run run = runOf(s, e);
    const QList<Westgard::Control> history = historyBefore(s, lot, run.at);
    const Westgard::Control mine{lot.level, lot.id, value - *Decimal::parse(lot.mean),
                                 *Decimal::parse(lot.sd)};
    if (!(mine.sd > Decimal()))
        refuse(QStringLiteral("%1 has no target SD above zero: set its targets again.")
                   .arg(described(lot)));
    run.members.append({0, mine, QString(), lot.lotNo});
    QList<Westgard::Control> controls;
    for (const Member& m : run.members)
        controls.append(m.control);
    const QList<Westgard::Rule> rejecting = rejectingRules(s, lot.item);
    const QList<Westgard::Judgement> judgements = Westgard::judgeRun(history, controls, rejecting);
    rejudgeEarlier(s, e, run.members, judgements);
    const Westgard::Judgement& own = judgements.last();
    insertJudged(s, e, run.at, mine, own);

    // The gate.
    const Westgard::Verdict verdict = Westgard::runVerdict(judgements);
    const QVariantList open = openHold(s, lot.instrument, lot.item);
    if (verdict == Westgard::Verdict::Rejected)
        holdRejected(s, e, run.at, open, judgements, rejecting);
    else
        acceptAfterHold(s, e, run.at, open, run.members);
    const QVariantList hold = openHold(s, lot.instrument, lot.item);
    return recorded(lot.level, mine.z(), Westgard::names(own.broken), Westgard::name(own.verdict),
                    Westgard::name(verdict),
                    hold.isEmpty() ? QString()
                                   : holdText(hold[1], hold[2].toString(), hold[3].toInt()));
}

} // namespace QualityControl
