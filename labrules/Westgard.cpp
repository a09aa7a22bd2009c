#include "Westgard.h"

#include <QHash>
#include <QStringList>
#include <algorithm>
#include <cmath>

using LabLogic::Decimal;

namespace Westgard {
namespace {
constexpr Rule kAll[] = {Rule::W12s, Rule::R13s, Rule::R22s, Rule::RR4s, Rule::R41s, Rule::R10x};

int sign(const Control& c)
{
    const Decimal zero;
    return c.deviation > zero ? 1 : c.deviation < zero ? -1 : 0;
}

// The side the control is beyond k SD on: +1 above, -1 below, 0 within.
int beyond(const Control& c, int k)
{
    const Decimal limit = c.sd * Decimal(double(k));
    return c.deviation > limit ? 1 : c.deviation < Decimal() - limit ? -1 : 0;
}

// z(a) - z(b) > 4, without dividing: d_a * sd_b - d_b * sd_a > 4 sd_a sd_b.
bool rangeOver4(const Control& a, const Control& b)
{
    const Decimal spread = a.deviation * b.sd - b.deviation * a.sd;
    return (spread.abs() > Decimal(4.0) * a.sd * b.sd);
}

void add(QList<Rule>& rules, Rule r)
{
    if (!rules.contains(r))
        rules << r;
}
} // namespace

double Control::z() const
{
    // Shown and charted, never compared: four decimals say all there is.
    return std::round(deviation.text().toDouble() / sd.text().toDouble() * 1e4) / 1e4;
}

QString name(Rule rule)
{
    switch (rule) {
    case Rule::W12s:
        return QStringLiteral("1-2s");
    case Rule::R13s:
        return QStringLiteral("1-3s");
    case Rule::R22s:
        return QStringLiteral("2-2s");
    case Rule::RR4s:
        return QStringLiteral("R-4s");
    case Rule::R41s:
        return QStringLiteral("4-1s");
    case Rule::R10x:
        return QStringLiteral("10-x");
    }
    return {};
}

std::optional<Rule> rule(const QString& text)
{
    for (Rule r : kAll)
        if (name(r).compare(text.trimmed(), Qt::CaseInsensitive) == 0)
            return r;
    return std::nullopt;
}

QString name(Verdict verdict)
{
    switch (verdict) {
    case Verdict::Accepted:
        return QStringLiteral("accepted");
    case Verdict::Warning:
        return QStringLiteral("warning");
    case Verdict::Rejected:
        return QStringLiteral("rejected");
    }
    return {};
}

QString names(const QList<Rule>& rules)
{
    QStringList out;
    for (Rule r : kAll)
        if (rules.contains(r))
            out << name(r);
    // Never a null text: stored, "no rule" is empty, not Null.
    return out.isEmpty() ? QStringLiteral("") : out.join(QLatin1Char(','));
}

QList<Rule> defaultRejecting()
{
    return {Rule::R13s, Rule::R22s, Rule::RR4s, Rule::R41s, Rule::R10x};
}

std::optional<QList<Rule>> parseRules(const QString& list, QString* unknown)
{
    QList<Rule> rules;
    for (const QString& part : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const auto r = rule(part);
        if (!r) {
            if (unknown)
                *unknown = part.trimmed();
            return std::nullopt;
        }
        add(rules, *r);
    }
    return rules;
}

bool expired(const QDate& expiry, const QDateTime& measuredAt)
{
    return measuredAt.date() > expiry;
}

namespace {
// The history the rules across runs may read: back to the first lot change
// of any level.
QList<Control> sinceLotChange(const QList<Control>& history, const QList<Control>& run)
{
    QHash<int, qint64> lotOf;
    for (const Control& c : run)
        lotOf.insert(c.level, c.lot);
    qsizetype from = history.size();
    while (from > 0) {
        const Control& c = history[from - 1];
        if (lotOf.contains(c.level) && lotOf.value(c.level) != c.lot)
            break;
        lotOf.insert(c.level, c.lot);
        --from;
    }
    return history.mid(from);
}

// The rules run[i] breaks; sequence holds the controls before it, of all
// levels, and gains it.
QList<Rule> brokenBy(const QList<Control>& run, qsizetype i, QList<Control>& sequence)
{
    const Control& c = run[i];
    QList<Rule> broken;
    const int side2 = beyond(c, 2);
    if (side2 != 0)
        add(broken, Rule::W12s);
    if (beyond(c, 3) != 0)
        add(broken, Rule::R13s);
    // Within the run, across levels: both members are marked.
    for (qsizetype j = 0; j < run.size(); ++j) {
        if (j == i)
            continue;
        if (side2 != 0 && beyond(run[j], 2) == side2)
            add(broken, Rule::R22s);
        if (rangeOver4(c, run[j]))
            add(broken, Rule::RR4s);
    }
    // Across runs, per level: the level's previous control.
    const auto previous = std::find_if(sequence.crbegin(), sequence.crend(),
                                       [&](const Control& p) { return p.level == c.level; });
    if (side2 != 0 && previous != sequence.crend() && beyond(*previous, 2) == side2)
        add(broken, Rule::R22s);
    // Consecutive controls of all levels, ending with this one.
    sequence << c;
    const auto sameSide = [&](qsizetype n, auto side) {
        if (sequence.size() < n)
            return false;
        const int s = side(sequence.last());
        return s != 0 && std::all_of(sequence.cend() - n, sequence.cend(),
                                     [&](const Control& p) { return side(p) == s; });
    };
    if (sameSide(4, [](const Control& p) { return beyond(p, 1); }))
        add(broken, Rule::R41s);
    if (sameSide(10, [](const Control& p) { return sign(p); }))
        add(broken, Rule::R10x);
    return broken;
}
} // namespace

QList<Judgement> judgeRun(const QList<Control>& history, const QList<Control>& run,
                          const QList<Rule>& rejecting)
{
    QList<Control> sequence = sinceLotChange(history, run);
    QList<Judgement> out(run.size());
    for (qsizetype i = 0; i < run.size(); ++i)
        out[i].broken = brokenBy(run, i, sequence);
    for (Judgement& j : out) {
        std::sort(j.broken.begin(), j.broken.end());
        const bool rejects = std::any_of(j.broken.cbegin(), j.broken.cend(),
                                         [&](Rule r) { return rejecting.contains(r); });
        j.verdict = rejects              ? Verdict::Rejected
                    : j.broken.isEmpty() ? Verdict::Accepted
                                         : Verdict::Warning;
    }
    return out;
}

Verdict runVerdict(const QList<Judgement>& run)
{
    return std::any_of(run.cbegin(), run.cend(),
                       [](const Judgement& j) { return j.verdict == Verdict::Rejected; })
               ? Verdict::Rejected
               : Verdict::Accepted;
}
} // namespace Westgard
