#include "ScreenHelpers.h"
#include "component/modMain.h"
#include "platform/LisError.h"
#include "platform/ui/Twips.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTextEdit>

namespace {
QWidget& control(QWidget& window, const QString& name)
{
    auto* w = window.findChild<QWidget*>(name);
    if (!w)
        throw LisError(
            ErrNo::NotSupported,
            QStringLiteral("Object doesn't support this property or method: %1").arg(name));
    return *w;
}
} // namespace

void SelectActiveText()
{
    QWidget* focus = QApplication::focusWidget();
    if (auto* line = qobject_cast<QLineEdit*>(focus))
        line->setSelection(0, int(line->text().size()));
    else if (auto* text = qobject_cast<QTextEdit*>(focus))
        text->selectAll();
}

void SetMedTechAccess(QWidget& window)
{
    control(window, QStringLiteral("fraMedTech")).setEnabled(!session().Clerk);
}

void ShadeDialogHeader(QWidget& window)
{
    auto* title = qobject_cast<QLabel*>(&control(window, QStringLiteral("lblHeader(0)")));
    if (!title)
        throw LisError(ErrNo::NotSupported, QStringLiteral("lblHeader(0) is not a label"));
    if (window.findChild<QLabel*>(QStringLiteral("lblHeader(1)")))
        throw LisError(ErrNo::ObjectAlreadyLoaded,
                       QStringLiteral("Object already loaded: lblHeader(1)"));
    struct Copy {
        int index;
        int shift; // twips, right and down
        QColor colour;
    };
    const QPalette palette = window.palette();
    const Copy copies[] = {
        {1, -10, palette.color(QPalette::Base)},
        {2, 10, QColor(0xC0, 0xC0, 0xC0)},
        {3, 20, palette.color(QPalette::ButtonText)},
    };
    const QRect t = Twips::toTwips(title->geometry());
    for (const Copy& c : copies) {
        auto* copy = new QLabel(title->text(), title->parentWidget());
        copy->setObjectName(QStringLiteral("lblHeader(%1)").arg(c.index));
        copy->setFont(title->font());
        copy->setAlignment(title->alignment());
        Twips::place(copy, t.x() + c.shift, t.y() + c.shift, t.width(), t.height());
        QPalette p = copy->palette();
        p.setColor(QPalette::WindowText, c.colour);
        copy->setPalette(p);
        copy->show();
    }
    // The designed title stays readable on top of its shadows.
    title->raise();
}

void SetActionButtons(QWidget& window, bool enabled)
{
    for (const char* name : {"cmdPrint", "cmdVerify", "cmdSave"})
        control(window, QLatin1String(name)).setEnabled(enabled);
}
