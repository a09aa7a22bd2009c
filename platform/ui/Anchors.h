#pragma once

#include <QList>
#include <QPointer>
#include <QRect>
#include <QSize>

class QWidget;

// Keeps a window's controls where they were drawn and hands the room the
// window has beyond its designed size to them by shares: a control with a
// width share of 0.7 grows by seven tenths of the extra width, one with a
// left share of 1 moves right by all of it. Shares are of the window's
// extra room, for controls inside frames as well.
class Anchors {
public:
    struct Shares {
        double left = 0;
        double top = 0;
        double width = 0;
        double height = 0;
    };

    explicit Anchors(QSize designed)
        : m_designed(designed)
    {
    }

    // Takes the control's present geometry as its designed one.
    void add(QWidget* widget, Shares shares);
    // Places every control for a window of this size.
    void apply(QSize window);
    // The room beyond the designed size at the last apply (never negative).
    QSize extra() const { return m_extra; }

private:
    struct Anchor {
        QPointer<QWidget> widget;
        QRect designed;
        Shares shares;
    };
    QSize m_designed;
    QSize m_extra;
    QList<Anchor> m_anchors;
};
