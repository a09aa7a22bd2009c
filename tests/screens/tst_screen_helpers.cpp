#include "Caught.h"
#include "ScreenHelpers.h"
#include "Twips.h"
#include "modMain.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

class TstScreenHelpers : public QObject {
    Q_OBJECT
private slots:
    void selectActiveText()
    {
        QWidget w;
        auto* box = new QLineEdit(QStringLiteral("abc"), &w);
        auto* button = new QPushButton(QStringLiteral("OK"), &w);
        button->move(0, 40);
        w.show();
        QApplication::setActiveWindow(&w);
        QVERIFY(QTest::qWaitForWindowActive(&w));
        box->setFocus();
        box->setCursorPosition(1);
        SelectActiveText();
        QCOMPARE(box->selectionStart(), 0);
        QCOMPARE(box->selectedText(), QStringLiteral("abc"));
        box->deselect();
        button->setFocus();
        SelectActiveText(); // nothing to select, and no error
        QVERIFY(!box->hasSelectedText());
        w.close();
        SelectActiveText(); // no active window at all
    }

    void actionButtons()
    {
        QWidget w;
        auto* frame = new QGroupBox(&w);
        frame->setObjectName(QStringLiteral("fraMedTech"));
        // Missing buttons are a member-not-found error, after the ones found.
        QCOMPARE(caught([&] { SetActionButtons(w, false); }).number, 438);
        QList<QPushButton*> buttons;
        for (const char* name : {"cmdPrint", "cmdVerify", "cmdSave"}) {
            buttons << new QPushButton(frame);
            buttons.last()->setObjectName(QLatin1String(name));
        }
        buttons[1]->setEnabled(false);
        SetActionButtons(w, false);
        for (QPushButton* b : buttons)
            QVERIFY(!b->isEnabled());
        SetActionButtons(w, true);
        for (QPushButton* b : buttons)
            QVERIFY(b->isEnabled());
    }

    void shadedHeaderOnATestWindow()
    {
        QWidget w;
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 438);
        auto* title = new QLabel(QStringLiteral("Sample Search"), &w);
        title->setObjectName(QStringLiteral("lblHeader(0)"));
        Twips::place(title, 300, 150, 3000, 450);
        ShadeDialogHeader(w);
        const QRect t = title->geometry();
        struct Expected {
            int index;
            int shift;
            QColor colour;
        };
        for (const Expected& e : {Expected{1, -10, w.palette().color(QPalette::Base)},
                                  Expected{2, 10, QColor(0xC0, 0xC0, 0xC0)},
                                  Expected{3, 20, w.palette().color(QPalette::ButtonText)}}) {
            auto* copy = w.findChild<QLabel*>(QStringLiteral("lblHeader(%1)").arg(e.index));
            QVERIFY(copy);
            QCOMPARE(copy->text(), title->text());
            QCOMPARE(copy->geometry().topLeft(),
                     QPoint(Twips::toPx(300 + e.shift), Twips::toPx(150 + e.shift)));
            QCOMPARE(copy->size(), t.size());
            QCOMPARE(copy->palette().color(QPalette::WindowText), e.colour);
        }
        // The designed title is drawn last, on top.
        QCOMPARE(w.children().last(), title);
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 360);
    }
};

QTEST_MAIN(TstScreenHelpers)
#include "tst_screen_helpers.moc"
