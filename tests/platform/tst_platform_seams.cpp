#include "platform/DateText.h"

#include <QtTest>

class TstPlatformSeams : public QObject {
    Q_OBJECT
private slots:
    void dateTexts()
    {
        const QDateTime afternoon(QDate(2024, 3, 7), QTime(14, 5, 59));
        QCOMPARE(DateText::general(QDateTime(QDate(2024, 12, 25), QTime(0, 0))),
                 QStringLiteral("12/25/2024"));
        QCOMPARE(DateText::parse(QStringLiteral("2024-03-07 14:05:59")), afternoon);
        QCOMPARE(DateText::parse(QStringLiteral("3/7/2024 2:05:59 pm")), afternoon);
        QCOMPARE(DateText::parse(QStringLiteral("03/07/2024 02:05 PM")),
                 QDateTime(QDate(2024, 3, 7), QTime(14, 5)));
        QCOMPARE(DateText::parse(QStringLiteral("03/07/2024")),
                 QDateTime(QDate(2024, 3, 7), QTime(0, 0)));
        for (const char* bad : {"13/40/2024", "2/30/2024 1:00:00 PM", "3/7/2024 2:05:59 PM later"})
            QVERIFY2(!DateText::parse(QLatin1String(bad)), bad);
        // Every hour of the day is written as the C locale writes it and reads
        // back as written, midnight and noon included.
        for (int h = 0; h < 24; ++h) {
            const QDateTime at(QDate(2024, 11, 17), QTime(h, 3, 1));
            QCOMPARE(DateText::general(at),
                     QLocale::c().toString(at, QStringLiteral("M/d/yyyy h:mm:ss AP")));
            QCOMPARE(DateText::parse(DateText::general(at)), at);
        }
    }
};

QTEST_GUILESS_MAIN(TstPlatformSeams)
#include "tst_platform_seams.moc"
