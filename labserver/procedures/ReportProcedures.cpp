#include "labserver/LabStore.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "platform/DateText.h"

#include <QHash>

using namespace ProcedureSupport;

namespace {
// Staff names by code; a code the laboratory does not know stays a code.
class StaffNames {
public:
    explicit StaffNames(LabStore& store)
    {
        for (const QVariantList& r :
             store.query(QStringLiteral("SELECT StaffID, StaffName FROM tbLabStaff")).rows)
            m_names.insert(r[0].toString().trimmed().toLower(), r[1].toString());
    }
    QString operator()(const QString& code) const
    {
        return m_names.value(code.trimmed().toLower(), code.trimmed());
    }

private:
    QHash<QString, QString> m_names;
};

QString timeOf(const QDateTime& moment)
{
    return moment.isValid() ? DateText::general(moment) : QString();
}

// A verified result replaced by another value, as the audit trail recorded
// it: what was reported before, when it was released and to whom it was
// called, and who changed it, when and why.
struct Amendment {
    QString itemId;
    QString before;
    QString after;
    QDateTime at;
    QString by;
    QString reason;
    QDateTime replacedRelease; // the request's last release before
    QString call;              // "Dr. X at <stored moment>", empty: none
};

QList<Amendment> amendmentsOf(LabStore& store, const QString& req)
{
    struct State {
        bool verified = false;
        QString call;
    };
    QHash<QString, State> items;
    QDateTime released;
    QList<Amendment> found;
    const ResultSet trail = store.query(
        QStringLiteral("SELECT ItemID, Field, OldValue, NewValue, ChangedBy, ChangedAt, Note "
                       "FROM tbLabResultAudit WHERE RequestNum = ? AND ItemID <> '' "
                       "ORDER BY AuditID"),
        {req});
    for (const QVariantList& r : trail.rows) {
        State& item = items[r[0].toString().toLower()];
        const QString field = r[1].toString();
        const QString after = r[3].toString();
        const QDateTime at = storedMoment(r[5]);
        // A row's fields are audited in a fixed order, the value first: at
        // its row the result still stands as it was released.
        if (field == QLatin1String("Result")) {
            if (item.verified && !r[2].toString().trimmed().isEmpty())
                found.append({r[0].toString(), r[2].toString(), after, at, r[4].toString(),
                              r[6].toString(), released, item.call});
        } else if (field == QLatin1String("Verified")) {
            item.verified = after == QLatin1String("Y");
            if (item.verified && (!released.isValid() || at > released))
                released = at;
        } else if (field == QLatin1String("Verified by") && !after.trimmed().isEmpty()) {
            item.verified = true;
            if (!released.isValid() || at > released)
                released = at;
        } else if (field == QLatin1String("Critical call") && !after.trimmed().isEmpty()) {
            item.call = after;
        }
    }
    return found;
}

// "Dr. Ramon Cruz at 3/7/2024 1:51:00 PM" from the audit's "who at when".
QString callText(const QString& call)
{
    const qsizetype at = call.lastIndexOf(QStringLiteral(" at "));
    if (at < 0)
        return call;
    const auto moment = DateText::parse(call.mid(at + 4));
    return call.left(at) + QStringLiteral(" at ") +
           (moment ? DateText::general(*moment) : call.mid(at + 4));
}

// A value typed as NULL prints as a dash.
QString printed(const QString& value)
{
    return ResultValue::read(value, {}, true).form == ResultValue::Form::Null ? QStringLiteral("-")
                                                                              : value;
}

// What the report states of its results besides them: who entered and who
// verified them, when they were released, whether the pathologist signed,
// and whether it amends an earlier report.
void addSignOff(LabStore& store, const QString& req, ResultSet& rs)
{
    const StaffNames names(store);
    const ResultSet results = store.query(
        QStringLiteral("SELECT coalesce(nullif(EntryBy, ''), EnteredBy), Verified, VerifiedBy, "
                       "VerifiedAt FROM tbLabResult WHERE RequestNum = ? ORDER BY RowNo, ItemID"),
        {req});
    QStringList entered, verifiers;
    QDateTime released;
    bool allVerified = !results.rows.isEmpty();
    for (const QVariantList& r : results.rows) {
        const QString by = names(r[0].toString());
        if (!by.isEmpty() && !entered.contains(by))
            entered << by;
        if (r[1].toString() != QLatin1String("Y")) {
            allVerified = false;
            continue;
        }
        const QString verifier = r[2].toString().trimmed();
        if (!verifier.isEmpty() && !verifiers.contains(verifier, Qt::CaseInsensitive))
            verifiers << verifier;
        const QDateTime at = storedMoment(r[3]);
        if (at.isValid() && (!released.isValid() || at > released))
            released = at;
    }
    const ResultSet pathologist = store.query(
        QStringLiteral("SELECT e.PathologistID FROM tbLabRequest r JOIN tbLabExam e ON e.Code = "
                       "r.Code WHERE r.RequestNum = ?"),
        {req});
    const QString pathologistId = pathologist.rows.value(0).value(0).toString().trimmed();
    const bool signedByPathologist =
        !pathologistId.isEmpty() && verifiers.contains(pathologistId, Qt::CaseInsensitive);
    QStringList verifierNames;
    for (const QString& v : verifiers)
        verifierNames << names(v);
    const QList<Amendment> amended = amendmentsOf(store, req);

    rs.columns << QStringLiteral("Age") << QStringLiteral("PerformedBy")
               << QStringLiteral("ReleasedBy") << QStringLiteral("ReleasedAt")
               << QStringLiteral("PathologistSigned") << QStringLiteral("PathologistNamed")
               << QStringLiteral("Amended") << QStringLiteral("LaterCopy");
    for (QVariantList& row : rs.rows) {
        const int birth = int(rs.columns.indexOf(QStringLiteral("BirthDate")));
        const int requested = int(rs.columns.indexOf(QStringLiteral("RequestDate")));
        const QString name = pathologistId.isEmpty() ? QString() : names(pathologistId);
        row << ReferenceRanges::ageText(
                   DateText::parse(row[birth].toString()).value_or(QDateTime()).date(),
                   DateText::parse(row[requested].toString()).value_or(QDateTime()).date())
            << entered.join(QStringLiteral("; ")) << verifierNames.join(QStringLiteral("; "))
            << (released.isValid()
                    ? timeOf(released) + (allVerified ? QString() : QStringLiteral(" (in part)"))
                    : QStringLiteral("not yet verified"))
            << (signedByPathologist ? name : QString())
            << (signedByPathologist || name.isEmpty() ? QString()
                                                      : QStringLiteral("Pathologist: ") + name)
            << (amended.isEmpty() ? QString() : QStringLiteral("AMENDED REPORT"))
            << (amended.isEmpty() ? QStringLiteral("reprint") : QStringLiteral("amended"));
    }
}

// The request, its patient and its saved result header, as a report's
// header block prints them. Names of staff instead of their codes.
ResultSet reportRequest(ProcedureContext& ctx)
{
    const QString req = ctx.key(0);
    ResultSet rs = ctx.store().query(
        QStringLiteral(
            "SELECT r.RequestNum, r.RefNum, p.HospNum, "
            "p.LastName || ', ' || p.FirstName || CASE WHEN p.MiddleName <> '' THEN ' ' || "
            "p.MiddleName ELSE '' END AS PatientName, p.Sex, p.BirthDate, "
            "coalesce(a.Ward, '') AS Ward, coalesce(a.RoomId, '') AS RoomId, r.Doctor, "
            "r.RequestDate, e.ExamName, coalesce(s.LabSection, '') AS LabSection, "
            "coalesce(sp.Specimen, '') AS Specimen, coalesce(pa.StaffName, '') AS Pathologist, "
            "coalesce(h.AccessionNum, '') AS AccessionNum, h.SampleSubmitted, h.ResultDate, "
            "coalesce(h.Remarks, '') AS Remarks, "
            "coalesce(en.StaffName, h.EnteredBy, lb.EmployeeCode, '') AS EnteredBy, "
            "coalesce(ve.StaffName, h.VerifiedBy, '') AS VerifiedBy, h.VerifiedAt "
            "FROM tbLabRequest r JOIN tbPatient p ON p.HospNum = r.HospNum "
            "JOIN tbLabExam e ON e.Code = r.Code "
            "LEFT JOIN tbAdmission a ON a.IDNum = r.IDNum "
            "LEFT JOIN tbLabSection s ON s.SectionID = e.SectionID "
            "LEFT JOIN tbLabSpecimen sp ON sp.SpecimenId = e.SpecimenId "
            "LEFT JOIN tbLabStaff pa ON pa.StaffID = e.PathologistID "
            "LEFT JOIN tbLabResultHeader h ON h.RequestNum = r.RequestNum "
            "LEFT JOIN (SELECT RequestNum, EmployeeCode FROM tbLabLogbook "
            "           WHERE RequestNum = ? ORDER BY LogbookID LIMIT 1) lb "
            "       ON lb.RequestNum = r.RequestNum "
            "LEFT JOIN tbLabStaff en ON en.StaffID = coalesce(nullif(h.EnteredBy, ''), "
            "lb.EmployeeCode) "
            "LEFT JOIN tbLabStaff ve ON ve.StaffID = h.VerifiedBy "
            "WHERE r.RequestNum = ?"),
        {req, req},
        {QStringLiteral("BirthDate"), QStringLiteral("RequestDate"),
         QStringLiteral("SampleSubmitted"), QStringLiteral("ResultDate"),
         QStringLiteral("VerifiedAt")});
    addSignOff(ctx.store(), req, rs);
    return rs;
}

// What the result window is shown for the request: reports print the same
// results, interpretations and conventional values.
ResultSet shownResults(ProcedureContext& ctx, const QString& procedure)
{
    ProcedureContext shown(ctx.store(), procedure, {ctx.key(0)});
    return ProcedureRegistry::find(procedure)->body(shown);
}

// The saved cut-off results with their interpretation and unit; the cut-off
// printed is the one they were read against.
ResultSet reportCutOffResults(ProcedureContext& ctx)
{
    const ResultSet shown = shownResults(ctx, QStringLiteral("Lab_GetResultWithCutOff"));
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Value"),
                  QStringLiteral("Result"),   QStringLiteral("Unit"),
                  QStringLiteral("CutOff"),   QStringLiteral("NormalValue")};
    ItemCache items(ctx.store());
    const PatientRanges ranges(ctx.store(), ctx.key(0));
    for (const QVariantList& r : shown.rows) {
        // ItemID, ExamName, PatientValue, result, RequestNum, CutOffValue
        const auto& item = items[r[0].toString()];
        std::optional<LabLogic::Decimal> cutOff = LabLogic::Decimal::parse(r[5].toString());
        if (!cutOff && item && item->cutOff)
            cutOff = LabLogic::Decimal(*item->cutOff);
        rs.rows.append({r[1], printed(r[2].toString()), printed(r[3].toString()),
                        item ? item->siUnit : QString(), cutOff ? cutOff->text(1) : QString(),
                        item ? ranges.applied(*item).siNormal() : QString()});
    }
    return rs;
}

