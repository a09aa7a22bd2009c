#include "Anchors.h"

#include <QWidget>
#include <cmath>

void Anchors::add(QWidget* widget, Shares shares)
{
    m_anchors.append({widget, widget->geometry(), shares});
}

void Anchors::apply(QSize window)
{
    m_extra = QSize(std::max(0, window.width() - m_designed.width()),
                    std::max(0, window.height() - m_designed.height()));
    const auto part = [](int room, double share) { return int(std::lround(room * share)); };
    for (const Anchor& a : m_anchors) {
        if (!a.widget)
            continue;
        const Shares& s = a.shares;
        a.widget->setGeometry(a.designed.x() + part(m_extra.width(), s.left),
                              a.designed.y() + part(m_extra.height(), s.top),
                              a.designed.width() + part(m_extra.width(), s.width),
                              a.designed.height() + part(m_extra.height(), s.height));
    }
}
