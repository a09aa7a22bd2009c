#pragma once

#include <QTextStream>

// Save_Entries of the cut-off window against the same writes made as
// prepared SQLite statements in one transaction, side by side in one run.
void benchSave(QTextStream& out, const QList<int>& rowCounts);
