#include "Twips.h"

#include <QWidget>

void Twips::place(QWidget* widget, int left, int top, int width, int height)
{
    widget->setGeometry(toPx(left), toPx(top), toPx(width), toPx(height));
}

QRect Twips::toTwips(const QRect& px)
{
    return {fromPx(px.x()), fromPx(px.y()), fromPx(px.width()), fromPx(px.height())};
}
