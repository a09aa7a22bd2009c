#pragma once

#include <QApplication>
#include <QTest>

// A key as staff press it: to whatever has the focus. A button's mnemonic
// (Alt and its letter) clicks it a moment later, so that waits.
inline void press(int key, Qt::KeyboardModifiers mods = {})
{
    QWidget* target = QApplication::focusWidget();
    QVERIFY(target);
    QTest::keyClick(target, Qt::Key(key), mods);
    if (mods & Qt::AltModifier)
        QTest::qWait(150);
}

// Text typed into whatever has the focus.
inline void type(const QString& text)
{
    QTest::keyClicks(QApplication::focusWidget(), text);
}
