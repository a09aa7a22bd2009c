#include "ProcedureSupport.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/CommandExcerpt.h"
#include "platform/DateText.h"

namespace ProcedureSupport {

QString now()
{
    return DateText::storage(Clock::now());
}

QVariant stored(const QDateTime& moment)
{
    return moment.isValid() ? QVariant(DateText::storage(moment)) : QVariant();
}

QString required(const ProcedureContext& ctx, int argument, const QString& name)
{
    const QString v = ctx.key(argument);
    if (v.trimmed().isEmpty())
        ctx.fail(QStringLiteral("argument %1 (%2) must not be empty.").arg(argument + 1).arg(name));
    return v;
}

QString existingRequest(const ProcedureContext& ctx, int argument)
{
    const QString req = required(ctx, argument, QStringLiteral("@RequestNum"));
    // A writer holds its request from here on: saves of one request follow
    // each other, saves of different ones do not wait.
    ctx.store().lock(LabStore::Lock::Request, req);
    const ResultSet rs = ctx.store().queryOnce(
        QStringLiteral("SELECT 1 FROM tbLabRequest WHERE RequestNum = ?"), {req});
    if (rs.rows.isEmpty())
        ctx.fail(QStringLiteral("request %1 does not exist.").arg(commandExcerpt(req)));
    return req;
}

QVariantList dayRange(const QDateTime& day)
{
    const QDate d = day.date();
    return {DateText::storage(QDateTime(d, QTime(0, 0))),
            DateText::storage(QDateTime(d.addDays(1), QTime(0, 0)))};
}

std::optional<double> optionalNumber(const QVariant& v)
{
    if (v.isNull())
        return std::nullopt;
    return v.toDouble();
}

QString ExamItem::siNormal() const
{
    if (!normalValues.isEmpty())
        return normalValues;
    return LabLogic::range(siMin, siMax, siDecimals);
}

std::optional<double> ExamItem::conventional(std::optional<double> si) const
{
    if (!si || !factor)
        return std::nullopt;
    return *si * *factor;
}

QString ExamItem::interpret(const QString& value, std::optional<double> given) const
{
    const std::optional<double> c = given ? given : cutOff;
    if (!c)
        return value;
    LabLogic::CutOffRule rule;
    rule.cutOff = *c;
    rule.reactiveAtOrAbove = reactiveAtOrAbove;
    rule.positiveLabel = positiveLabel;
    rule.negativeLabel = negativeLabel;
    rule.greyZone = greyZone;
    return LabLogic::interpret(value, rule);
}

ResultSet savedCutOffResults(LabStore& store, const QString& requestNum)
{
    return store.query(
        QStringLiteral("SELECT ItemID, ExamName, PatientValue, Result, RequestNum, CutOffValue, "
                       "Remarks FROM tbLabResult WHERE RequestNum = ? AND ResultKind = 'C' "
                       "ORDER BY RowNo, ItemID"),
        {requestNum});
}

const QString& examItemColumns(const QString& alias)
{
    static QHash<QString, QString> lists;
    auto it = lists.find(alias);
    if (it == lists.end()) {
        QStringList columns{"ItemID",        "ExamName",      "ItemFormType", "SIUnit",
                            "SIMin",         "SIMax",         "SIPrecision",  "CUnit",
                            "Factor",        "CPrecision",    "CutOff",       "ReactiveAtOrAbove",
                            "PositiveLabel", "NegativeLabel", "GreyZone",     "NormalValues"};
        if (!alias.isEmpty())
            for (QString& c : columns)
                c.prepend(alias + QLatin1Char('.'));
        it = lists.insert(alias, columns.join(QStringLiteral(", ")));
    }
    return it.value();
}

std::optional<ExamItem> examItemAt(const QVariantList& r, int first)
{
    if (r.value(first).isNull())
        return std::nullopt;
    ExamItem i;
    i.id = r[first].toString();
    i.name = r[first + 1].toString();
    i.formType = r[first + 2].toString();
    i.siUnit = r[first + 3].toString();
    i.siMin = optionalNumber(r[first + 4]);
    i.siMax = optionalNumber(r[first + 5]);
    i.siDecimals = r[first + 6].toInt();
    i.cUnit = r[first + 7].toString();
    i.factor = optionalNumber(r[first + 8]);
    i.cDecimals = r[first + 9].toInt();
    i.cutOff = optionalNumber(r[first + 10]);
    i.reactiveAtOrAbove = r[first + 11].toInt() != 0;
    i.positiveLabel = r[first + 12].toString();
    i.negativeLabel = r[first + 13].toString();
    i.greyZone = r[first + 14].toDouble();
    i.normalValues = r[first + 15].toString();
    return i;
}

std::optional<ExamItem> examItem(LabStore& store, const QString& itemId)
{
    const ResultSet rs = store.queryOnce(QStringLiteral("SELECT ") + examItemColumns() +
                                             QStringLiteral(" FROM tbLabExamItem WHERE ItemID = ?"),
                                         {itemId});
    return rs.rows.isEmpty() ? std::nullopt : examItemAt(rs.rows.first(), 0);
}

ExamItem existingExamItem(const ProcedureContext& ctx, int argument)
{
    const QString id = required(ctx, argument, QStringLiteral("@ItemID"));
    auto item = examItem(ctx.store(), id);
    if (!item)
        ctx.fail(QStringLiteral("exam item %1 does not exist.").arg(commandExcerpt(id)));
    return *item;
}

const std::optional<ExamItem>& ItemCache::operator[](const QString& id)
{
    auto it = m_items.find(id.toLower());
    if (it == m_items.end())
        it = m_items.insert(id.toLower(), examItem(m_store, id));
    return it.value();
}

QString amendmentReason(const ProcedureContext& ctx, int argument)
{
    return argument < ctx.count() ? ctx.text(argument).trimmed() : QString();
}

PatientRanges::PatientRanges(LabStore& store, const QString& requestNum)
{
    const ResultSet patient = store.query(
        QStringLiteral("SELECT p.Sex, p.BirthDate, r.RequestDate FROM tbLabRequest r "
                       "JOIN tbPatient p ON p.HospNum = r.HospNum WHERE r.RequestNum = ?"),
        {requestNum});
    if (!patient.rows.isEmpty()) {
        const QVariantList& p = patient.rows.first();
        m_sex = p[0].toString();
        const auto day = [](const QVariant& v) {
            if (v.isNull())
                return QDate();
            if (v.metaType().id() == QMetaType::QDateTime)
                return v.toDateTime().date();
            return DateText::parse(v.toString()).value_or(QDateTime()).date();
        };
        m_ageDays = ReferenceRanges::ageInDays(day(p[1]), day(p[2]));
    }
    const ResultSet ranges = store.query(
        QStringLiteral("SELECT ItemID, Sex, AgeFromDays, AgeToDays, SIMin, SIMax, ConvMin, ConvMax "
                       "FROM tbLabReferenceRange"));
    for (const QVariantList& r : ranges.rows) {
        ReferenceRange range;
        range.sex = r[1].toString();
        range.ageFromDays = r[2].toInt();
        if (!r[3].isNull())
            range.ageToDays = r[3].toInt();
        range.min = optionalNumber(r[4]);
        range.max = optionalNumber(r[5]);
        range.conventionalMin = optionalNumber(r[6]);
        range.conventionalMax = optionalNumber(r[7]);
        m_ranges[r[0].toString().toLower()].append(range);
    }
}

std::optional<ReferenceRange> PatientRanges::of(const QString& itemId) const
{
    const auto it = m_ranges.constFind(itemId.toLower());
    if (it == m_ranges.constEnd())
        return std::nullopt;
    return ReferenceRanges::applicable(*it, m_sex, m_ageDays);
}

ExamItem PatientRanges::applied(ExamItem item) const
{
    if (const auto range = of(item.id)) {
        item.siMin = range->min;
        item.siMax = range->max;
        item.normalValues.clear(); // the range is what is printed
    }
    return item;
}

std::pair<std::optional<double>, std::optional<double>>
PatientRanges::conventional(const ReferenceRange& range, const ExamItem& item)
{
    if (range.conventionalMin || range.conventionalMax)
        return {range.conventionalMin, range.conventionalMax};
    return {item.conventional(range.min), item.conventional(range.max)};
}
} // namespace ProcedureSupport
