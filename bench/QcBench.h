#pragma once

#include <QTextStream>

// Quality control on the embedded laboratory: judging one control result
// (its run, a year of the item's history, the hold it opens or lifts) in
// its own transaction, beside a bare insert of the same row.
void benchQualityControl(QTextStream& out);
