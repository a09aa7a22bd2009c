#pragma once

#include <QString>
#include <optional>

// Numbers in text as staff and instruments write them: blanks around the
// number allowed, a decimal point, no thousands separators.
std::optional<double> numeric(const QString& text);
// A number written back in its shortest form ("2.10" -> "2.1").
QString numberText(double value);
