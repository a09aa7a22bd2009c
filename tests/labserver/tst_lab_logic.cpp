#include "labrules/LabLogic.h"
#include "labrules/ResultFlags.h"
#include "labrules/ResultValue.h"
#include "labrules/Westgard.h"

#include <QtTest>
#include <cmath>

using namespace Qt::StringLiterals;

using LabLogic::CutOffRule;
using LabLogic::Decimal;
using Westgard::Control;

namespace {
// "2.4" is level 1 of lot 1; "L2:2.4" level 2; "L1/7:2.4" level 1 of lot 7.
// The SD is 0.15, so every limit is met in decimals, not in binary.
QList<Control> controls(const QString& written)
{
    QList<Control> out;
    for (const QString& part : written.split(u' ', Qt::SkipEmptyParts)) {
        int level = 1;
        qint64 lot = 1;
        QString z = part;
        if (part.startsWith(u'L')) {
            const QString head = part.section(u':', 0, 0).mid(1);
            level = head.section(u'/', 0, 0).toInt();
            lot = head.contains(u'/') ? head.section(u'/', 1).toLongLong() : level;
            z = part.section(u':', 1);
        }
        const Decimal sd = *Decimal::parse(u"0.15"_s);
        out.append({level, lot, *Decimal::parse(z) * sd, sd});
    }
    return out;
}
} // namespace

// The laboratory's rules as pure functions: interpretation, figures, flags,
// decimals and quality control judgement.
class TstLabLogic : public QObject {
    Q_OBJECT
private slots:
    // value|cut-off|reactive at or above (>=) or at or below (<=)|grey zone|expected
    void interpretation_data()
    {
        QTest::addColumn<QString>("r");
        const auto row = [](const char* name, const char* r) { QTest::newRow(name) << QString(r); };
        row("at the cut-off is reactive", "1.00|1|>=|0|REACTIVE");
        row("just below", "0.99|1|>=|0|NON-REACTIVE");
        row("blanks around", " 3.2 |1|>=|0|REACTIVE");
        row("at or below: at", "1|1.0|<=|0|REACTIVE");
        row("at or below: just above", "1.01|1.0|<=|0|NON-REACTIVE");
        // Both edges of a grey zone are in it, whichever way the binary
        // doubles of the numbers fall.
        row("HIV zone, lower edge", "0.90|1.0|>=|0.1|EQUIVOCAL");
        row("HIV zone, upper edge", "1.10|1.0|>=|0.1|EQUIVOCAL");
        row("HIV zone, below it", "0.89|1.0|>=|0.1|NON-REACTIVE");
        row("HIV zone, above it", "1.11|1.0|>=|0.1|REACTIVE");
        row("Typhi zone, lower edge", "1.00|1.1|>=|0.1|EQUIVOCAL");
        row("Typhi zone, upper edge", "1.20|1.1|>=|0.1|EQUIVOCAL");
        row("at or below, lower edge", "0.80|1.0|<=|0.2|EQUIVOCAL");
        row("at or below, upper edge", "1.2|1.0|<=|0.2|EQUIVOCAL");
        row("at or below, below the zone", "0.79|1.0|<=|0.2|REACTIVE");
        row("at or below, above the zone", "1.21|1.0|<=|0.2|NON-REACTIVE");
        row("an exponent is no value", "12e-1|1.1|>=|0.1|12e-1");
        // A censored value by its bound, only where every value it stands
        // for falls on one side.
        row("censored far below", "<2.00|10|>=|0|NON-REACTIVE");
        row("censored up to the cut-off", "<10|10|>=|0|NON-REACTIVE");
        row("censored at most the cut-off", "<=10|10|>=|0|");
        row("censored across the cut-off", "<20|10|>=|0|");
        row("censored above", ">10|10|>=|0|REACTIVE");
        row("censored below the zone", "<0.9|1.0|>=|0.1|NON-REACTIVE");
        row("censored into the zone", "<1.0|1.0|>=|0.1|");
        row("more digits than a double holds", "1.0999999999999999999|1.0|>=|0.1|EQUIVOCAL");
        row("negative value", "-0.5|1|>=|0.1|NON-REACTIVE");
        row("text stays text", "HEMOLYSED|1|>=|0|HEMOLYSED");
        row("comma decimal is no number", "1,5|1|>=|0|1,5");
        row("empty stays empty", "|1|>=|0|");
    }
    void interpretation()
    {
        QFETCH(QString, r);
        const QStringList f = r.split(u'|');
        const bool atOrAbove = f[2] == u">=";
        const CutOffRule rule{*Decimal::parse(f[1]), atOrAbove, u"REACTIVE"_s, u"NON-REACTIVE"_s,
                              *Decimal::parse(f[3])};
        QCOMPARE(LabLogic::interpret(f[0], rule), f[4]);
        // A cut-off read from a REAL column decides the same.
        const CutOffRule stored{Decimal(f[1].toDouble()), atOrAbove, u"REACTIVE"_s,
                                u"NON-REACTIVE"_s, Decimal(f[3].toDouble())};
        QCOMPARE(LabLogic::interpret(f[0], stored), f[4]);
    }