// The saved normal-value results in one unit system: 'SI' or 'C'. Each
// table flags the value it prints against its own range: the SI result
// against the SI limits and the critical ones (LL, HH), the conventional
// result against the conventional limits and the critical ones converted.
ResultSet reportNormalValues(ProcedureContext& ctx, bool si)
{
    const ResultSet shown =
        shownResults(ctx, QStringLiteral("Lab_FormMaker_GetResult_ReagentValues"));
    QHash<QString, ItemLimits> limits;
    for (const ItemCheck& c : itemChecks(ctx.store(), ctx.key(0)))
        limits.insert(c.itemId.toLower(), c.limits);
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Result"), QStringLiteral("Unit"),
                  QStringLiteral("NormalValues"), QStringLiteral("Flag")};
    for (const QVariantList& r : shown.rows) {
        // RequestNum, ExamCode, ExamName, sResult, sNValues, sUnit, sMin, sMax,
        // CResult, cNValues, CUnit, CMin, CMax, Factor, FormType
        const auto text = [&r](int c) { return r[c].toString(); };
        ItemLimits l = limits.value(text(1).toLower());
        l.min = LabLogic::number(text(6));
        l.max = LabLogic::number(text(7));
        l.factor = LabLogic::number(text(13));
        const QString flag = si ? ResultFlags::flag(text(3), l)
                                : ResultFlags::conventionalFlag(text(8), LabLogic::number(text(11)),
                                                                LabLogic::number(text(12)), l);
        if (si)
            rs.rows.append({text(2), printed(text(3)), text(5), text(4), flag});
        else
            rs.rows.append({text(2), printed(text(8)), text(10), text(9), flag});
    }
    return rs;
}

