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
    const QString described =
        QStringLiteral("Lot %1 (%2, level %3)").arg(lot.lotNo, lot.material).arg(lot.level);
    if (lot.retired)
        refuse(QStringLiteral("%1 of %2 on %3 is retired: its results are not judged.")
                   .arg(described, lot.item, lot.instrument));
    if (Westgard::expired(lot.expiry, a.measuredAt))
        refuse(QStringLiteral("%1 of %2 on %3 expired on %4: a control measured with it on %5 is "
                              "not judged. Put a new lot in use (lis-host qc lot add) and run "
                              "the control again.")
                   .arg(described, lot.item, lot.instrument, DateText::monthDayYear(lot.expiry),
                        DateText::general(a.measuredAt)));
    const auto value = Decimal::parse(a.value);
    if (!value)
        refuse(QStringLiteral("The control result \"%1\" of %2 is not a number: it was not "
                              "recorded.")
                   .arg(a.value, described));
    const QString measured = DateText::storage(a.measuredAt);
    const QString source = a.source == u"I" ? QStringLiteral("I") : QStringLiteral("M");
    const QString by = who(a.employee);
    const auto insert = [&](const QString& runAt, const QVariant& z, const QString& rules,
                            const QString& verdict) {
        return s
            .query(QStringLiteral("INSERT INTO tbLabQCResult (LotID, MeasuredAt, RunAt, "
                                  "Value, ZScore, Rules, Verdict, Source, SampleID, "
                                  "EnteredBy, EnteredAt) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, "
                                  "?, ?) RETURNING QCResultID"),
                   {lot.id, measured, runAt, a.value.trimmed(), z, notNull(rules), verdict, source,
                    notNull(a.sampleId.trimmed()), by, now()})
            .rows.value(0)
            .value(0)
            .toLongLong();
    };
    const QString field =
        QStringLiteral("QC %1 level %2 lot %3").arg(lot.item).arg(lot.level).arg(lot.lotNo);
    if (lot.mean.isEmpty() || lot.sd.isEmpty()) {
        // Still setting its targets: kept, not judged.
        insert(measured, QVariant(), QString(), Westgard::name(Westgard::Verdict::Accepted));
        audit(s, trail(lot.instrument), lot.item, field, QString(),
              a.value.trimmed() + QStringLiteral(" (establishing the lot's targets)"), by,
              QString());
        establish(s, lot);
        return {{QStringLiteral("Level"), QStringLiteral("ZScore"), QStringLiteral("Rules"),
                 QStringLiteral("Verdict"), QStringLiteral("RunVerdict"), QStringLiteral("Hold")},
                {{lot.level, QVariant(), QString(), QStringLiteral("accepted"),
                  QStringLiteral("accepted"), QString()}}};
    }

    // The run it belongs to: the item's latest, when that began less than
    // kRunMinutes before and has no control of this level yet.
    static const QString judged = QStringLiteral(
        "SELECT r.QCResultID, r.RunAt, l.Level, l.LotID, r.Value, l.TargetMean, l.TargetSD, "
        "r.Rules, r.Verdict, l.LotNo "
        "FROM tbLabQCResult r JOIN tbLabQCLot l ON l.LotID = r.LotID WHERE l.InstrumentID = ? "
        "AND l.ItemID = ? AND r.ZScore IS NOT NULL ");
    const ResultSet latest = s.query(judged + QStringLiteral("ORDER BY r.RunAt DESC, "
                                                             "r.MeasuredAt DESC LIMIT 1"),
                                     {lot.instrument, lot.item});
    QString runAt = measured;
    QList<Member> run;
    if (!latest.rows.isEmpty()) {
        const QDateTime began = DateText::toDateTime(latest.rows[0][1]);
        if (began <= a.measuredAt && began.secsTo(a.measuredAt) < Westgard::kRunMinutes * 60) {
            const ResultSet members =
                s.query(judged + QStringLiteral("AND r.RunAt = ? ORDER BY r.MeasuredAt, "
                                                "r.QCResultID"),
                        {lot.instrument, lot.item, stamp(latest.rows[0][1])});
            const bool sameLevel =
                std::any_of(members.rows.cbegin(), members.rows.cend(),
                            [&](const QVariantList& m) { return m[2].toInt() == lot.level; });
            if (!sameLevel) {
                runAt = stamp(latest.rows[0][1]);
                for (const QVariantList& m : members.rows)
                    run.append({m[0].toLongLong(), controlOf(m, 2),
                                judgedText(m[8].toString(), m[7].toString()), m[9].toString()});
            }
        }
    }
    const ResultSet earlier =
        s.query(judged + QStringLiteral("AND r.RunAt < ? ORDER BY r.MeasuredAt DESC, "
                                        "r.QCResultID DESC LIMIT %1")
                             .arg(kHistoryRows),
                {lot.instrument, lot.item, runAt});
    QList<Westgard::Control> history;
    for (auto it = earlier.rows.crbegin(); it != earlier.rows.crend(); ++it)
        history.append(controlOf(*it, 2));
    const Westgard::Control mine{lot.level, lot.id, *value - *Decimal::parse(lot.mean),
                                 *Decimal::parse(lot.sd)};
    if (!(mine.sd > Decimal()))
        refuse(QStringLiteral("%1 has no target SD above zero: set its targets again.")
                   .arg(described));
    run.append({0, mine, QString(), lot.lotNo});
    QList<Westgard::Control> controls;
    for (const Member& m : run)
        controls.append(m.control);
    const QList<Westgard::Rule> rejecting = rejectingRules(s, lot.item);
    const QList<Westgard::Judgement> judgements = Westgard::judgeRun(history, controls, rejecting);

    // The run's earlier members, judged again with this one beside them.
    for (qsizetype i = 0; i + 1 < run.size(); ++i) {
        const QString rules = Westgard::names(judgements[i].broken);
        const QString now = judgedText(Westgard::name(judgements[i].verdict), rules);
        if (now == run[i].judged)
            continue;
        s.exec(
            QStringLiteral("UPDATE tbLabQCResult SET Rules = ?, Verdict = ? WHERE QCResultID = ?"),
            {notNull(rules), Westgard::name(judgements[i].verdict), run[i].id});
        audit(s, trail(lot.instrument), lot.item,
              QStringLiteral("QC %1 level %2 lot %3")
                  .arg(lot.item)
                  .arg(run[i].control.level)
                  .arg(run[i].lotNo),
              run[i].judged, now + QStringLiteral(" (with the rest of its run)"), by, QString());
    }
    const Westgard::Judgement& own = judgements.last();
    insert(runAt, mine.z(), Westgard::names(own.broken), Westgard::name(own.verdict));
    audit(s, trail(lot.instrument), lot.item, field, QString(),
          QStringLiteral("%1 (z %2, %3%4)")
              .arg(a.value.trimmed(), QString::number(mine.z(), 'f', 2),
                   Westgard::name(own.verdict),
                   own.broken.isEmpty() ? QString()
                                        : QStringLiteral(": ") + Westgard::names(own.broken)),
          by, source == u"I" ? QStringLiteral("instrument %1").arg(lot.instrument) : QString());

    // The gate.
    const Westgard::Verdict verdict = Westgard::runVerdict(judgements);
    QVariantList hold = openHold(s, lot.instrument, lot.item);
    if (verdict == Westgard::Verdict::Rejected) {
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
                  holdText(runAt, Westgard::names(rules), lot.level) +
                      QStringLiteral(": patient results held"),
                  by, QString());
        } else if (!hold[4].isNull()) {
            // The run that was accepted failed after all, or a later one did.
            s.exec(QStringLiteral("UPDATE tbLabQCHold SET AcceptedAt = NULL WHERE HoldID = ?"),
                   {hold[0]});
        }
    } else if (!hold.isEmpty() && hold[4].isNull() &&
               DateText::toDateTime(hold[1]) < DateText::parse(runAt).value_or(QDateTime())) {
        // Accepted only once every level in use has been run.
        const ResultSet inUse = s.query(
            QStringLiteral("SELECT DISTINCT Level FROM tbLabQCLot WHERE InstrumentID = ? AND "
                           "ItemID = ? AND Retired = 'N'"),
            {lot.instrument, lot.item});
        const bool complete =
            std::all_of(inUse.rows.cbegin(), inUse.rows.cend(), [&](const QVariantList& l) {
                return std::any_of(run.cbegin(), run.cend(), [&](const Member& m) {
                    return m.control.level == l[0].toInt();
                });
            });
        if (complete) {
            s.exec(QStringLiteral("UPDATE tbLabQCHold SET AcceptedAt = ? WHERE HoldID = ?"),
                   {runAt, hold[0]});
            audit(s, trail(lot.instrument), lot.item, QStringLiteral("QC accepted run"), QString(),
                  DateText::general(DateText::parse(runAt).value_or(QDateTime())), by, QString());
            releaseIfDone(s, lot.instrument, lot.item, by);
        }
    }
    hold = openHold(s, lot.instrument, lot.item);
    return {
        {QStringLiteral("Level"), QStringLiteral("ZScore"), QStringLiteral("Rules"),
         QStringLiteral("Verdict"), QStringLiteral("RunVerdict"), QStringLiteral("Hold")},
        {{lot.level, mine.z(), Westgard::names(own.broken), Westgard::name(own.verdict),
          Westgard::name(verdict),
          hold.isEmpty() ? QString() : holdText(hold[1], hold[2].toString(), hold[3].toInt())}}};
}

} // namespace QualityControl
