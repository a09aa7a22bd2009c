#include "QcChartData.h"
#include "labrules/LabLogic.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Recordset.h"

#include <QHash>
#include <QRegularExpression>
#include <cmath>

using LabLogic::Decimal;

namespace {
Decimal unitOf(int decimals)
{
    return *Decimal::parse(QStringLiteral("1e-%1").arg(decimals));
}

double approx(const Decimal& d)
{
    return LabLogic::number(d.text()).value_or(0);
}

// num / den rounded half away from zero to the decimals; den > 0. The
// double quotient is only the first guess: the answer q is the one with
// den * (q - half) <= |num| < den * (q + half), checked exactly.
Decimal roundedQuotient(const Decimal& num, const Decimal& den, int decimals)
{
    const Decimal u = unitOf(decimals);
    const Decimal half = u * Decimal(0.5);
    const Decimal a = num.abs();
    Decimal q = *Decimal::parse(Decimal(approx(a) / approx(den)).fixed(decimals));
    while (den * (q + half) <= a)
        q = q + u;
    while (q > Decimal() && den * (q - half) > a)
        q = q - u;
    return num < Decimal() ? Decimal() - q : q;
}

// sqrt(num / den) rounded half away from zero; num >= 0, den > 0.
Decimal roundedRoot(const Decimal& num, const Decimal& den, int decimals)
{
    const Decimal u = unitOf(decimals);
    const Decimal half = u * Decimal(0.5);
    const auto square = [](const Decimal& x) { return x * x; };
    Decimal r = *Decimal::parse(Decimal(std::sqrt(approx(num) / approx(den))).fixed(decimals));
    while (den * square(r + half) <= num)
        r = r + u;
    while (r > Decimal() && den * square(r - half) > num)
        r = r - u;
    return r;
}

int decimalsOf(const QString& written)
{
    const QString t = written.trimmed();
    const qsizetype dot = t.indexOf(QLatin1Char('.'));
    return dot < 0 ? 0 : int(t.size() - dot - 1);
}

QString numberText(const QVariant& v)
{
    return v.isNull() ? QString() : Decimal(v.toDouble()).text();
}
} // namespace

QcStatistics QcStatistics::of(const QStringList& values)
{
    // One decimal more than the values are written with, as control
    // summaries are read; CV to one decimal.
    int decimals = 0;
    Decimal sum, squares;
    int n = 0;
    for (const QString& v : values) {
        const std::optional<Decimal> d = Decimal::parse(v);
        if (!d)
            continue;
        decimals = std::max(decimals, decimalsOf(v));
        sum = sum + *d;
        squares = squares + *d * *d;
        ++n;
    }
    QcStatistics s;
    if (n == 0)
        return s;
    const Decimal count{double(n)};
    s.mean = roundedQuotient(sum, count, decimals + 1).fixed(decimals + 1);
    if (n < 2)
        return s;
    // n * sum of squares - sum^2 is exact in decimals, so the variance
    // suffers no cancellation however close the values lie.
    const Decimal spread = count * squares - sum * sum;
    const Decimal pairs = count * Decimal(double(n - 1));
    s.sd = roundedRoot(spread, pairs, decimals + 1).fixed(decimals + 1);
    if (!sum.isZero()) {
        // CV = 100 sqrt(spread / pairs) / |sum / n| = sqrt(10^4 n spread / ((n - 1) sum^2))
        s.cv = roundedRoot(Decimal(10000.0) * count * spread, Decimal(double(n - 1)) * sum * sum, 1)
                   .fixed(1);
    }
    return s;
}

