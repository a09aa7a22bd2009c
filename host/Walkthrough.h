#pragma once

#include <QString>
#include <QTextStream>

// A scripted session over a fresh demo laboratory, offscreen, with real
// key and mouse events on the real windows, as staff would work: a cut-off
// request looked up, taken over, typed, printed and verified from the
// preview; a normal-values request taken over and printed; an unformatted
// request. Pictures of every step and the printed PDFs go into the folder.
// Returns 0 when every step did what staff expect.
namespace Walkthrough {
int run(const QString& folder, QTextStream& out);
}