// What a report says beside the results: each critical result with to whom
// it was called, and each verified result corrected since with what was
// reported before, when, and the call it had; the call stays printed.
ResultSet reportResultNotes(ProcedureContext& ctx)
{
    ResultSet rs;
    rs.columns = {QStringLiteral("ExamName"), QStringLiteral("Note")};
    const QList<Amendment> amended = amendmentsOf(ctx.store(), ctx.key(0));
    ItemCache items(ctx.store());
    for (const ItemCheck& c : itemChecks(ctx.store(), ctx.key(0))) {
        if (!c.saved)
            continue;
        const QString flag = c.flag();
        if (ResultFlags::isCritical(flag))
            rs.rows.append(
                {c.examName,
                 c.calledTo.isEmpty()
                     ? QStringLiteral("%1 %2 %3 critical: not yet reported")
                           .arg(c.value, c.unit, flag)
                     : QStringLiteral("%1 %2 %3 critical: reported to %4 at %5")
                           .arg(c.value, c.unit, flag, c.calledTo, DateText::general(c.calledAt))});
        const auto& item = items[c.itemId];
        for (const Amendment& a : amended) {
            if (a.itemId.compare(c.itemId, Qt::CaseInsensitive) != 0)
                continue;
            // What the earlier value meant: its flag, or its interpretation.
            const QString meaning = item && item->cutOff ? item->interpret(a.before)
                                                         : ResultFlags::flag(a.before, c.limits);
            QString note = QStringLiteral("previously reported %1").arg(printed(a.before));
            if (!c.unit.isEmpty() && !(item && item->cutOff))
                note += QLatin1Char(' ') + c.unit;
            if (!meaning.isEmpty() && meaning != a.before)
                note += QLatin1Char(' ') + meaning;
            if (a.replacedRelease.isValid())
                note += QStringLiteral(" at ") + timeOf(a.replacedRelease);
            note += QStringLiteral("; corrected at %1").arg(timeOf(a.at));
            rs.rows.append({c.examName, note});
            if (!a.call.isEmpty())
                rs.rows.append({c.examName, QStringLiteral("%1 called to %2; value since corrected")
                                                .arg(printed(a.before), callText(a.call))});
        }
    }
    return rs;
}