namespace {
// Where sp_QCChartData's rows hold each field, found by name.
struct ChartColumns {
    int level, lotNo, material, mean, sd, unit, at, value, z, rules, verdict, item;
};

ChartColumns columnsOf(const ResultSet& rows)
{
    const auto column = [&](const char* name) {
        const int c = int(
            rows.columns.indexOf(QRegularExpression(QStringLiteral("^%1$").arg(QLatin1String(name)),
                                                    QRegularExpression::CaseInsensitiveOption)));
        if (c < 0)
            throw LisError(ErrNo::ItemNotFound,
                           QStringLiteral("Item cannot be found in the collection corresponding "
                                          "to the requested name or ordinal: %1")
                               .arg(QLatin1String(name)));
        return c;
    };
    // Braces read left to right: the first column missing is the one named.
    return {column("Level"),    column("LotNo"), column("Material"),   column("TargetMean"),
            column("TargetSD"), column("Unit"),  column("MeasuredAt"), column("Value"),
            column("ZScore"),   column("Rules"), column("Verdict"),    column("ItemName")};
}

// The level's lot of that number, added when it is the lot's first row.
QcLot& lotOf(QcLevel& level, const QString& lot)
{
    for (QcLot& k : level.lots)
        if (k.lotNo == lot)
            return k;
    level.lots.append(QcLot{lot, {}, {}, {}, {}, 0, 0, {}, {}, {}});
    return level.lots.last();
}

QcPoint pointOf(const QVariantList& row, const ChartColumns& c, const QString& lot)
{
    QcPoint p;
    const QVariant when = row.value(c.at);
    p.measuredAt = when.typeId() == QMetaType::QDateTime
                       ? when.toDateTime()
                       : DateText::parse(when.toString()).value_or(QDateTime());
    p.lotNo = lot;
    p.value = Recordset::toText(row.value(c.value)).trimmed();
    if (!row.value(c.z).isNull()) {
        p.z = row.value(c.z).toDouble();
    } else {
        // Placed by its targets when the laboratory gave no SD index.
        const auto v = LabLogic::number(p.value);
        const double s = row.value(c.sd).toDouble();
        if (v && s > 0 && !row.value(c.mean).isNull())
            p.z = (*v - row.value(c.mean).toDouble()) / s;
    }
    const QString broke = Recordset::toText(row.value(c.rules)).trimmed();
    if (!broke.isEmpty())
        p.rules = broke.split(QLatin1Char(','), Qt::SkipEmptyParts);
    p.verdict = Recordset::toText(row.value(c.verdict)).trimmed().toLower();
    return p;
}
} // namespace

QcChartData QcChartData::fromRows(const ResultSet& rows)
{
    const ChartColumns c = columnsOf(rows);
    QcChartData data;
    QHash<int, qsizetype> levelAt;
    QHash<QString, QStringList> valuesOf; // level and lot -> values not rejected
    for (const QVariantList& row : rows.rows) {
        const int l = row.value(c.level).toInt();
        if (!levelAt.contains(l)) {
            levelAt.insert(l, data.levels.size());
            data.levels.append(QcLevel{l, {}, {}});
        }
        QcLevel& lv = data.levels[levelAt.value(l)];
        const QString lot = Recordset::toText(row.value(c.lotNo));
        QcLot& kept = lotOf(lv, lot);
        // The lot's latest row states its targets.
        kept.material = Recordset::toText(row.value(c.material));
        kept.unit = Recordset::toText(row.value(c.unit));
        kept.targetMean = numberText(row.value(c.mean));
        kept.targetSd = numberText(row.value(c.sd));

        const QcPoint p = pointOf(row, c, lot);
        lv.points.append(p);
        ++kept.runs;
        if (p.verdict == QLatin1String("rejected"))
            ++kept.rejected;
        else
            valuesOf[QString::number(l) + QLatin1Char('\n') + lot].append(p.value);
        if (data.itemName.isEmpty())
            data.itemName = Recordset::toText(row.value(c.item));
    }
    for (QcLevel& lv : data.levels) {
        std::stable_sort(
            lv.points.begin(), lv.points.end(),
            [](const QcPoint& a, const QcPoint& b) { return a.measuredAt < b.measuredAt; });
        for (QcLot& lot : lv.lots) {
            const QcStatistics s = QcStatistics::of(
                valuesOf.value(QString::number(lv.level) + QLatin1Char('\n') + lot.lotNo));
            lot.mean = s.mean;
            lot.sd = s.sd;
            lot.cv = s.cv;
        }
    }
    std::sort(data.levels.begin(), data.levels.end(),
              [](const QcLevel& a, const QcLevel& b) { return a.level < b.level; });
    return data;
}
