// Westgard judgement as the laboratory applies it to every control result:
// z-scores in, the rules each member of a run breaks and its verdict out.
#include "labrules/Westgard.h"

#include <QtTest>

using LabLogic::Decimal;
using Westgard::Control;

namespace {
// "2.4" is level 1 of lot 1; "L2:2.4" level 2; "L1/7:2.4" level 1 of lot 7.
// The SD is 0.15, so every limit is met in decimals, not in binary.
QList<Control> controls(const QString& written)
{
    QList<Control> out;
    for (const QString& part : written.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        int level = 1;
        qint64 lot = 1;
        QString z = part;
        if (part.startsWith(QLatin1Char('L'))) {
            const QString head = part.section(QLatin1Char(':'), 0, 0).mid(1);
            level = head.section(QLatin1Char('/'), 0, 0).toInt();
            lot = head.contains(QLatin1Char('/')) ? head.section(QLatin1Char('/'), 1).toLongLong()
                                                  : level;
            z = part.section(QLatin1Char(':'), 1);
        }
        const Decimal sd = *Decimal::parse(QStringLiteral("0.15"));
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
        const QString none;
        QTest::newRow("in control")
            << "0.5 L2:-0.3"
            << "0.4 L2:0.2" << none << QStringList{"accepted ", "accepted "};
        QTest::newRow("exactly 2 SD is within")
            << none << "2 L2:-2" << none << QStringList{"accepted ", "accepted "};
        QTest::newRow("1-2s warns")
            << none << "2.01 L2:0.5" << none << QStringList{"warning 1-2s", "accepted "};
        QTest::newRow("1-3s") << none << "-3.2" << none << QStringList{"rejected 1-2s,1-3s"};
        QTest::newRow("exactly 3 SD only warns")
            << none << "3" << none << QStringList{"warning 1-2s"};
        QTest::newRow("2-2s within the run marks both levels")
            << none << "2.4 L2:2.6" << none
            << QStringList{"rejected 1-2s,2-2s", "rejected 1-2s,2-2s"};
        QTest::newRow("2-2s needs both beyond 2 SD")
            << none << "2.4 L2:1.9" << none << QStringList{"warning 1-2s", "accepted "};
        QTest::newRow("2-2s across runs per level")
            << "L2:0.1 2.2"
            << "2.1" << none << QStringList{"rejected 1-2s,2-2s"};
        QTest::newRow("2-2s across runs not across a lot change")
            << "L1/5:2.2"
            << "L1/6:2.1" << none << QStringList{"warning 1-2s"};
        QTest::newRow("R-4s within the run")
            << none << "2.1 L2:-2.0" << none << QStringList{"rejected 1-2s,R-4s", "rejected R-4s"};
        QTest::newRow("a range of exactly 4 SD is no R-4s")
            << none << "1.9 L2:-2.1" << none << QStringList{"accepted ", "warning 1-2s"};
        QTest::newRow("4-1s across levels and runs")
            << "1.2 L2:1.1 1.5"
            << "L2:1.3" << none << QStringList{"rejected 4-1s"};
        QTest::newRow("4-1s broken by one within 1 SD")
            << "1.2 L2:0.9 1.5"
            << "L2:1.3" << none << QStringList{"accepted "};
        QTest::newRow("10-x") << "0.1 L2:0.4 0.2 L2:0.3 0.5 L2:0.2 0.1 L2:0.6 0.3"
                              << "L2:0.2" << none << QStringList{"rejected 10-x"};
        QTest::newRow("10-x stops at a lot change")
            << "L1/5:0.1 L2:0.4 L1/5:0.2 L2:0.3 L1/6:0.5 L2:0.2 L1/6:0.1 L2:0.6 L1/6:0.3"
            << "L2:0.2" << none << QStringList{"accepted "};
        QTest::newRow("a zero breaks 10-x") << "0.1 L2:0.4 0.2 L2:0 0.5 L2:0.2 0.1 L2:0.6 0.3"
                                            << "L2:0.2" << none << QStringList{"accepted "};
        QTest::newRow("rules combined")
            << "L2:-1.5 -1.2 L2:-2.3"
            << "-3.1 L2:-2.2" << none
            << QStringList{"rejected 1-2s,1-3s,2-2s,4-1s", "rejected 1-2s,2-2s,4-1s"};
        QTest::newRow("an item's own rules: 2-2s only warns")
            << none << "2.4 L2:2.6"
            << "1-3s,R-4s" << QStringList{"warning 1-2s,2-2s", "warning 1-2s,2-2s"};
        QTest::newRow("an item's own rules: 1-2s rejects")
            << none << "2.01"
            << "1-2s,1-3s" << QStringList{"rejected 1-2s"};
    }
    void judgement()
    {
        QFETCH(QString, history);
        QFETCH(QString, run);
        QFETCH(QString, rejecting);
        QFETCH(QStringList, expected);
        const QList<Westgard::Rule> rules =
            rejecting.isEmpty() ? Westgard::defaultRejecting() : *Westgard::parseRules(rejecting);
        QStringList got;
        for (const Westgard::Judgement& j :
             Westgard::judgeRun(controls(history), controls(run), rules))
            got << Westgard::name(j.verdict) + ' ' + Westgard::names(j.broken);
        QCOMPARE(got, expected);
        const bool rejected = expected.join(' ').contains("rejected");
        QCOMPARE(Westgard::runVerdict(Westgard::judgeRun(controls(history), controls(run), rules)),
                 rejected ? Westgard::Verdict::Rejected : Westgard::Verdict::Accepted);
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
