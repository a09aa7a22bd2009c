#include "ResultCheckSupport.h"
#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "platform/Clock.h"
#include "platform/CommandExcerpt.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

#include <QHash>
#include <QSysInfo>

namespace {
// Empty text, never Null: the audit's columns hold text.
QString notNull(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}
} // namespace

namespace ProcedureSupport {
QDateTime storedMoment(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.metaType().id() == QMetaType::QDateTime)
        return value.toDateTime();
    return DateText::parse(value.toString()).value_or(QDateTime());
}

bool ItemCheck::deltaExceeded() const
{
    return ResultFlags::deltaExceeded(value, limits, Clock::now());
}

namespace {
// The columns of the items' query in itemChecks, in its order.
struct Col {
    enum : int {
        ItemId,
        ExamName,
        Unit,
        Min,
        Max,
        CMin,
        CMax,
        CriticalLow,
        CriticalHigh,
        PlausibleLow,
        PlausibleHigh,
        DeltaLimit,
        DeltaPercent,
        DeltaDays,
        SavedRequest,
        Value,
        CalledTo,
        CalledAt,
        AcknowledgedBy,
        CorrectedFrom,
        SavedUnit,
        CUnit,
        Factor,
        CPrecision,
        Verified,
    };
};

// An item's limits and saved result as the query reads them.
ItemCheck itemCheckOf(const QVariantList& r)
{
    ItemCheck c;
    c.itemId = r[Col::ItemId].toString();
    c.examName = r[Col::ExamName].toString();
    c.unit = r[Col::Unit].toString();
    c.limits.min = optionalNumber(r[Col::Min]);
    c.limits.max = optionalNumber(r[Col::Max]);
    c.cMin = optionalNumber(r[Col::CMin]);
    c.cMax = optionalNumber(r[Col::CMax]);
    c.limits.criticalLow = optionalNumber(r[Col::CriticalLow]);
    c.limits.criticalHigh = optionalNumber(r[Col::CriticalHigh]);
    c.limits.plausibleLow = optionalNumber(r[Col::PlausibleLow]);
    c.limits.plausibleHigh = optionalNumber(r[Col::PlausibleHigh]);
    c.limits.deltaLimit = optionalNumber(r[Col::DeltaLimit]);
    c.limits.deltaPercent =
        r[Col::DeltaPercent].toString().trimmed().compare(u"Y", Qt::CaseInsensitive) == 0;
    c.limits.deltaDays = r[Col::DeltaDays].toInt();
    c.saved = !r[Col::SavedRequest].isNull();
    c.value = r[Col::Value].toString();
    c.calledTo = r[Col::CalledTo].toString();
    c.calledAt = storedMoment(r[Col::CalledAt]);
    c.acknowledgedBy = r[Col::AcknowledgedBy].toString();
    c.correctedFrom = r[Col::CorrectedFrom].toString();
    c.verified = r[Col::Verified].toString() == QLatin1String("Y");
    c.limits.unit = c.unit;
    c.limits.conventionalUnit = r[Col::CUnit].toString();
    c.limits.factor = optionalNumber(r[Col::Factor]);
    c.limits.conventionalDecimals = r[Col::CPrecision].toInt();
    return c;
}

// The patient's latest verified result of each item on another request
// made no later than this one, by lower-case item: item, value, unit,
// moment, request.
QHash<QString, QVariantList> previousResults(LabStore& store, const QString& requestNum)
{
    const ResultSet previous = store.query(
        QStringLiteral(
            "SELECT ItemID, Value, Unit, Moment, RequestNum FROM ("
            "SELECT p.ItemID, CASE p.ResultKind WHEN 'N' THEN p.SIResult ELSE p.PatientValue END "
            "AS Value, coalesce(nullif(p.SIUnit, ''), i.SIUnit, '') AS Unit, "
            "coalesce(h.ResultDate, p.VerifiedAt) AS Moment, p.RequestNum, "
            "row_number() OVER (PARTITION BY p.ItemID ORDER BY coalesce(h.ResultDate, "
            "p.VerifiedAt) DESC, p.RequestNum DESC) AS Latest "
            "FROM tbLabRequest cur "
            "JOIN tbLabRequest pr ON pr.HospNum = cur.HospNum AND pr.RequestNum <> cur.RequestNum "
            "AND pr.RequestDate <= cur.RequestDate "
            "JOIN tbLabResult p ON p.RequestNum = pr.RequestNum AND p.Verified = 'Y' "
            "LEFT JOIN tbLabResultHeader h ON h.RequestNum = p.RequestNum "
            "LEFT JOIN tbLabExamItem i ON i.ItemID = p.ItemID "
            "WHERE cur.RequestNum = ?) latest WHERE Latest = 1"),
        {requestNum});
    QHash<QString, QVariantList> before;
    for (const QVariantList& p : previous.rows)
        before.insert(p[0].toString().toLower(), p);
    return before;
}
} // namespace

