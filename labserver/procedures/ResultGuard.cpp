#include "ResultGuard.h"
#include "labserver/LabStore.h"
#include "labserver/procedures/QualityControl.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "platform/Clock.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"

#include <QHash>
#include <QSet>
#include <algorithm>

using namespace ProcedureSupport;

namespace {
[[noreturn]] void refuse(const QString& why)
{
    throw LisError(ErrNo::DbCommandFailed, why);
}

} // namespace

namespace ResultGuard {
void requireKnownEmployee(LabStore& s, const QString& employee, const QString& what)
{
    if (s.query(QStringLiteral("SELECT 1 FROM tbLabStaff WHERE StaffID = ?"), {employee.trimmed()})
            .rows.isEmpty())
        refuse(QStringLiteral("The employee code %1 is not known to the laboratory: %2 was not "
                              "recorded.")
                   .arg(commandExcerpt(employee.trimmed()), what));
}

void requireVerifier(LabStore& s, const QString& employee, const QString& requestNum)
{
    const QString who = employee.trimmed();
    const ResultSet rs =
        s.query(QStringLiteral("SELECT Role FROM tbLabStaff WHERE StaffID = ?"), {who});
    if (rs.rows.isEmpty())
        refuse(QStringLiteral("The employee code %1 is not known to the laboratory: the results "
                              "of %2 were not verified.")
                   .arg(commandExcerpt(who), requestNum));
    const QString role = rs.rows[0][0].toString().trimmed();
    if (role.compare(u"Medical Technologist", Qt::CaseInsensitive) != 0 &&
        role.compare(u"Pathologist", Qt::CaseInsensitive) != 0)
        refuse(QStringLiteral("%1 (%2) may not verify results: the results of %3 were not "
                              "verified. A medical technologist or pathologist verifies them.")
                   .arg(commandExcerpt(who), role.isEmpty() ? QStringLiteral("no role") : role,
                        requestNum));
}

bool separateVerifier(LabStore& s)
{
    return s.query(QStringLiteral("SELECT Value FROM tbLabOption WHERE Name = 'SeparateVerifier'"))
               .rows.value(0)
               .value(0)
               .toString()
               .trimmed()
               .compare(u"Y", Qt::CaseInsensitive) == 0;
}

namespace {
// This transaction's audit rows are the unsealed ones its procedures wrote:
// the results it verified, each as it now stands. Found from those few rows
// first, then their requests' results, so a laboratory's years of verified
// results are never read.
ResultSet verifiedNow(LabStore& s)
{
    // In the order of the unsealed rows' own index: a DISTINCT here lets
    // SQLite walk the whole trail by request instead.
    const ResultSet marked = s.query(QStringLiteral(
        "SELECT RequestNum, ItemID FROM tbLabResultAudit WHERE Hash IS NULL AND Note = '' AND "
        "Field = 'Verified' AND NewValue = 'Y' ORDER BY AuditID"));
    if (marked.rows.isEmpty())
        return {};
    QSet<QString> wanted;
    QVariantList requests;
    for (const QVariantList& m : marked.rows) {
        const QString req = m[0].toString().toLower();
        if (!std::any_of(requests.cbegin(), requests.cend(),
                         [&](const QVariant& r) { return r.toString() == req; }))
            requests << req;
        wanted.insert(req + QLatin1Char('|') + m[1].toString().toLower());
    }
    ResultSet verified = s.query(
        QStringLiteral("SELECT r.RequestNum, r.ItemID, r.ExamName, coalesce(r.VerifiedBy, ''), "
                       "coalesce(r.EntryBy, ''), CASE r.ResultKind WHEN 'N' THEN r.SIResult "
                       "ELSE r.PatientValue END FROM tbLabResult r WHERE r.Verified = 'Y' AND "
                       "r.RequestNum IN (%1) ORDER BY r.RequestNum, r.RowNo, r.ItemID")
            .arg(QStringList(requests.size(), QStringLiteral("?")).join(QStringLiteral(", "))),
        requests);
    verified.rows.removeIf([&](const QVariantList& r) {
        return !wanted.contains(r[0].toString().toLower() + QLatin1Char('|') +
                                r[1].toString().toLower());
    });
    return verified;
}

// Who verified each result, its value and its quality control; returns the
// items verified now, by request.
QHash<QString, QSet<QString>> checkVerifiers(LabStore& s, const ResultSet& verified)
{
    const bool separate = separateVerifier(s);
    QSet<QString> verifiers;
    QHash<QString, QSet<QString>> items; // request -> items verified now
    for (const QVariantList& row : verified.rows) {
        const QString req = row[0].toString();
        const QString by = row[3].toString().trimmed();
        if (!verifiers.contains(by.toLower())) {
            requireVerifier(s, by, req);
            verifiers.insert(by.toLower());
        }
        if (row[5].toString().trimmed().isEmpty())
            refuse(QStringLiteral("%1 on request %2 has no result: a result without a value is "
                                  "never verified.")
                       .arg(row[2].toString(), req));
        if (separate && by.compare(row[4].toString().trimmed(), Qt::CaseInsensitive) == 0)
            refuse(QStringLiteral("%1 entered the result of %2 on request %3: the laboratory has "
                                  "another medical technologist verify it.")
                       .arg(by, row[2].toString(), req));
        items[req].insert(row[1].toString().toLower());
        // A result of a rejected control run's interval waits for quality control.
        if (const QString held = QualityControl::holdOf(s, req, row[1].toString()); !held.isEmpty())
            refuse(QStringLiteral("%1 on request %2 %3").arg(row[2].toString(), req, held));
    }
    return items;
}

// A critical result is called before it is verified, a delta acknowledged.
void checkCalledAndAcknowledged(LabStore& s, const QHash<QString, QSet<QString>>& items)
{
    for (auto it = items.cbegin(); it != items.cend(); ++it) {
        const QString& req = it.key();
        for (const ItemCheck& c : itemChecks(s, req)) {
            if (!it.value().contains(c.itemId.toLower()))
                continue;
            if (ResultFlags::isCritical(c.flag()) && c.calledTo.trimmed().isEmpty())
                refuse(QStringLiteral("The critical result %1 %2 (%3) of %4 on request %5 has "
                                      "not been reported: record to whom it was called before "
                                      "verifying.")
                           .arg(c.value, c.unit, c.flag(), c.examName, req));
            if (c.deltaExceeded() && c.acknowledgedBy.trimmed().isEmpty())
                refuse(
                    QStringLiteral("The result %1 %2 of %3 on request %4 differs from the "
                                   "previous result %5 %6 by more than its delta limit: "
                                   "acknowledge it before verifying.")
                        .arg(c.value, c.unit, c.examName, req, c.limits.previous, c.previousUnit));
        }
    }
}
} // namespace

void checkVerified(LabStore& s)
{
    const ResultSet verified = verifiedNow(s);
    if (verified.rows.isEmpty())
        return;
    checkCalledAndAcknowledged(s, checkVerifiers(s, verified));
}
} // namespace ResultGuard
