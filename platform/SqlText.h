#pragma once

#include <QString>

// Every value that goes between single quotes in a command text passes
// through here: embedded quotes are doubled, so no value can end the
// literal early and a name like O'Brien arrives intact.
QString sqlLiteral(const QString& value);
