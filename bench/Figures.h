#pragma once

#include <QTextStream>

// The figures besides saving, each with its baseline from the same run.
void benchCommands(QTextStream& out);
void benchOpening(QTextStream& out);
// Opening a request whose results are checked (limits, previous results).
void benchChecks(QTextStream& out);
void benchTakeOver(QTextStream& out);
void benchReports(QTextStream& out);
void benchProcessStart(QTextStream& out, const QString& host);
