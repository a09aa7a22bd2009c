#include "platform/ui/Pickers.h"

#include <QLineEdit>
#include <QtTest>

// The pickers driven by keys alone, between two boxes as on the result windows.
class TstPickers : public QObject {
    Q_OBJECT
    QWidget window;
    QLineEdit* first = new QLineEdit(&window);
    DatePicker* date = new DatePicker(&window);
    TimePicker* time = new TimePicker(&window);
    QLineEdit* last = new QLineEdit(&window);

    static QLineEdit* edit(QDateTimeEdit* picker) { return picker->findChild<QLineEdit*>(); }
    static void keys(QWidget* w, std::initializer_list<QKeyCombination> keys)
    {
        for (QKeyCombination k : keys)
            QTest::keyClick(w, k.key(), k.keyboardModifiers());
    }
    // Back to the start values, then Tab into the picker: its whole text is selected.
    void startOn(QDateTimeEdit* picker)
    {
        date->setDate(QDate(2024, 1, 15));
        time->setTime(QTime(9, 0));
        first->setFocus();
        while (QApplication::focusWidget() != picker)
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(edit(picker)->selectedText(), picker->text());
    }

private slots:
    void initTestCase()
    {
        window.show();
        QApplication::setActiveWindow(&window);
        QVERIFY(QTest::qWaitForWindowActive(&window));
    }

    void typedWholeValues_data()
    {
        QTest::addColumn<QString>("typed"); // times have a colon
        QTest::addColumn<QString>("shown"); // empty: refused
        for (const char* row :
             {"12/07/2026 -> 12/07/2026", "3/9/2025 -> 03/09/2025", "12072026 -> 12/07/2026",
              "2/30/2025 -> ", "12/7/26 -> ", "10:30:00 AM -> 10:30:00 AM",
              "2:05 pm -> 02:05:00 PM", "12:00am -> 12:00:00 AM", "14:30 -> 02:30:00 PM",
              "14:30:15 -> 02:30:15 PM", "13:00 PM -> ", "10:3 -> "}) {
            const QStringList typedShown = QString::fromLatin1(row).split(QStringLiteral(" -> "));
            QTest::newRow(row) << typedShown[0] << typedShown[1];
        }
    }

    // Ended by Tab and by Enter. A refused text stays selected to be typed
    // over; a click elsewhere or Escape then leaves the old value.
    void typedWholeValues()
    {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QDateTimeEdit* picker = typed.contains(u':') ? static_cast<QDateTimeEdit*>(time) : date;
        const auto value = [&] {
            return picker->text() + '|' +
                   QLocale::c().toString(picker->dateTime(), picker->displayFormat());
        };
        for (Qt::Key end : {Qt::Key_Tab, Qt::Key_Return}) {
            startOn(picker);
            const QString before = value();
            QTest::keyClicks(picker, typed.chopped(1));
            QTest::keyClick(picker, Qt::Key_Shift); // as a keyboard sends it
            QTest::keyClicks(picker, typed.right(1));
            QTest::keyClick(picker, end);
            QCOMPARE(QApplication::focusWidget() == picker,
                     end == Qt::Key_Return || shown.isEmpty());
            if (shown.isEmpty()) {
                QCOMPARE(edit(picker)->selectedText() + '|' + picker->text(), typed + '|' + typed);
                if (end == Qt::Key_Tab)
                    last->setFocus(Qt::MouseFocusReason);
                else
                    QTest::keyClick(picker, Qt::Key_Escape);
            }
            QCOMPARE(value(), shown.isEmpty() ? before : shown + '|' + shown);
        }
    }

    // Over one section, the usual editing, and Tab or Shift+Tab leave the
    // picker from there in one stop; a text set into the box is read as before.
    void sectionEditing()
    {
        edit(date)->setText(QStringLiteral("03/07/2024"));
        QCOMPARE(date->date(), QDate(2024, 3, 7));
        startOn(time);
        keys(time, {Qt::Key_Home, Qt::Key_Up, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right,
                    Qt::Key_Up, Qt::Key_Tab});
        QCOMPARE(time->time(), QTime(10, 1));
        QCOMPARE(QApplication::focusWidget(), last);
        startOn(date);
        keys(date, {Qt::Key_Home, Qt::Key_Right, Qt::Key_Right, Qt::Key_Right,
                    Qt::SHIFT | Qt::Key_Right, Qt::SHIFT | Qt::Key_Right}); // the day alone
        QTest::keyClicks(date, QStringLiteral("20"));
        QTest::keyClick(date, Qt::Key_Backtab);
        QCOMPARE(date->date(), QDate(2024, 1, 20));
        QCOMPARE(QApplication::focusWidget(), first);
    }
};

QTEST_MAIN(TstPickers)
#include "tst_pickers.moc"
