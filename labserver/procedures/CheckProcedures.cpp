// The checks of a result beside the save: limits and the previous result for
// the windows, who entered a value and from where, critical calls, delta
// acknowledgements, and the audit trail they all leave.
#include "labrules/Numeric.h"
#include "labserver/AuditChain.h"
#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "labserver/procedures/ResultGuard.h"
#include "platform/Clock.h"
#include "platform/CommandExcerpt.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

#include <QLocale>

using namespace ProcedureSupport;

namespace {
QString numberOrEmpty(std::optional<double> v)
{
    return v ? numberText(*v) : QString();
}

QString generalOrEmpty(const QDateTime& moment)
{
    return moment.isValid() ? DateText::general(moment) : QString();
}

// The columns of Lab_GetResultChecks, in order.
const QStringList kResultCheckColumns = {QStringLiteral("RequestNum"),
                                         QStringLiteral("ItemID"),
                                         QStringLiteral("SIMin"),
                                         QStringLiteral("SIMax"),
                                         QStringLiteral("CMin"),
                                         QStringLiteral("CMax"),
                                         QStringLiteral("CriticalLow"),
                                         QStringLiteral("CriticalHigh"),
                                         QStringLiteral("PlausibleLow"),
                                         QStringLiteral("PlausibleHigh"),
                                         QStringLiteral("DeltaLimit"),
                                         QStringLiteral("DeltaPercent"),
                                         QStringLiteral("DeltaDays"),
                                         QStringLiteral("PrevResult"),
                                         QStringLiteral("PrevUnit"),
                                         QStringLiteral("PrevDate"),
                                         QStringLiteral("PrevRequest"),
                                         QStringLiteral("CriticalCalledTo"),
                                         QStringLiteral("CriticalCalledAt"),
                                         QStringLiteral("DeltaAcknowledgedBy"),
                                         QStringLiteral("Unit"),
                                         QStringLiteral("CUnit"),
                                         QStringLiteral("Factor"),
                                         QStringLiteral("CutOff"),
                                         QStringLiteral("ReactiveAtOrAbove"),
                                         QStringLiteral("PositiveLabel"),
                                         QStringLiteral("NegativeLabel"),
                                         QStringLiteral("GreyZone"),
                                         QStringLiteral("CDecimals"),
                                         QStringLiteral("SavedResult"),
                                         QStringLiteral("Verified")};

// request. One row per exam item of the request: its normal, critical and
// plausible limits, its delta check, the patient's previous verified result,
// and what was recorded of the saved one. Every column is text, never Null;
// an empty one is not configured.
ResultSet getResultChecks(ProcedureContext& ctx)
{
    ResultSet rs;
    rs.columns = kResultCheckColumns;
    const QString req = ctx.key(0);
    ItemCache items(ctx.store());
    for (const ItemCheck& c : itemChecks(ctx.store(), req)) {
        const ItemLimits& l = c.limits;
        const ExamItem item = items[c.itemId].value_or(ExamItem{});
        rs.rows.append({req,
                        c.itemId,
                        numberOrEmpty(l.min),
                        numberOrEmpty(l.max),
                        numberOrEmpty(c.cMin),
                        numberOrEmpty(c.cMax),
                        numberOrEmpty(l.criticalLow),
                        numberOrEmpty(l.criticalHigh),
                        numberOrEmpty(l.plausibleLow),
                        numberOrEmpty(l.plausibleHigh),
                        numberOrEmpty(l.deltaLimit),
                        l.deltaPercent ? QStringLiteral("Y") : QStringLiteral("N"),
                        QString::number(l.deltaDays),
                        l.previous,
                        c.previousUnit,
                        generalOrEmpty(l.previousAt),
                        c.previousRequest,
                        c.calledTo,
                        generalOrEmpty(c.calledAt),
                        c.acknowledgedBy,
                        l.unit,
                        l.conventionalUnit,
                        numberOrEmpty(l.factor),
                        numberOrEmpty(item.cutOff),
                        item.reactiveAtOrAbove ? QStringLiteral("Y") : QStringLiteral("N"),
                        item.positiveLabel,
                        item.negativeLabel,
                        numberText(item.greyZone),
                        QString::number(l.conventionalDecimals),
                        c.value,
                        c.verified ? QStringLiteral("Y") : QStringLiteral("N")});
    }
    return rs;
}

// The reasons a verified result may be corrected for, in the laboratory's
// order; "Other" asks for the words.
ResultSet getAmendmentReasons(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral("SELECT Reason FROM tbLabAmendmentReason ORDER BY SortOrder, Reason"));
}