QList<ItemCheck> itemChecks(LabStore& store, const QString& requestNum)
{
    // The exam's items in its order, then items saved outside it; each with
    // the saved result, when there is one.
    const ResultSet items = store.query(
        QStringLiteral(
            "SELECT i.ItemID, i.ExamName, i.SIUnit, i.SIMin, i.SIMax, i.\"CMin\", i.\"CMax\", "
            "i.CriticalLow, i.CriticalHigh, i.PlausibleLow, i.PlausibleHigh, i.DeltaLimit, "
            "i.DeltaPercent, i.DeltaDays, res.RequestNum, "
            "CASE res.ResultKind WHEN 'N' THEN res.SIResult ELSE res.PatientValue END, "
            "res.CriticalCalledTo, res.CriticalCalledAt, res.DeltaAcknowledgedBy, "
            "res.CorrectedFrom, coalesce(res.SIUnit, ''), i.CUnit, i.Factor, i.CPrecision, "
            "res.Verified "
            "FROM tbLabRequest r "
            "JOIN tbLabExamItem i ON i.ItemID IN (SELECT f.ItemID FROM tbLabExamFormat f "
            "WHERE f.Code = r.Code UNION SELECT x.ItemID FROM tbLabResult x "
            "WHERE x.RequestNum = r.RequestNum UNION SELECT r.Code) "
            "LEFT JOIN tbLabExamFormat fo ON fo.Code = r.Code AND fo.ItemID = i.ItemID "
            "LEFT JOIN tbLabResult res ON res.RequestNum = r.RequestNum AND res.ItemID = i.ItemID "
            "WHERE r.RequestNum = ? "
            "ORDER BY CASE WHEN fo.SortOrder IS NULL THEN 1 ELSE 0 END, fo.SortOrder, i.ItemID"),
        {requestNum});
    if (items.rows.isEmpty())
        return {};
    const QHash<QString, QVariantList> before = previousResults(store, requestNum);
    const PatientRanges ranges(store, requestNum);
    QList<ItemCheck> checks;
    for (const QVariantList& r : items.rows) {
        ItemCheck c = itemCheckOf(r);
        if (const auto range = ranges.of(c.itemId)) {
            c.limits.min = range->min;
            c.limits.max = range->max;
            ExamItem converting;
            converting.factor = c.limits.factor;
            std::tie(c.cMin, c.cMax) = PatientRanges::conventional(*range, converting);
        }
        if (c.saved && !r[Col::SavedUnit].toString().isEmpty())
            c.unit = r[Col::SavedUnit].toString();
        if (const auto p = before.constFind(c.itemId.toLower()); p != before.constEnd()) {
            c.limits.previous = p->at(1).toString();
            c.previousUnit = p->at(2).toString();
            c.limits.previousUnit = c.previousUnit;
            c.limits.previousAt = storedMoment(p->at(3));
            c.previousRequest = p->at(4).toString();
        }
        checks.append(c);
    }
    return checks;
}

