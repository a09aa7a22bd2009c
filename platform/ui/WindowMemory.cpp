#include "WindowMemory.h"
#include "platform/LisError.h"
#include "platform/SettingsStore.h"
#include "platform/ui/FlexGrid.h"

#include <QScreen>
#include <QWidget>

namespace {
const QString kApplication = QStringLiteral("LIS Window Layout");

QString get(const QWidget& window, const QString& key)
{
    return SettingsStore::get(kApplication, window.objectName(), key);
}

// Writes only a change; a value as drawn needs no line of its own.
void set(const QWidget& window, const QString& key, const QString& value, const QString& drawn)
{
    const QString stored = get(window, key);
    if (stored != value && !(stored.isEmpty() && value == drawn))
        SettingsStore::set(kApplication, window.objectName(), key, value);
}

QString sizeText(QSize size)
{
    return QStringLiteral("%1x%2").arg(size.width()).arg(size.height());
}

// "2:2600 3:2500": column and width in twips.
QString widthsText(const QMap<int, int>& widths)
{
    QStringList parts;
    for (auto it = widths.begin(); it != widths.end(); ++it)
        parts << QStringLiteral("%1:%2").arg(it.key()).arg(it.value());
    return parts.join(QLatin1Char(' '));
}

QMap<int, int> widthsFrom(const QString& text)
{
    QMap<int, int> widths;
    for (const QString& part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        const QStringList pair = part.split(QLatin1Char(':'));
        bool colOk = false;
        bool widthOk = false;
        const int col = pair.value(0).toInt(&colOk);
        const int twips = pair.value(1).toInt(&widthOk);
        if (pair.size() == 2 && colOk && widthOk && col >= 0 && col < 100 && twips > 0 &&
            twips <= 30000)
            widths.insert(col, twips);
    }
    return widths;
}
} // namespace

void WindowMemory::restore(QWidget& window, const QList<FlexGrid*>& grids)
{
    try {
        const QStringList size = get(window, QStringLiteral("Size")).split(QLatin1Char('x'));
        if (size.size() == 2) {
            const QSize wanted(size[0].toInt(), size[1].toInt());
            // Never larger than the screen it opens on now.
            const QScreen* screen = window.screen();
            const QSize room = screen ? screen->availableGeometry().size() : QSize(20000, 20000);
            if (wanted.width() > 0 && wanted.height() > 0)
                window.resize(wanted.boundedTo(room).expandedTo(window.minimumSize()));
        }
        if (get(window, QStringLiteral("Maximized")) == QLatin1String("1"))
            window.setWindowState(window.windowState() | Qt::WindowMaximized);
        for (FlexGrid* grid : grids)
            grid->setUserWidths(widthsFrom(get(window, grid->objectName())));
    } catch (const LisError&) {
        // An unreadable layout file: the window opens as drawn.
    }
}

void WindowMemory::remember(const QWidget& window, const QList<FlexGrid*>& grids)
{
    try {
        const bool maximized = window.isMaximized();
        if (!maximized)
            set(window, QStringLiteral("Size"), sizeText(window.size()),
                sizeText(window.minimumSize()));
        set(window, QStringLiteral("Maximized"),
            maximized ? QStringLiteral("1") : QStringLiteral("0"), QStringLiteral("0"));
        for (const FlexGrid* grid : grids)
            set(window, grid->objectName(), widthsText(grid->userWidths()), QString());
    } catch (const LisError&) {
        // A layout that cannot be kept is no reason to hold the user up.
    }
}