// Each correction of a verified result: when, by whom, why, and the report
// it replaces. Empty for a request never amended.
ResultSet reportAmendments(ProcedureContext& ctx)
{
    ResultSet rs;
    rs.columns = {QStringLiteral("AmendedAt"), QStringLiteral("AmendedBy"),
                  QStringLiteral("Reason"), QStringLiteral("Replaces")};
    const StaffNames names(ctx.store());
    for (const Amendment& a : amendmentsOf(ctx.store(), ctx.key(0))) {
        const QVariantList row = {
            timeOf(a.at), names(a.by),
            a.reason.trimmed().isEmpty() ? QStringLiteral("not given") : a.reason,
            a.replacedRelease.isValid()
                ? QStringLiteral("report released %1").arg(timeOf(a.replacedRelease))
                : QString()};
        if (!rs.rows.contains(row)) // one save correcting several results
            rs.rows.append(row);
    }
    return rs;
}
} // namespace

void registerReportProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("Lab_Report_Request"), 1, 1, reportRequest, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_CutOffResults"), 1, 2, reportCutOffResults,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_SIUnits"), 1, 1,
                            [](ProcedureContext& c) { return reportNormalValues(c, true); },
                            ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_ResultNotes"), 1, 1, reportResultNotes,
                            ProcedureAccess::Reads});
    ProcedureRegistry::add(
        {QStringLiteral("Lab_Report_Amendments"), 1, 1, reportAmendments, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_Report_ConventionalUnits"), 1, 1,
                            [](ProcedureContext& c) { return reportNormalValues(c, false); },
                            ProcedureAccess::Reads});
}
