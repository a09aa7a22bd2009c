#pragma once

#include <QStringList>
#include <QTextStream>

// The laboratory on both engines side by side in one run: the embedded one
// and a throwaway PostgreSQL server the bench starts and stops itself (the
// SQLite figures alone when there is no server to be had). `parts` names
// which of "engine-reads", "engine-save" and "workstations" to run; `self`
// is this program, re-run as the workstations.
void benchEngines(QTextStream& out, const QStringList& parts, const QString& self);

// One workstation of the concurrency figure, in a process of its own:
//   workstation CONNECTION SLOT PERSLOT ROWS MS
// opens CONNECTION, saves its slot's first request (warm-up), says "ready",
// waits for "go" on standard input, then saves the slot's other requests of
// ROWS rows each, in turn, for MS milliseconds and says
// "done SAVES ERRORS RESAVES [first error]".
int runWorkstation(const QStringList& args);
