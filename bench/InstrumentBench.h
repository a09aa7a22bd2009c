#pragma once

#include <QTextStream>

// Analysers' results into the embedded laboratory: the time from the last
// byte of a 20-result ASTM message to its acknowledgement, beside the same
// rows written directly; results stored per second from one connection and
// from four at once.
void benchInstruments(QTextStream& out);