// The saved result of an item; fails when there is none.
QVariantList savedResult(const ProcedureContext& ctx, const QString& req, const QString& item)
{
    const ResultSet rs = ctx.store().query(
        QStringLiteral("SELECT ResultKind, coalesce(SIResult, ''), coalesce(PatientValue, ''), "
                       "coalesce(Result, ''), coalesce(Remarks, ''), Verified FROM tbLabResult "
                       "WHERE RequestNum = ? AND ItemID = ?"),
        {req, item});
    if (rs.rows.isEmpty())
        ctx.fail(QStringLiteral("request %1 has no saved result of %2.")
                     .arg(commandExcerpt(req), commandExcerpt(item)));
    return rs.rows.first();
}

struct EntryArg {
    enum : int { Request, Item, Employee, Source, Instrument, Sample, Workstation };
};

// request, item, employee, source ('I' instrument, 'T' typed), instrument,
// sample, workstation; sent after the row's save to say where its value came
// from. The save recorded who entered a changed value; this names the
// instrument and sample of a value taken over, for a row the employee
// entered (or nobody yet).
ResultSet recordResultEntry(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, EntryArg::Request);
    const QString item = required(ctx, EntryArg::Item, QStringLiteral("@ItemID"));
    const QString employee = required(ctx, EntryArg::Employee, QStringLiteral("@EmployeeCode"));
    const QString source = ctx.key(EntryArg::Source).trimmed().toUpper();
    if (source != QLatin1String("I") && source != QLatin1String("T"))
        ctx.fail(QStringLiteral("argument 4 (@Source) %1 is neither I nor T.")
                     .arg(commandExcerpt(ctx.text(EntryArg::Source))));
    const QString where =
        ctx.key(EntryArg::Workstation).isEmpty() ? workstation() : ctx.key(EntryArg::Workstation);
    LabStore& s = ctx.store();
    s.setAuditContext(employee, where, now());
    const QVariantList row = savedResult(ctx, req, item);
    const bool normal = row[0].toString() == QLatin1String("N");
    if ((normal ? row[1] : row[2]).toString().trimmed().isEmpty())
        return {};
    const bool taken = source == QLatin1String("I");
    s.exec(QStringLiteral("UPDATE tbLabResult SET EntryBy = ?, EntryAt = coalesce(EntryAt, ?), "
                          "EntrySource = ?, EntryInstrument = ?, EntrySample = ?, "
                          "EntryWorkstation = ? WHERE RequestNum = ? AND ItemID = ? AND "
                          "(coalesce(EntryBy, '') = '' OR lower(EntryBy) = lower(?))"),
           {employee, now(), source, taken ? ctx.key(EntryArg::Instrument) : QString(),
            taken ? ctx.key(EntryArg::Sample) : QString(), where, req, item, employee});
    return {};
}

// A few minutes either way between workstation clocks and the server's.
constexpr qint64 kClockSkewSeconds = 5 * 60;

struct CallArg {
    enum : int { Request, Item, ReportedTo, CalledAt, Employee, Workstation };
};

// request, item, reported to, called at, employee, workstation. The call
// is of the saved value: made after it was saved and not in the future.
ResultSet recordCriticalCall(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, CallArg::Request);
    const QString item = required(ctx, CallArg::Item, QStringLiteral("@ItemID"));
    const QString to = ctx.text(CallArg::ReportedTo).trimmed();
    if (to.isEmpty())
        ctx.fail(QStringLiteral("argument 3 (@ReportedTo) is empty: say to whom the critical "
                                "result was reported."));
    const QDateTime at = ctx.dateTime(CallArg::CalledAt, QStringLiteral("@CalledAt"));
    const QString employee = required(ctx, CallArg::Employee, QStringLiteral("@EmployeeCode"));
    LabStore& s = ctx.store();
    ResultGuard::requireKnownEmployee(s, employee, QStringLiteral("the critical call"));
    savedResult(ctx, req, item);
    const QDateTime saved =
        storedMoment(s.query(QStringLiteral("SELECT coalesce(EntryAt, EnteredAt) FROM tbLabResult "
                                            "WHERE RequestNum = ? AND ItemID = ?"),
                             {req, item})
                         .rows.value(0)
                         .value(0));
    const QDateTime current = Clock::now();
    if ((saved.isValid() && at < saved.addSecs(-kClockSkewSeconds)) ||
        at > current.addSecs(kClockSkewSeconds))
        ctx.fail(QStringLiteral("the call at %1 lies outside the time between the result's save "
                                "(%2) and now (%3): record when it was made.")
                     .arg(DateText::general(at),
                          saved.isValid() ? DateText::general(saved) : QStringLiteral("unknown"),
                          DateText::general(current)));
    s.setAuditContext(employee,
                      ctx.key(CallArg::Workstation).isEmpty() ? workstation()
                                                              : ctx.key(CallArg::Workstation),
                      now());
    s.exec(QStringLiteral("UPDATE tbLabResult SET CriticalCalledTo = ?, CriticalCalledAt = ?, "
                          "CriticalCalledBy = ? WHERE RequestNum = ? AND ItemID = ?"),
           {to, stored(at), employee, req, item});
    return {};
}

