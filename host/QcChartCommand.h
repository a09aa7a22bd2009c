#pragma once

#include <QStringList>
#include <QTextStream>

class Connection;

// lis-host qc chart INSTRUMENT ITEM [--from DATE] [--to DATE] FILE.pdf|FILE.png
// args are what follows "qc chart". The chart is read over db, or over this
// workstation's laboratory when db is null. Returns 0 once the file is
// written (where it went is said on out: a file already there is kept),
// 1 when the period holds no control results and nothing was written. A bad
// command line (error 5), the laboratory's refusal of an unknown instrument
// or item, and a file that cannot be written reach the caller as LisError.
int runQcChart(const QStringList& args, QTextStream& out, Connection* db = nullptr);
