#pragma once

#include <QDateTime>
#include <QVariant>
#include <optional>

// Dates travel as text. Every date text the component and the laboratory
// database exchange is produced and read here, with the C locale, so the
// workstation's language can never change a stored date.
namespace DateText {
// The general date: "M/d/yyyy h:mm:ss AM", the time left out at midnight.
QString general(const QDateTime& moment);
// "MM/dd/yyyy", e.g. 03/07/2024.
QString monthDayYear(const QDate& day);
// "hh:mm AM" and "hh:mm:ss AM" on the 12-hour clock.
QString time12(const QTime& time);
QString time12WithSeconds(const QTime& time);
// Storage form inside the embedded database: "yyyy-MM-dd HH:mm:ss".
QString storage(const QDateTime& moment);

// Reads the general date, a date alone, a date with a 12- or 24-hour time,
// or the storage form. Empty when the text is no date.
std::optional<QDateTime> parse(const QString& text);

// A date text as the general date; a text that is no date stays as it is.
QString asGeneral(const QString& text);

// A value converted to a date-time as the original run time did: Null is
// error 94, anything that is no date error 13.
QDateTime toDateTime(const QVariant& value);
} // namespace DateText
