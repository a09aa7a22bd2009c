#pragma once

#include <QString>
#include <QStringView>

// A piece of a command text as an error message may quote it, in single
// quotes: control and other non-printable characters escaped (\n, \t, \x01,
// \u202E) so it cannot break or forge a line, a backslash doubled so an
// escape is never ambiguous, and at most about 40 characters shown. A longer
// piece is cut with "..." and its length follows: 'abc...' (1000000 characters).
QString commandExcerpt(QStringView piece);
