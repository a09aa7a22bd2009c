#pragma once

#include <QColor>
#include <QString>

class QTableWidgetItem;

// The shade of an interpretation cell, so staff see the reactive results of
// a long list at a glance. The word in the cell stays what it says: the
// shade only repeats it.
class InterpretationShade {
public:
    enum Kind { None, Reactive, Equivocal, NonReactive };

    // Which kind an interpretation is, read from the laboratory's label
    // words, whole words and in any case; None for anything else.
    static Kind of(const QString& interpretation);

    static QColor textColor(Kind kind);
    static QColor background(Kind kind);

    // Gives the cell the shade of its text; touches neither the text nor
    // anything but the cell's two colours.
    static void apply(QTableWidgetItem* cell);
};
