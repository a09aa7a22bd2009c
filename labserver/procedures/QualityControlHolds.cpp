#include "QualityControl.h"
#include "labserver/LabStore.h"
#include "platform/DateText.h"

// The holds as results meet them: whether one may be verified, and what the
// windows mark.
namespace QualityControl {
namespace {
// The hold whose failed interval a result of the instrument and item
// measured then falls in: HoldID, RejectedAt, Rules, Level, ReleasedAt;
// empty when none.
QVariantList holdAt(LabStore& s, const QVariant& instrument, const QString& itemId,
                    const QVariant& measuredAt)
{
    if (measuredAt.isNull())
        return {};
    const QString at = DateText::storage(DateText::toDateTime(measuredAt));
    return s
        .query(QStringLiteral("SELECT HoldID, RejectedAt, Rules, Level, ReleasedAt FROM "
                              "tbLabQCHold WHERE InstrumentID = ? AND ItemID = ? AND "
                              "RejectedAt <= ? AND (AcceptedAt IS NULL OR AcceptedAt > ?) "
                              "ORDER BY RejectedAt DESC LIMIT 1"),
               {instrument, itemId, at, at})
        .rows.value(0);
}

// When a saved result taken over from an instrument was measured: its
// sample's latest result of the item. For a review before the save, the
// latest of the request's worklist samples may stand in.
QVariantList measuredOf(LabStore& s, const QString& requestNum, const QString& itemId,
                        bool orDownload = false)
{
    const QVariantList saved =
        s.query(QStringLiteral("SELECT r.EntryInstrument, max(d.Resultdate) FROM tbLabResult r "
                               "JOIN tbLabInstrumentExams x ON x.InstrumentID = "
                               "r.EntryInstrument AND x.ItemID = r.ItemID JOIN "
                               "tbLabInstrumentDLHemaResult d ON d.InstrumentID = "
                               "r.EntryInstrument AND d.SampleNum = r.EntrySample AND "
                               "d.InstrumentItem = x.InstrumentItem WHERE r.RequestNum = ? AND "
                               "r.ItemID = ? AND r.EntrySource = 'I' GROUP BY "
                               "r.EntryInstrument"),
                {requestNum, itemId})
            .rows.value(0);
    if (!saved.isEmpty() || !orDownload)
        return saved;
    const QVariantList downloaded =
        s.query(QStringLiteral("SELECT d.InstrumentID, max(d.Resultdate) FROM "
                               "tbLabInstrumentHemaWorkList w JOIN tbLabInstrumentDLHemaResult d "
                               "ON d.InstrumentID = w.InstrumentID AND d.SampleNum = "
                               "w.SampleNumber JOIN tbLabInstrumentExams x ON x.InstrumentID = "
                               "d.InstrumentID AND x.InstrumentItem = d.InstrumentItem WHERE "
                               "w.RequestNum = ? AND x.ItemID = ? GROUP BY d.InstrumentID"),
                {requestNum, itemId})
            .rows.value(0);
    return downloaded.value(1).isNull() ? QVariantList() : downloaded;
}

bool reviewed(LabStore& s, const QVariant& holdId, const QString& requestNum, const QString& itemId)
{
    return !s.query(QStringLiteral("SELECT 1 FROM tbLabQCReview WHERE HoldID = ? AND "
                                   "RequestNum = ? AND ItemID = ?"),
                    {holdId, requestNum, itemId})
                .rows.isEmpty();
}

// The mark of a result in a failed interval, empty once it is reviewed.
QString markOf(LabStore& s, const QVariantList& hold, const QString& requestNum,
               const QString& itemId)
{
    if (hold.isEmpty() || reviewed(s, hold[0], requestNum, itemId))
        return {};
    const QString mark = holdText(hold[1], hold[2].toString(), hold[3].toInt());
    return hold[4].isNull() ? mark : mark + QStringLiteral(" (released: review and confirm)");
}
} // namespace

QString holdOf(LabStore& s, const QString& requestNum, const QString& itemId, bool orDownload)
{
    const QVariantList m = measuredOf(s, requestNum, itemId, orDownload);
    const QVariantList h = m.isEmpty() ? QVariantList() : holdAt(s, m[0], itemId, m[1]);
    if (h.isEmpty() || reviewed(s, h[0], requestNum, itemId))
        return {};
    const QString mark = holdText(h[1], h[2].toString(), h[3].toInt());
    if (h[4].isNull())
        return QStringLiteral("is held by quality control (%1): the control run failed. Run the "
                              "controls again until a run is accepted and record the corrective "
                              "action (lis-host qc action %2 %3 \"...\"), then review and "
                              "confirm this result before verifying it.")
            .arg(mark, m[0].toString(), itemId);
    return QStringLiteral("was measured while quality control was rejected (%1): review it "
                          "(rerun the sample if in doubt) and confirm it (lis-host qc confirm "
                          "%2 %3) before verifying it.")
        .arg(mark, requestNum, itemId);
}

QVariant heldBy(LabStore& s, const QString& requestNum, const QString& itemId)
{
    const QVariantList m = measuredOf(s, requestNum, itemId, true);
    const QVariantList h = m.isEmpty() ? QVariantList() : holdAt(s, m[0], itemId, m[1]);
    return h.isEmpty() ? QVariant() : h[0];
}

ResultSet holdMarks(LabStore& s, const QString& requestNum)
{
    // Saved results by where they were taken from; the rest by the
    // downloads of the request's worklist samples.
    const ResultSet found = s.query(
        QStringLiteral("SELECT r.ItemID, r.EntryInstrument, max(d.Resultdate) FROM tbLabResult r "
                       "JOIN tbLabInstrumentExams x ON x.InstrumentID = r.EntryInstrument AND "
                       "x.ItemID = r.ItemID JOIN tbLabInstrumentDLHemaResult d ON "
                       "d.InstrumentID = r.EntryInstrument AND d.SampleNum = r.EntrySample AND "
                       "d.InstrumentItem = x.InstrumentItem WHERE r.RequestNum = ? AND "
                       "r.EntrySource = 'I' GROUP BY r.ItemID, r.EntryInstrument "
                       "UNION ALL SELECT x.ItemID, d.InstrumentID, max(d.Resultdate) FROM "
                       "tbLabInstrumentHemaWorkList w JOIN tbLabInstrumentDLHemaResult d ON "
                       "d.InstrumentID = w.InstrumentID AND d.SampleNum = w.SampleNumber JOIN "
                       "tbLabInstrumentExams x ON x.InstrumentID = d.InstrumentID AND "
                       "x.InstrumentItem = d.InstrumentItem WHERE w.RequestNum = ? AND NOT "
                       "EXISTS (SELECT 1 FROM tbLabResult r WHERE r.RequestNum = w.RequestNum "
                       "AND r.ItemID = x.ItemID AND r.EntrySource = 'I') GROUP BY x.ItemID, "
                       "d.InstrumentID ORDER BY 1"),
        {requestNum, requestNum});
    ResultSet out{
        {QStringLiteral("ItemID"), QStringLiteral("QCHold"), QStringLiteral("InstrumentID")}, {}};
    for (const QVariantList& r : found.rows) {
        const QString mark =
            markOf(s, holdAt(s, r[1], r[0].toString(), r[2]), requestNum, r[0].toString());
        if (!mark.isEmpty())
            out.rows.append({r[0], mark, r[1]});
    }
    return out;
}
} // namespace QualityControl
