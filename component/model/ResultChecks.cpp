#include "ResultChecks.h"
#include "labrules/Numeric.h"
#include "labrules/ResultValue.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"

QString RowFlags::text() const
{
    QString t = si;
    if (conventionalShown && !(si.isEmpty() && conventional.isEmpty()))
        t = (si.isEmpty() ? QStringLiteral("-") : si) + QStringLiteral(" / ") +
            (conventional.isEmpty() ? QStringLiteral("-") : conventional);
    if (delta)
        t += t.isEmpty() ? QStringLiteral("D") : QStringLiteral(" D");
    return t;
}

void ResultChecks::load(Connection& db, const QString& request)
{
    const QString req = key(request);
    if (req.isEmpty() || m_requests.contains(req))
        return;
    Request& r = m_requests[req];
    std::unique_ptr<Recordset> rs;
    try {
        rs = db.openRecordset(
            CommandText::call(QStringLiteral("Lab_GetResultChecks"), {request.trimmed()}),
            CursorOptions::clientDynamic());
    } catch (const LisError&) {
        // A laboratory without the checks: the request is saved as before.
        return;
    }
    const auto number = [&](const char* column) {
        return numeric(rs->textOrEmpty(QLatin1String(column)));
    };
    for (; !rs->eof(); rs->moveNext()) {
        ItemChecks c;
        ItemLimits& l = c.limits;
        l.min = number("SIMin");
        l.max = number("SIMax");
        l.criticalLow = number("CriticalLow");
        l.criticalHigh = number("CriticalHigh");
        l.plausibleLow = number("PlausibleLow");
        l.plausibleHigh = number("PlausibleHigh");
        l.deltaLimit = number("DeltaLimit");
        l.deltaPercent = rs->textOrEmpty(QStringLiteral("DeltaPercent")).trimmed().toUpper() ==
                         QLatin1String("Y");
        l.deltaDays = int(number("DeltaDays").value_or(0));
        l.previous = rs->textOrEmpty(QStringLiteral("PrevResult")).trimmed();
        l.previousAt =
            DateText::parse(rs->textOrEmpty(QStringLiteral("PrevDate"))).value_or(QDateTime());
        c.cMin = number("CMin");
        c.cMax = number("CMax");
        c.previousUnit = rs->textOrEmpty(QStringLiteral("PrevUnit")).trimmed();
        l.previousUnit = c.previousUnit;
        l.unit = rs->textOrEmpty(QStringLiteral("Unit")).trimmed();
        l.conventionalUnit = rs->textOrEmpty(QStringLiteral("CUnit")).trimmed();
        l.factor = number("Factor");
        l.conventionalDecimals = int(number("CDecimals").value_or(-1));
        c.previousRequest = rs->textOrEmpty(QStringLiteral("PrevRequest")).trimmed();
        c.criticalCalledTo = rs->textOrEmpty(QStringLiteral("CriticalCalledTo")).trimmed();
        c.deltaAcknowledgedBy = rs->textOrEmpty(QStringLiteral("DeltaAcknowledgedBy")).trimmed();
        if (rs->textOrEmpty(QStringLiteral("Verified")) == QLatin1String("Y"))
            c.verifiedResult = rs->textOrEmpty(QStringLiteral("SavedResult"));
        if (l.criticalLow || l.criticalHigh || l.plausibleLow || l.plausibleHigh || l.deltaLimit)
            r.active = true;
        if (l.min || l.max || c.cMin || c.cMax || r.active)
            r.ranged = true;
        r.items.insert(key(rs->textOrEmpty(QStringLiteral("ItemID"))), c);
    }
}

std::optional<QString> ResultChecks::verifiedResult(const QString& request,
                                                    const QString& itemId) const
{
    const auto r = m_requests.constFind(key(request));
    if (r == m_requests.cend())
        return std::nullopt;
    const auto it = r->items.constFind(key(itemId));
    return it == r->items.cend() ? std::nullopt : it->verifiedResult;
}

bool ResultChecks::loaded(const QString& request) const
{
    return m_requests.contains(key(request));
}

bool ResultChecks::active(const QString& request) const
{
    const auto it = m_requests.constFind(key(request));
    return it != m_requests.cend() && it->active;
}

bool ResultChecks::anyActive() const
{
    for (const Request& r : m_requests)
        if (r.active)
            return true;
    return false;
}

bool ResultChecks::anyFlagged() const
{
    for (const Request& r : m_requests)
        if (r.ranged)
            return true;
    return false;
}

const ItemChecks* ResultChecks::flagged(const QString& request, const QString& itemId) const
{
    const auto r = m_requests.constFind(key(request));
    if (r == m_requests.cend())
        return nullptr;
    const auto it = r->items.constFind(key(itemId));
    return it == r->items.cend() ? nullptr : &*it;
}

const ItemChecks* ResultChecks::item(const QString& request, const QString& itemId) const
{
    const auto r = m_requests.constFind(key(request));
    if (r == m_requests.cend() || !r->active)
        return nullptr;
    const auto it = r->items.constFind(key(itemId));
    return it == r->items.cend() ? nullptr : &*it;
}

RowFlags ResultChecks::flags(const ItemChecks& checks, const QString& si,
                             const QString& conventional, const QDateTime& at)
{
    RowFlags f;
    f.si = ResultFlags::flag(si, checks.limits);
    if (ResultValue::read(conventional, {}, true).hasNumber()) {
        f.conventional =
            ResultFlags::conventionalFlag(conventional, checks.cMin, checks.cMax, checks.limits);
        f.conventionalShown = true;
    }
    f.delta = ResultFlags::deltaExceeded(si, checks.limits, at);
    return f;
}

QString ResultChecks::previousUnit(const ItemChecks& checks, const QString& unit)
{
    return checks.previousUnit.isEmpty() ? unit.trimmed() : checks.previousUnit;
}

QString ResultChecks::previousText(const ItemChecks& checks, const QString& unit)
{
    const ItemLimits& l = checks.limits;
    if (l.previous.isEmpty())
        return QString();
    QStringList parts{l.previous};
    if (const QString u = previousUnit(checks, unit); !u.isEmpty())
        parts << u;
    if (l.previousAt.isValid())
        parts << DateText::monthDayYear(l.previousAt.date());
    return parts.join(QLatin1Char(' '));
}

QString ResultChecks::deltaLimitText(const ItemChecks& checks, const QString& unit)
{
    const ItemLimits& l = checks.limits;
    if (!l.deltaLimit)
        return QString();
    const QString limit = numberText(*l.deltaLimit);
    if (l.deltaPercent)
        return limit + QLatin1Char('%');
    return unit.trimmed().isEmpty() ? limit : limit + QLatin1Char(' ') + unit.trimmed();
}

QString ResultChecks::plausibleText(const ItemLimits& l)
{
    if (l.plausibleLow && l.plausibleHigh)
        return numberText(*l.plausibleLow) + QStringLiteral(" - ") + numberText(*l.plausibleHigh);
    if (l.plausibleLow)
        return QStringLiteral("from ") + numberText(*l.plausibleLow);
    if (l.plausibleHigh)
        return QStringLiteral("up to ") + numberText(*l.plausibleHigh);
    return QString();
}
