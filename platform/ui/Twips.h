#pragma once

#include <QRect>

class QWidget;

// Window designs are kept in twips, as they were drawn; this is the one
// place they become pixels (15 twips to a pixel at 96 dpi).
namespace Twips {
constexpr int kPerPixel = 15;
constexpr int toPx(int twips)
{
    return (twips >= 0 ? twips + kPerPixel / 2 : twips - kPerPixel / 2) / kPerPixel;
}
constexpr int fromPx(int px)
{
    return px * kPerPixel;
}
// Sets a widget's geometry from twips.
void place(QWidget* widget, int left, int top, int width, int height);
QRect toTwips(const QRect& px);
} // namespace Twips