struct DeltaArg {
    enum : int { Request, Item, Employee };
};

// request, item, employee.
ResultSet acknowledgeDelta(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, DeltaArg::Request);
    const QString item = required(ctx, DeltaArg::Item, QStringLiteral("@ItemID"));
    const QString employee = required(ctx, DeltaArg::Employee, QStringLiteral("@EmployeeCode"));
    LabStore& s = ctx.store();
    ResultGuard::requireKnownEmployee(s, employee, QStringLiteral("the delta acknowledgement"));
    savedResult(ctx, req, item);
    s.setAuditContext(employee, workstation(), now());
    s.exec(QStringLiteral("UPDATE tbLabResult SET DeltaAcknowledgedBy = ?, "
                          "DeltaAcknowledgedAt = ? WHERE RequestNum = ? AND ItemID = ?"),
           {employee, now(), req, item});
    return {};
}

// request. Each saved result's change number: the last audit row that
// changed it, 0 when none did. A window remembers them as it opens.
ResultSet getChangeNumbers(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral("SELECT r.ItemID, coalesce((SELECT max(a.AuditID) FROM tbLabResultAudit a "
                       "WHERE a.RequestNum = r.RequestNum AND a.ItemID = r.ItemID), 0) AS "
                       "ChangeNo FROM tbLabResult r WHERE r.RequestNum = ? ORDER BY r.RowNo, "
                       "r.ItemID"),
        {ctx.key(0)});
}

struct UnchangedArg {
    enum : int { Request, ReadAt, Employee, Sample, Instrument, ResultDate, PostedTo };
};

// The sample a window takes over (sample, instrument, result day) must still
// be posted only where the window saw it or is saving to (the last argument,
// requests separated by ';'): a second workstation may have posted it
// meanwhile.
void checkSampleUnposted(ProcedureContext& ctx, const QString& req)
{
    const QDateTime day =
        ctx.optionalDateTime(UnchangedArg::ResultDate, QStringLiteral("@ResultDate"));
    if (ctx.key(UnchangedArg::Sample).isEmpty() || !day.isValid())
        return;
    QStringList expected{req.toLower()};
    if (ctx.count() > UnchangedArg::PostedTo)
        for (const QString& r :
             ctx.text(UnchangedArg::PostedTo).split(QLatin1Char(';'), Qt::SkipEmptyParts))
            expected << r.trimmed().toLower();
    const QVariantList range = dayRange(day);
    const ResultSet posted = ctx.store().query(
        QStringLiteral("SELECT PostedRequestNum, PostedBy, PostedAt FROM "
                       "tbLabInstrumentDLHemaResult WHERE InstrumentID = ? AND SampleNum = ? "
                       "AND Resultdate >= ? AND Resultdate < ? AND Posted = 'Y' "
                       "ORDER BY PostedAt DESC"),
        {ctx.key(UnchangedArg::Instrument), ctx.key(UnchangedArg::Sample), range[0], range[1]});
    for (const QVariantList& r : posted.rows) {
        if (expected.contains(r[0].toString().trimmed().toLower()))
            continue;
        throw LisError(
            ErrNo::DbCommandFailed,
            QStringLiteral("Sample %1 was posted to %2 by %3 at %4 after this window opened. "
                           "Nothing was saved. Reopen %5 to see the current results.")
                .arg(ctx.key(UnchangedArg::Sample), r[0].toString(),
                     r[1].toString().isEmpty() ? QStringLiteral("another workstation")
                                               : r[1].toString(),
                     QLocale::c().toString(storedMoment(r[2]).time(), QStringLiteral("h:mm AP")),
                     req));
    }
}