    void figures_data()
    {
        QTest::addColumn<QString>("actual");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char* name, const QString& actual, const char* expected) {
            QTest::newRow(name) << actual << expected;
        };
        using LabLogic::fixed;
        using LabLogic::toConventional;
        row("half away from zero", fixed(2.25, 1), "2.3");
        row("negative half", fixed(-2.25, 1), "-2.3");
        row("half as written, below in binary", fixed(1.005, 2), "1.01");
        row("carry into a new place", fixed(9.995, 2), "10.00");
        row("no -0", fixed(-0.04, 1), "0.0");
        row("far below the last place", fixed(1e-7, 2), "0.00");
        row("large", fixed(123456789012.5, 0), "123456789013");
        row("glucose", toConventional(u"5.5"_s, 18.016, 0), "99");
        row("creatinine", toConventional(u"88"_s, 1 / 88.42, 2), "1.00");
        row("uric acid", toConventional(u"360"_s, 1 / 59.48, 1), "6.1");
        row("no number", toConventional(u"NULL"_s, 18.016, 0), "");
        row("no factor", toConventional(u"5.5"_s, std::nullopt, 0), "");
        row("range", LabLogic::range(3.9, 6.1, 1), "3.9 - 6.1");
        row("upper limit only", LabLogic::range(std::nullopt, 5.2, 2), "< 5.20");
        row("lower limit only", LabLogic::range(10.0, std::nullopt, 0), "> 10");
        row("no limits", LabLogic::range(std::nullopt, std::nullopt, 0), "");
        // The delta against a previous result: like with like, within its days.
        const QDateTime now(QDate(2024, 3, 7), QTime(15, 0));
        ItemLimits d;
        d.deltaLimit = 50;
        d.deltaPercent = true;
        d.deltaDays = 30;
        d.unit = u"mmol/L"_s;
        d.conventionalUnit = u"mg/dL"_s;
        d.factor = 18.016;
        d.previous = u"99"_s;
        d.previousUnit = u"mg/dL"_s;
        d.previousAt = now.addDays(-30);
        const auto delta = [&](const char* v) {
            return ResultFlags::deltaExceeded(v, d, now) ? u"D"_s : QString();
        };
        row("delta converted: same value", delta("5.5"), "");
        row("delta converted: just over half again", delta("8.3"), "D");
        d.previousAt = now.addDays(-31);
        row("delta past its days", delta("11.1"), "");
        d.previousAt = now.addDays(-30);
        d.previousUnit = u"g/L"_s;
        row("delta in an unknown unit", delta("11.1"), "");
        row("delta not compared, said", ResultFlags::deltaNotCompared(d),
            "The previous result is in g/L, which cannot be converted to mmol/L: not compared.");
        // Decimals read by hand and by the general reader alike.
        row("written with signs and zeros", Decimal::parse(u" -0012.3400"_s)->text(), "-12.34");
        row("written with a plus", Decimal::parse(u"+5"_s)->text(), "5");
        row("a small double", Decimal(-1.5e-7).text(), "-0.00000015");
        row("a large double", Decimal(1e20).text(), "100000000000000000000");
        row("more digits than any double", ResultValue::read(QString(400, u'9')).refusal.left(11),
            "The result ");
    }
    // A stored REAL becomes the decimal it was written as, whichever
    // reader makes it.
    void doublesReadBackAsWritten()
    {
        QRandomGenerator random(7);
        for (int i = 0; i < 5000; ++i) {
            const double v = std::ldexp(random.generateDouble() - 0.5, random.bounded(-60, 60));
            const QString t = QLocale::c().toString(v, 'g', QLocale::FloatingPointShortest);
            QVERIFY2(Decimal(v) == *Decimal::parse(t), qPrintable(t + " " + Decimal(v).text()));
        }
    }
    void figures()
    {
        QFETCH(QString, actual);
        QFETCH(QString, expected);
        QCOMPARE(actual, expected);
    }

    // Westgard judgement as the laboratory applies it to every control
    // result: z-scores in, the rules each member of a run breaks and its
    // verdict out.
    // history: earlier controls, oldest first; run: this run's members in
    // order; rejecting: the item's rules ("" the default five); expected:
    // each member's "verdict rules".
    void judgement_data()
    {
        QTest::addColumn<QStringList>("r"); // history, run, rejecting, expected...
        const auto row = [](const char* name, const char* history, const char* run,
                            const QStringList& expected, const char* rejecting = "") {
            QTest::newRow(name) << QStringList{history, run, rejecting} + expected;
        };
        const QString a = "accepted ";
        row("in control", "0.5 L2:-0.3", "0.4 L2:0.2", {a, a});
        row("exactly 2 SD is within", "", "2 L2:-2", {a, a});
        row("1-2s warns", "", "2.01 L2:0.5", {"warning 1-2s", a});
        row("exactly 3 SD only warns", "", "3", {"warning 1-2s"});
        row("2-2s within the run marks both levels", "", "2.4 L2:2.6",
            {"rejected 1-2s,2-2s", "rejected 1-2s,2-2s"});
        row("2-2s needs both beyond 2 SD", "", "2.4 L2:1.9", {"warning 1-2s", a});
        row("2-2s across runs per level", "L2:0.1 2.2", "2.1", {"rejected 1-2s,2-2s"});
        row("2-2s across runs needs the same side", "L2:0.1 -2.2", "2.1", {"warning 1-2s"});
        row("2-2s across runs not across a lot change", "L1/5:2.2", "L1/6:2.1", {"warning 1-2s"});
        row("R-4s within the run", "", "2.1 L2:-2.0", {"rejected 1-2s,R-4s", "rejected R-4s"});
        row("a range of exactly 4 SD is no R-4s", "", "1.9 L2:-2.1", {a, "warning 1-2s"});
        row("4-1s across levels and runs", "1.2 L2:1.1 1.5", "L2:1.3", {"rejected 4-1s"});
        row("three beyond 1 SD are no 4-1s", "0.5 L2:1.2 1.1", "L2:1.5", {a});
        row("4-1s broken by one within 1 SD", "1.2 L2:0.9 1.5", "L2:1.3", {a});
        row("10-x", "0.1 L2:0.4 0.2 L2:0.3 0.5 L2:0.2 0.1 L2:0.6 0.3", "L2:0.2", {"rejected 10-x"});
        row("nine on one side are no 10-x", "0.4 0.2 L2:0.3 0.5 L2:0.2 0.1 L2:0.6 0.3", "L2:0.2",
            {a});
        row("10-x stops at a lot change",
            "L1/5:0.1 L2:0.4 L1/5:0.2 L2:0.3 L1/6:0.5 L2:0.2 L1/6:0.1 L2:0.6 L1/6:0.3", "L2:0.2",
            {a});
        row("a zero breaks 10-x", "0.1 L2:0.4 0.2 L2:0 0.5 L2:0.2 0.1 L2:0.6 0.3", "L2:0.2", {a});
        row("rules combined", "L2:-1.5 -1.2 L2:-2.3", "-3.1 L2:-2.2",
            {"rejected 1-2s,1-3s,2-2s,4-1s", "rejected 1-2s,2-2s,4-1s"});
        row("an item's own rules: 2-2s only warns", "", "2.4 L2:2.6",
            {"warning 1-2s,2-2s", "warning 1-2s,2-2s"}, "1-3s,R-4s");
        row("an item's own rules: 1-2s rejects", "", "2.01", {"rejected 1-2s"}, "1-2s,1-3s");
    }
    void judgement()
    {
        QFETCH(QStringList, r);
        const QStringList expected = r.mid(3);
        const auto judged = Westgard::judgeRun(controls(r[0]), controls(r[1]),
                                               r[2].isEmpty() ? Westgard::defaultRejecting()
                                                              : *Westgard::parseRules(r[2]));
        QStringList got;
        for (const Westgard::Judgement& j : judged)
            got << Westgard::name(j.verdict) + ' ' + Westgard::names(j.broken);
        QCOMPARE(got, expected);
        QCOMPARE(Westgard::runVerdict(judged), expected.join(' ').contains("rejected")
                                                   ? Westgard::Verdict::Rejected
                                                   : Westgard::Verdict::Accepted);
    }

    void rulesAndLotsAreNamedAsTheLaboratoryWritesThem()
    {
        QCOMPARE(Westgard::names(*Westgard::parseRules("r-4s,1-3S,2-2s")), "1-3s,2-2s,R-4s");
        QVERIFY(
            !Westgard::expired(QDate(2026, 12, 7), QDateTime(QDate(2026, 12, 7), QTime(23, 59))));
        QVERIFY(Westgard::expired(QDate(2026, 12, 7), QDateTime(QDate(2026, 12, 8), QTime(0, 0))));
    }
};

QTEST_GUILESS_MAIN(TstLabLogic)
#include "tst_lab_logic.moc"
