#include "Caught.h"
#include "DateText.h"
#include "ScriptedPresenter.h"
#include "SettingsStore.h"

#include <QDialog>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QtTest>

class TstPlatformSeams : public QObject {
    Q_OBJECT
private slots:
    void settingsLiveInTheMovedFolderUserOnly()
    {
        const QString app = QStringLiteral("TARVIK Current User");
        QCOMPARE(SettingsStore::get(app, QStringLiteral("Connection"), QStringLiteral("User")),
                 QString());
        SettingsStore::set(app, QStringLiteral("Connection"), QStringLiteral("Password"),
                           QStringLiteral("s3cr=t;x"));
        QCOMPARE(SettingsStore::get(app, QStringLiteral("Connection"), QStringLiteral("Password")),
                 QStringLiteral("s3cr=t;x"));

        const QString path = SettingsStore::filePath(app);
        QVERIFY(path.startsWith(qEnvironmentVariable("LIS_CONFIG_DIR")));
        QCOMPARE(QFile::permissions(path) & 0x0077, QFileDevice::Permissions());
        QCOMPARE(QFile::permissions(SettingsStore::folder()) & 0x0077, QFileDevice::Permissions());

        const auto all = SettingsStore::all();
        const bool listed = std::any_of(all.begin(), all.end(), [&](const SettingsStore::Entry& e) {
            return e.application == app && e.key == QLatin1String("Password");
        });
        QVERIFY(listed);
    }

    void unreadableSettingsAreAnErrorNotEmpty()
    {
        // A folder where the file should be cannot be read: the store must say
        // so rather than answer empty (which would mean integrated login).
        const QString app = QStringLiteral("Broken App");
        QVERIFY(QDir().mkpath(SettingsStore::filePath(app)));
        const Caught e = caught(
            [&] { SettingsStore::get(app, QStringLiteral("Connection"), QStringLiteral("User")); });
        QCOMPARE(e.number, 75);
        QVERIFY(e.description.contains(SettingsStore::filePath(app)));
        QCOMPARE(caught([&] {
                     SettingsStore::set(app, QStringLiteral("S"), QStringLiteral("K"),
                                        QStringLiteral("v"));
                 }).number,
                 75);
        QDir(SettingsStore::filePath(app)).removeRecursively();
    }

    void dateTexts()
    {
        const QDateTime afternoon(QDate(2024, 3, 7), QTime(14, 5, 59));
        QCOMPARE(DateText::general(afternoon), QStringLiteral("3/7/2024 2:05:59 PM"));
        QCOMPARE(DateText::general(QDateTime(QDate(2024, 12, 25), QTime(0, 0))),
                 QStringLiteral("12/25/2024"));
        QCOMPARE(DateText::monthDayYear(QDate(2024, 1, 5)), QStringLiteral("01/05/2024"));
        QCOMPARE(DateText::time12(afternoon.time()), QStringLiteral("02:05 PM"));
        QCOMPARE(DateText::time12WithSeconds(QTime(0, 7, 9)), QStringLiteral("12:07:09 AM"));
        QCOMPARE(DateText::parse(DateText::general(afternoon)), afternoon);
        QCOMPARE(DateText::parse(QStringLiteral("2024-03-07 14:05:59")), afternoon);
        QCOMPARE(DateText::parse(QStringLiteral("03/07/2024 02:05 PM")),
                 QDateTime(QDate(2024, 3, 7), QTime(14, 5)));
        QCOMPARE(DateText::parse(QStringLiteral("03/07/2024")),
                 QDateTime(QDate(2024, 3, 7), QTime(0, 0)));
        QVERIFY(!DateText::parse(QStringLiteral("13/40/2024")));
        QVERIFY(!DateText::parse(QStringLiteral("2/30/2024 1:00:00 PM")));
        QVERIFY(!DateText::parse(QStringLiteral("3/7/2024 2:05:59 PM later")));
        QCOMPARE(DateText::parse(QStringLiteral("3/7/2024 2:05:59 pm")), afternoon);
        // Every hour of the day is written as the C locale writes it and reads
        // back as written, midnight and noon included.
        for (int h = 0; h < 24; ++h) {
            const QDateTime at(QDate(2024, 11, 17), QTime(h, 3, 1));
            QCOMPARE(DateText::general(at),
                     QLocale::c().toString(at, QStringLiteral("M/d/yyyy h:mm:ss AP")));
            QCOMPARE(DateText::parse(DateText::general(at)), at);
        }
        QCOMPARE(caught([] { DateText::toDateTime(QVariant()); }).number, 94);
        QCOMPARE(caught([] { DateText::toDateTime(QStringLiteral("soon")); }).number, 13);
    }

    void scriptedPresenterRecordsAnswersAndDrivesWindows()
    {
        ScriptedPresenter p;
        PresenterScope scope(p);
        p.queueAnswer(MsgAnswer::Yes);
        QCOMPARE(msgBox(QStringLiteral("Q?"), MsgIcon::Question, QStringLiteral("T"),
                        MsgButtons::YesNo, MsgAnswer::No),
                 MsgAnswer::Yes);
        // The queue is empty: the default button answers.
        QCOMPARE(msgBox(QStringLiteral("Again?"), MsgIcon::Question, QString(), MsgButtons::YesNo,
                        MsgAnswer::No),
                 MsgAnswer::No);
        QCOMPARE(p.messageTexts(), (QStringList{QStringLiteral("Q?"), QStringLiteral("Again?")}));
        QCOMPARE(p.messages().first().title, QStringLiteral("T"));

        QDialog dialog;
        dialog.setObjectName(QStringLiteral("frmTest"));
        auto* ok = new QPushButton(QStringLiteral("OK"), &dialog);
        bool clicked = false;
        connect(ok, &QPushButton::clicked, [&] { clicked = true; });
        p.queueWindow([&](QWidget& w) {
            QVERIFY(w.isVisible());
            QTest::mouseClick(ok, Qt::LeftButton);
        });
        Presenter::current().showModal(dialog);
        QVERIFY(clicked);
        QVERIFY(!dialog.isVisible());
        QCOMPARE(p.windowsShown(), QStringList{QStringLiteral("frmTest")});
    }
};

QTEST_MAIN(TstPlatformSeams)
#include "tst_platform_seams.moc"