ResultValue::Read acceptedValue(const QString& value, const ExamItem& item,
                                const QString& requestNum)
{
    QStringList own;
    for (const QString& label : {item.positiveLabel, item.negativeLabel})
        if (!label.trimmed().isEmpty())
            own.append(label.trimmed());
    const ResultValue::Read read = ResultValue::read(value, own, item.siMin && *item.siMin < 0);
    if (read.form == ResultValue::Form::Invalid)
        throw LisError(
            ErrNo::DbCommandFailed,
            QStringLiteral("The result of %1 on request %2 was not saved: %3")
                .arg(item.name, requestNum,
                     // the value as messages show what was sent
                     QString(read.refusal)
                         .replace(u'"' + value.trimmed() + u'"', commandExcerpt(value.trimmed()))
                         .replace(u'\n', u' ')));
    return read;
}

PriorResult priorResult(LabStore& store, const QString& requestNum, const QString& itemId)
{
    const ResultSet rs = store.query(
        QStringLiteral("SELECT CASE ResultKind WHEN 'N' THEN SIResult ELSE PatientValue END, "
                       "Verified, VerifiedBy, VerifiedAt FROM tbLabResult "
                       "WHERE RequestNum = ? AND ItemID = ?"),
        {requestNum, itemId});
    PriorResult p;
    if (rs.rows.isEmpty())
        return p;
    p.exists = true;
    p.value = rs.rows[0][0].toString();
    p.verified = rs.rows[0][1].toString() == QLatin1String("Y");
    p.verifiedBy = rs.rows[0][2].toString();
    p.verifiedAt = rs.rows[0][3];
    return p;
}

QString entryOnChange(const QString& valueColumn)
{
    const QString old = QStringLiteral("CASE tbLabResult.ResultKind WHEN 'N' THEN "
                                       "tbLabResult.SIResult ELSE tbLabResult.PatientValue END");
    const QString changed =
        QStringLiteral("trim(coalesce(%1, '')) <> trim(coalesce(excluded.%2, ''))")
            .arg(old, valueColumn);
    QStringList set;
    for (const QString& c :
         {QStringLiteral("EntryBy"), QStringLiteral("EntryAt"), QStringLiteral("EntrySource"),
          QStringLiteral("EntryInstrument"), QStringLiteral("EntrySample"),
          QStringLiteral("EntryWorkstation"), QStringLiteral("CriticalCalledTo"),
          QStringLiteral("CriticalCalledAt"), QStringLiteral("CriticalCalledBy"),
          QStringLiteral("DeltaAcknowledgedBy"), QStringLiteral("DeltaAcknowledgedAt")})
        set << QStringLiteral("%1 = CASE WHEN %2 THEN excluded.%1 ELSE tbLabResult.%1 END")
                   .arg(c, changed);
    set << QStringLiteral("CorrectedFrom = CASE WHEN %1 AND tbLabResult.Verified = 'Y' AND "
                          "trim(coalesce(%2, '')) <> '' THEN %2 ELSE tbLabResult.CorrectedFrom END")
               .arg(changed, old);
    return set.join(QStringLiteral(", "));
}

const QString& entryColumns()
{
    static const QString columns =
        QStringLiteral("EntryBy, EntryAt, EntrySource, EntryWorkstation");
    return columns;
}

QVariantList entryValues(const QString& employee)
{
    return {QStringLiteral("%1").arg(employee), now(), QStringLiteral("T"), workstation()};
}

QString workstation()
{
    return QSysInfo::machineHostName();
}

void audit(LabStore& store, const QString& requestNum, const QString& itemId, const QString& field,
           const QString& oldValue, const QString& newValue, const QString& by,
           const QString& where)
{
    // Written as the triggers write theirs: on a server only the
    // laboratory's own function may add to the trail.
    store.setAuditContext(by, where.trimmed().isEmpty() ? workstation() : where.trimmed(), now());
    store.addAuditRow(requestNum, itemId, field, notNull(oldValue), notNull(newValue));
}
} // namespace ProcedureSupport
