#include "component/ScreenHelpers.h"
#include "tests/support/Caught.h"

#include <QLabel>
#include <QtTest>

// What the windows' helpers do where the windows' own tests cannot reach.
class TstScreenHelpers : public QObject {
    Q_OBJECT
private slots:
    void missingControlsAndShadingTwice()
    {
        QWidget w;
        SelectActiveText(); // nothing has the focus: nothing to do, and no error
        QCOMPARE(caught([&] { SetActionButtons(w, false); }).number, 438);
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 438);
        auto* title = new QLabel(QStringLiteral("Sample Search"), &w);
        title->setObjectName(QStringLiteral("lblHeader(0)"));
        ShadeDialogHeader(w);
        QStringList copies;
        for (int i = 1; i <= 3; ++i)
            if (auto* copy = w.findChild<QLabel*>(QStringLiteral("lblHeader(%1)").arg(i)))
                copies << copy->text();
        QCOMPARE(copies, QStringList(3, title->text()));
        QCOMPARE(w.children().last(), title); // the designed title on top of its shadows
        QCOMPARE(caught([&] { ShadeDialogHeader(w); }).number, 360);
    }
};

QTEST_MAIN(TstScreenHelpers)
#include "tst_screen_helpers.moc"
