// Westgard judgement as the laboratory applies it to every control result:
// z-scores in, the rules each member of a run breaks and its verdict out.
#include "labrules/Westgard.h"

#include <QtTest>

using namespace Qt::StringLiterals;

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

class TstWestgard : public QObject {
    Q_OBJECT
private slots:
    // history: earlier controls, oldest first; run: this run's members in
    // order; rejecting: the item's rules ("" the default five); expected:
    // each member's "verdict rules".
    void judgement_data()
    {
        QTest::addColumn<QString>("history");
        QTest::addColumn<QString>("run");
        QTest::addColumn<QString>("rejecting");
        QTest::addColumn<QStringList>("expected");
        const auto row = [](const char* name, const char* history, const char* run,
                            const QStringList& expected, const char* rejecting = "") {
            QTest::newRow(name) << history << run << rejecting << expected;
        };
        const QString a = "accepted ";
        row("in control", "0.5 L2:-0.3", "0.4 L2:0.2", {a, a});
        row("exactly 2 SD is within", "", "2 L2:-2", {a, a});
        row("1-2s warns", "", "2.01 L2:0.5", {"warning 1-2s", a});
        row("1-3s", "", "-3.2", {"rejected 1-2s,1-3s"});
        row("exactly 3 SD only warns", "", "3", {"warning 1-2s"});
        row("2-2s within the run marks both levels", "", "2.4 L2:2.6",
            {"rejected 1-2s,2-2s", "rejected 1-2s,2-2s"});
        row("2-2s needs both beyond 2 SD", "", "2.4 L2:1.9", {"warning 1-2s", a});
        row("2-2s across runs per level", "L2:0.1 2.2", "2.1", {"rejected 1-2s,2-2s"});
        row("2-2s across runs not across a lot change", "L1/5:2.2", "L1/6:2.1", {"warning 1-2s"});
        row("R-4s within the run", "", "2.1 L2:-2.0", {"rejected 1-2s,R-4s", "rejected R-4s"});
        row("a range of exactly 4 SD is no R-4s", "", "1.9 L2:-2.1", {a, "warning 1-2s"});
        row("4-1s across levels and runs", "1.2 L2:1.1 1.5", "L2:1.3", {"rejected 4-1s"});
        row("4-1s broken by one within 1 SD", "1.2 L2:0.9 1.5", "L2:1.3", {a});
        row("10-x", "0.1 L2:0.4 0.2 L2:0.3 0.5 L2:0.2 0.1 L2:0.6 0.3", "L2:0.2", {"rejected 10-x"});
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
        QFETCH(QString, history);
        QFETCH(QString, run);
        QFETCH(QString, rejecting);
        QFETCH(QStringList, expected);
        const QList<Westgard::Rule> rules =
            rejecting.isEmpty() ? Westgard::defaultRejecting() : *Westgard::parseRules(rejecting);
        const auto judged = Westgard::judgeRun(controls(history), controls(run), rules);
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
        QString unknown;
        QVERIFY(!Westgard::parseRules("1-3s, 2-3s", &unknown));
        QCOMPARE(unknown, "2-3s");
        QCOMPARE(Westgard::names(*Westgard::parseRules("r-4s,1-3S,2-2s")), "1-3s,2-2s,R-4s");
        QVERIFY(
            !Westgard::expired(QDate(2026, 12, 7), QDateTime(QDate(2026, 12, 7), QTime(23, 59))));
        QVERIFY(Westgard::expired(QDate(2026, 12, 7), QDateTime(QDate(2026, 12, 8), QTime(0, 0))));
    }
};

QTEST_GUILESS_MAIN(TstWestgard)
#include "tst_westgard.moc"
