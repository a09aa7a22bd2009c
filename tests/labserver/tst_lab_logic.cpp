#include "LabLogic.h"

#include <QtTest>

using LabLogic::CutOffRule;

class TstLabLogic : public QObject {
    Q_OBJECT
private slots:
    void interpretation_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("atOrAbove");
        QTest::addColumn<double>("greyZone");
        QTest::addColumn<QString>("expected"); // against a cut-off of 1
        QTest::newRow("at the cut-off is reactive") << "1.00" << true << 0.0 << "REACTIVE";
        QTest::newRow("above") << " 3.2 " << true << 0.0 << "REACTIVE";
        QTest::newRow("inside the grey zone, below") << "0.85" << true << 0.2 << "EQUIVOCAL";
        QTest::newRow("grey zone edge") << "1.2" << true << 0.2 << "EQUIVOCAL";
        QTest::newRow("just past the grey zone") << "1.21" << true << 0.2 << "REACTIVE";
        QTest::newRow("at or below: at") << "1" << false << 0.0 << "REACTIVE";
        QTest::newRow("at or below: above") << "2.1" << false << 0.0 << "NON-REACTIVE";
        QTest::newRow("text stays text") << "HEMOLYSED" << true << 0.0 << "HEMOLYSED";
        QTest::newRow("comma decimal is no number") << "1,5" << true << 0.0 << "1,5";
        QTest::newRow("empty stays empty") << "" << true << 0.0 << "";
    }
    void interpretation()
    {
        QFETCH(QString, value);
        QFETCH(bool, atOrAbove);
        QFETCH(double, greyZone);
        QFETCH(QString, expected);
        CutOffRule rule{1.0, atOrAbove, QStringLiteral("REACTIVE"), QStringLiteral("NON-REACTIVE"),
                        greyZone};
        QCOMPARE(LabLogic::interpret(value, rule), expected);
    }

    void conversionAndRanges()
    {
        QCOMPARE(LabLogic::toConventional(QStringLiteral("5.5"), 18.016, 0), QStringLiteral("99"));
        QCOMPARE(LabLogic::toConventional(QStringLiteral("97"), 0.0113, 2), QStringLiteral("1.10"));
        QCOMPARE(LabLogic::toConventional(QStringLiteral("NULL"), 18.016, 0), QString());
        QCOMPARE(LabLogic::toConventional(QStringLiteral("5.5"), std::nullopt, 0), QString());
        QCOMPARE(LabLogic::fixed(2.25, 1), QStringLiteral("2.3")); // half away from zero
        QCOMPARE(LabLogic::fixed(-0.04, 1), QStringLiteral("0.0"));
        QCOMPARE(LabLogic::range(3.9, 6.1, 1), QStringLiteral("3.9 - 6.1"));
        QCOMPARE(LabLogic::range(std::nullopt, 5.2, 2), QStringLiteral("< 5.20"));
        QCOMPARE(LabLogic::range(10.0, std::nullopt, 0), QStringLiteral("> 10"));
        QCOMPARE(LabLogic::range(std::nullopt, std::nullopt, 0), QString());
    }
};

QTEST_GUILESS_MAIN(TstLabLogic)
#include "tst_lab_logic.moc"