// request, "ITEM:N;ITEM:N", employee (optional), then optionally the sample
// taken over: sample, instrument, result day, the requests it may stand
// posted to. The rows a window read at
// their change numbers (0: not saved then). Fails, naming what changed, who
// changed it and when, if any of them changed since; sent first in a save.
ResultSet checkUnchanged(ProcedureContext& ctx)
{
    const QString req = existingRequest(ctx, UnchangedArg::Request);
    LabStore& s = ctx.store();
    if (ctx.count() > UnchangedArg::Employee && !ctx.key(UnchangedArg::Employee).isEmpty())
        s.setAuditContext(ctx.key(UnchangedArg::Employee), workstation(), now());
    for (const QString& entry :
         ctx.text(UnchangedArg::ReadAt).split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const qsizetype colon = entry.lastIndexOf(QLatin1Char(':'));
        bool ok = false;
        const qint64 read = colon > 0 ? entry.mid(colon + 1).trimmed().toLongLong(&ok) : 0;
        if (!ok)
            ctx.fail(QStringLiteral("argument 2 %1 is not a list of ITEM:NUMBER.")
                         .arg(commandExcerpt(entry)));
        const QString item = entry.left(colon).trimmed();
        const ResultSet last = s.query(
            QStringLiteral("SELECT a.AuditID, a.ChangedBy, a.ChangedAt, a.Workstation, "
                           "coalesce(r.ExamName, a.ItemID), CASE r.ResultKind WHEN 'N' THEN "
                           "r.SIResult ELSE r.PatientValue END FROM tbLabResultAudit a "
                           "LEFT JOIN tbLabResult r ON r.RequestNum = a.RequestNum AND "
                           "r.ItemID = a.ItemID WHERE a.RequestNum = ? AND a.ItemID = ? "
                           "ORDER BY a.AuditID DESC LIMIT 1"),
            {req, item});
        const qint64 now = last.rows.isEmpty() ? 0 : last.rows[0][0].toLongLong();
        if (now == read)
            continue;
        const QVariantList& r = last.rows[0];
        const QDateTime when = storedMoment(r[2]);
        throw LisError(
            ErrNo::DbCommandFailed,
            QStringLiteral("%1 was changed to %2 by %3 at %4 at %5 after this window "
                           "opened. Nothing was saved. Reopen %6 to see the current "
                           "results.")
                .arg(r[4].toString(),
                     r[5].toString().isEmpty() ? QStringLiteral("(no value)") : r[5].toString(),
                     r[1].toString().isEmpty() ? QStringLiteral("another workstation")
                                               : r[1].toString(),
                     QLocale::c().toString(when.time(), QStringLiteral("h:mm AP")), r[3].toString(),
                     req));
    }
    if (ctx.count() > 3)
        checkSampleUnposted(ctx, req);
    return {};
}

// The audit trail's chain: one row, the rows read and the first whose hash
// does not follow from its text and the row sealed before it (0 when none).
ResultSet checkAuditTrail(ProcedureContext& ctx)
{
    const ResultSet rows = ctx.store().query(
        QStringLiteral("SELECT AuditID, RequestNum, ItemID, Field, OldValue, NewValue, "
                       "ChangedBy, Workstation, ChangedAt, Note, Hash FROM tbLabResultAudit "
                       "WHERE Hash IS NOT NULL ORDER BY coalesce(SealNo, 0), AuditID"));
    QString previous;
    qint64 broken = 0;
    for (QVariantList row : rows.rows) {
        const QString hash = row.takeLast().toString();
        previous = AuditChain::link(previous, row);
        if (previous != hash) {
            broken = row.first().toLongLong();
            break;
        }
    }
    ResultSet rs;
    rs.columns = {QStringLiteral("Rows"), QStringLiteral("BrokenAt")};
    rs.rows.append({qint64(rows.rows.size()), broken});
    return rs;
}

// request. The audit trail of its results, oldest first.
ResultSet getAuditTrail(ProcedureContext& ctx)
{
    return ctx.store().query(
        QStringLiteral(
            "SELECT ChangedAt, ItemID, Field, OldValue, NewValue, ChangedBy, "
            "Workstation, Note FROM tbLabResultAudit WHERE RequestNum = ? ORDER BY AuditID"),
        {ctx.key(0)}, {QStringLiteral("ChangedAt")});
}
} // namespace

void registerCheckProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("Lab_GetResultChecks"), 1, 1, getResultChecks, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_GetAmendmentReasons"), 0, 0, getAmendmentReasons,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_RecordResultEntry"), 7, 7, recordResultEntry});
    ProcedureRegistry::add({QStringLiteral("Lab_RecordCriticalCall"), 6, 6, recordCriticalCall});
    ProcedureRegistry::add({QStringLiteral("Lab_AcknowledgeDelta"), 3, 3, acknowledgeDelta});
    ProcedureRegistry::add(
        {QStringLiteral("Lab_GetAuditTrail"), 1, 1, getAuditTrail, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_GetResultChangeNumbers"), 1, 1, getChangeNumbers,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_CheckUnchanged"), 2, 7, checkUnchanged});
    ProcedureRegistry::add(
        {QStringLiteral("Lab_CheckAuditTrail"), 0, 0, checkAuditTrail, ProcedureAccess::Reads});
}
