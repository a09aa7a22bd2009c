#pragma once

#include <QList>

class FlexGrid;
class QWidget;

// Each user's windows open at the size they were last closed at (never
// smaller than drawn), maximised when they were, and their grids keep the
// column widths the user dragged. Kept in the settings store, application
// "LIS Window Layout", one section per window. The layout is a convenience:
// a layout file that cannot be read or written leaves the windows as drawn
// and never stands in the way of the work.
namespace WindowMemory {
void restore(QWidget& window, const QList<FlexGrid*>& grids);
void remember(const QWidget& window, const QList<FlexGrid*>& grids);
} // namespace WindowMemory
