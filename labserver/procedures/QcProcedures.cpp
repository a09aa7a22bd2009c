// The quality-control procedures: lots, rules, control results, corrective
// actions, the review of held results, and the chart's data.
#include "labrules/Westgard.h"
#include "labserver/LabStore.h"
#include "labserver/ProcedureRegistry.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/QualityControl.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "labserver/procedures/ResultGuard.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

using namespace ProcedureSupport;

namespace {
// Empty text, never Null: the driver binds a null QString as Null.
QString notNull(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

QString trail(const QString& instrument)
{
    return QStringLiteral("QC ") + instrument;
}

QString who(const QString& employee)
{
    return employee.isEmpty() ? QStringLiteral("lis-host") : employee;
}

void requireInstrumentItem(const ProcedureContext& ctx, const QString& instrument,
                           const QString& item)
{
    LabStore& s = ctx.store();
    if (s.query(QStringLiteral("SELECT 1 FROM tbLabInstrument WHERE InstrumentID = ?"),
                {instrument})
            .rows.isEmpty())
        ctx.fail(QStringLiteral("the instrument %1 is not one of the laboratory's instruments.")
                     .arg(instrument));
    if (s.query(QStringLiteral("SELECT 1 FROM tbLabExamItem WHERE ItemID = ?"), {item})
            .rows.isEmpty())
        ctx.fail(
            QStringLiteral("the item %1 is not one of the laboratory's exam items.").arg(item));
}

// instrument, item, material, level, lot number, expiry, mean, SD, unit,
// sample ids (comma-separated), employee. No mean and SD: the lot sets its
// own from its first 20 results.
ResultSet lotAdd(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const QString instrument = ctx.key(0), item = ctx.key(1);
    requireInstrumentItem(ctx, instrument, item);
    const int level = ctx.integer(3, QStringLiteral("level"));
    if (level < 1 || level > 3)
        ctx.fail(QStringLiteral("a control level is 1, 2 or 3."));
    const QString lotNo = required(ctx, 4, QStringLiteral("lot number"));
    const QDateTime expiry = ctx.dateTime(5, QStringLiteral("expiry"));
    const QString mean = ctx.text(6).trimmed(), sd = ctx.text(7).trimmed();
    if (mean.isEmpty() != sd.isEmpty())
        ctx.fail(QStringLiteral("a lot's targets are a mean and an SD, or neither (set from its "
                                "first 20 results)."));
    if (!mean.isEmpty() && (!LabLogic::Decimal::parse(mean) || !LabLogic::Decimal::parse(sd) ||
                            !(*LabLogic::Decimal::parse(sd) > LabLogic::Decimal())))
        ctx.fail(QStringLiteral("the target mean %1 and SD %2 must be numbers, the SD above zero.")
                     .arg(mean, sd));
    if (!s.query(QStringLiteral("SELECT 1 FROM tbLabQCLot WHERE InstrumentID = ? AND ItemID = ? "
                                "AND LotNo = ?"),
                 {instrument, item, lotNo})
             .rows.isEmpty())
        ctx.fail(QStringLiteral("%1 has a lot %2 of %3 already.").arg(instrument, lotNo, item));
    const QVariant id =
        s.query(QStringLiteral("INSERT INTO tbLabQCLot (InstrumentID, ItemID, Material, Level, "
                               "LotNo, Expiry, TargetMean, TargetSD, Unit, Established) VALUES "
                               "(?, ?, ?, ?, ?, ?, ?, ?, ?, ?) RETURNING LotID"),
                {instrument, item, notNull(ctx.text(2).trimmed()), level, lotNo, stored(expiry),
                 mean.isEmpty() ? QVariant() : QVariant(mean),
                 sd.isEmpty() ? QVariant() : QVariant(sd), notNull(ctx.text(8).trimmed()),
                 mean.isEmpty() ? QStringLiteral("runs") : QStringLiteral("sheet")})
            .rows.value(0)
            .value(0);
    for (const QString& sample : ctx.text(9).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const qint64 other = QualityControl::lotOfSample(s, instrument, sample, item);
        if (other != 0)
            ctx.fail(QStringLiteral("%1 sends another lot's controls of %3 as %2 already.")
                         .arg(instrument, sample.trimmed(), item));
        s.exec(QStringLiteral("INSERT INTO tbLabQCSampleID (InstrumentID, SampleID, LotID) "
                              "VALUES (?, ?, ?)"),
               {instrument, sample.trimmed(), id});
    }
    audit(s, trail(instrument), item, QStringLiteral("QC lot added"), QString(),
          QStringLiteral("%1 level %2 lot %3, expires %4, target %5")
              .arg(ctx.text(2).trimmed())
              .arg(level)
              .arg(lotNo, DateText::monthDayYear(expiry.date()),
                   mean.isEmpty() ? QStringLiteral("from its first 20 results")
                                  : mean + QStringLiteral(" SD ") + sd),
          who(ctx.key(10)), QString());
    return {{QStringLiteral("LotID")}, {{id}}};
}

ResultSet lotList(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral("SELECT l.InstrumentID, l.ItemID, l.Level, l.LotNo, l.Material, l.Expiry, "
                       "coalesce(l.TargetMean, '') AS TargetMean, coalesce(l.TargetSD, '') AS "
                       "TargetSD, l.Unit, l.Established, l.Retired, (SELECT count(*) FROM "
                       "tbLabQCResult r WHERE r.LotID = l.LotID) AS Results FROM tbLabQCLot l "
                       "WHERE (? = '' OR l.InstrumentID = ?) AND (? = '' OR l.ItemID = ?) "
                       "ORDER BY l.InstrumentID, l.ItemID, l.Level, l.LotID"),
        {ctx.key(0), ctx.key(0), ctx.key(1), ctx.key(1)}, {QStringLiteral("Expiry")});
}

ResultSet lotRetire(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const qint64 lot = QualityControl::lotOf(s, ctx.key(0), ctx.key(1), ctx.key(2));
    s.exec(QStringLiteral("UPDATE tbLabQCLot SET Retired = 'Y' WHERE LotID = ?"), {lot});
    audit(s, trail(ctx.key(0)), ctx.key(1), QStringLiteral("QC lot retired"), ctx.key(2),
          QStringLiteral("retired"), who(ctx.key(3)), QString());
    return {};
}

ResultSet rules(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const QString item = ctx.key(0);
    if (s.query(QStringLiteral("SELECT 1 FROM tbLabExamItem WHERE ItemID = ?"), {item})
            .rows.isEmpty())
        ctx.fail(
            QStringLiteral("the item %1 is not one of the laboratory's exam items.").arg(item));
    QString unknown;
    const auto parsed = Westgard::parseRules(ctx.text(1), &unknown);
    if (!parsed || parsed->isEmpty())
        ctx.fail(QStringLiteral("%1 is not a rule: the rules are 1-2s, 1-3s, 2-2s, R-4s, 4-1s "
                                "and 10-x.")
                     .arg(unknown.isEmpty() ? QStringLiteral("an empty list") : unknown));
    const QString was =
        s.query(QStringLiteral("SELECT Rejecting FROM tbLabQCRules WHERE ItemID = ?"), {item})
            .rows.value(0)
            .value(0)
            .toString();
    s.exec(QStringLiteral("DELETE FROM tbLabQCRules WHERE ItemID = ?"), {item});
    s.exec(QStringLiteral("INSERT INTO tbLabQCRules (ItemID, Rejecting) VALUES (?, ?)"),
           {item, Westgard::names(*parsed)});
    audit(s, QStringLiteral("QC"), item, QStringLiteral("QC rejecting rules"),
          was.isEmpty() ? Westgard::names(Westgard::defaultRejecting()) : was,
          Westgard::names(*parsed), who(ctx.key(2)), QString());
    return {{QStringLiteral("Rejecting")}, {{Westgard::names(*parsed)}}};
}

// instrument, item, lot (number or sample id), value, measured at (empty:
// now), employee.
ResultSet resultAdd(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    requireInstrumentItem(ctx, ctx.key(0), ctx.key(1));
    QualityControl::Arrival a;
    a.instrument = ctx.key(0);
    a.lotId = QualityControl::lotOf(s, ctx.key(0), ctx.key(1), ctx.key(2));
    a.value = ctx.text(3);
    a.measuredAt = ctx.optionalDateTime(4, QStringLiteral("measured at"));
    if (!a.measuredAt.isValid())
        a.measuredAt = Clock::now();
    a.employee = ctx.key(5);
    return QualityControl::record(s, a);
}

ResultSet action(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const QString instrument = ctx.key(0), item = ctx.key(1);
    requireInstrumentItem(ctx, instrument, item);
    const QString text = required(ctx, 2, QStringLiteral("corrective action"));
    s.lock(LabStore::Lock::Instrument, instrument);
    const QVariant hold = s.query(QStringLiteral("SELECT HoldID FROM tbLabQCHold WHERE "
                                                 "InstrumentID = ? AND ItemID = ? AND ReleasedAt "
                                                 "IS NULL ORDER BY HoldID DESC LIMIT 1"),
                                  {instrument, item})
                              .rows.value(0)
                              .value(0);
    s.exec(QStringLiteral("INSERT INTO tbLabQCAction (InstrumentID, ItemID, HoldID, Action, "
                          "RecordedBy, RecordedAt) VALUES (?, ?, ?, ?, ?, ?)"),
           {instrument, item, hold, text, who(ctx.key(3)), now()});
    audit(s, trail(instrument), item, QStringLiteral("QC corrective action"), QString(), text,
          who(ctx.key(3)), QString());
    if (!hold.isNull()) {
        // Released now when the accepted run came first.
        const QVariantList h = s.query(QStringLiteral("SELECT AcceptedAt FROM tbLabQCHold WHERE "
                                                      "HoldID = ?"),
                                       {hold})
                                   .rows.value(0);
        if (!h.value(0).isNull()) {
            s.exec(QStringLiteral("UPDATE tbLabQCHold SET ReleasedBy = ?, ReleasedAt = ? WHERE "
                                  "HoldID = ?"),
                   {who(ctx.key(3)), now(), hold});
            audit(s, trail(instrument), item, QStringLiteral("QC hold released"), QString(),
                  QStringLiteral("released: accepted run and corrective action"), who(ctx.key(3)),
                  QString());
        }
    }
    return {};
}

// request, item, employee: a technologist confirms a result of a failed
// interval after reviewing it, once the hold is released.
ResultSet confirm(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const QString req = existingRequest(ctx, 0);
    const QString item = ctx.key(1);
    ResultGuard::requireVerifier(s, ctx.key(2), req);
    const QVariant hold = QualityControl::heldBy(s, req, item);
    const QString why = QualityControl::holdOf(s, req, item, true);
    if (hold.isNull() || why.isEmpty())
        ctx.fail(QStringLiteral("%1 on request %2 is not waiting for a quality-control review: "
                                "nothing to confirm.")
                     .arg(item, req));
    if (why.startsWith(QStringLiteral("is held")))
        ctx.fail(QStringLiteral("%1 on request %2 %3").arg(item, req, why));
    s.exec(QStringLiteral("INSERT INTO tbLabQCReview (HoldID, RequestNum, ItemID, ConfirmedBy, "
                          "ConfirmedAt) VALUES (?, ?, ?, ?, ?)"),
           {hold, req, item, ctx.key(2), now()});
    // In the quality-control trail: a review changes nothing of the result,
    // so a window open on the request stays current.
    const QString instrument =
        s.query(QStringLiteral("SELECT InstrumentID FROM tbLabQCHold WHERE HoldID = ?"), {hold})
            .rows.value(0)
            .value(0)
            .toString();
    audit(s, trail(instrument), item, QStringLiteral("QC review confirmed"), QString(),
          QStringLiteral("%1 %2 reviewed and confirmed").arg(req, item), ctx.key(2), QString());
    return {};
}

ResultSet holds(ProcedureContext& ctx)
{
    return QualityControl::holdMarks(ctx.store(), ctx.key(0));
}

ResultSet chartData(ProcedureContext& ctx)
{
    LabStore& s = ctx.store();
    const QString instrument = ctx.key(0), item = ctx.key(1);
    requireInstrumentItem(ctx, instrument, item);
    QDateTime last = ctx.optionalDateTime(3, QStringLiteral("last day"));
    if (!last.isValid())
        last = QDateTime(Clock::today(), QTime());
    QDateTime first = ctx.optionalDateTime(2, QStringLiteral("first day"));
    if (!first.isValid())
        first = last.addDays(-30);
    const QString real = s.engine() == Engine::PostgreSQL ? QStringLiteral("double precision")
                                                          : QStringLiteral("REAL");
    return s.query(
        QStringLiteral("SELECT l.Level AS Level, l.LotNo AS LotNo, l.Material AS Material, "
                       "CAST(l.TargetMean AS %1) AS TargetMean, CAST(l.TargetSD AS %1) AS "
                       "TargetSD, l.Unit AS Unit, r.MeasuredAt AS MeasuredAt, r.Value AS Value, "
                       "r.ZScore AS ZScore, r.Rules AS Rules, r.Verdict AS Verdict, "
                       "i.ExamName AS ItemName FROM tbLabQCResult r JOIN tbLabQCLot l ON "
                       "l.LotID = r.LotID JOIN tbLabExamItem i ON i.ItemID = l.ItemID WHERE "
                       "l.InstrumentID = ? AND l.ItemID = ? AND r.MeasuredAt >= ? AND "
                       "r.MeasuredAt < ? AND r.ZScore IS NOT NULL "
                       "ORDER BY l.Level, r.MeasuredAt, r.QCResultID")
            .arg(real),
        {instrument, item, DateText::storage(QDateTime(first.date(), QTime())),
         DateText::storage(QDateTime(last.date().addDays(1), QTime()))},
        {QStringLiteral("MeasuredAt")});
}
} // namespace

void registerQualityControlProcedures()
{
    ProcedureRegistry::add({QStringLiteral("sp_QCLotAdd"), 10, 11, lotAdd});
    ProcedureRegistry::add({QStringLiteral("sp_QCLotList"), 2, 2, lotList, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("sp_QCLotRetire"), 3, 4, lotRetire});
    ProcedureRegistry::add({QStringLiteral("sp_QCRules"), 2, 3, rules});
    ProcedureRegistry::add({QStringLiteral("sp_QCResultAdd"), 4, 6, resultAdd});
    ProcedureRegistry::add({QStringLiteral("sp_QCAction"), 3, 4, action});
    ProcedureRegistry::add({QStringLiteral("sp_QCConfirm"), 3, 3, confirm});
    ProcedureRegistry::add({QStringLiteral("sp_QCHolds"), 1, 1, holds, ProcedureAccess::Reads});
    ProcedureRegistry::add(
        {QStringLiteral("sp_QCChartData"), 4, 4, chartData, ProcedureAccess::Reads});
}
