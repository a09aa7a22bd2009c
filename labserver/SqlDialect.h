#pragma once

#include <QString>

// The database engine a laboratory lives in.
enum class Engine { SQLite, PostgreSQL };

// The few pieces of SQL the engines spell differently, each by what it means.
// Procedures build their statements from these and never spell an engine's
// own functions; everything else they write is common to both engines.
// Columns are given as they appear in the statement ("d.SampleNum"); a piece
// that binds a value takes it from one "?" of its own.
namespace SqlDialect {
// column equals the bound text without case (ASCII letters, as the embedded
// laboratory has always compared) and without the text's trailing blanks.
QString equalsIgnoringCase(Engine engine, const QString& column);
// The same for a key column that compares without case by its own collation
// (Catalogue::Table::caseBlindColumns): written so that its index serves.
QString keyEquals(Engine engine, const QString& column);
// column matches the bound LIKE pattern without case; '%' and '_' are the
// only wildcards, no character escapes.
QString likeIgnoringCase(Engine engine, const QString& column);
// column holds the bound text anywhere, without case; an empty text is in
// every value.
QString containsIgnoringCase(Engine engine, const QString& column);
// Whole years from the birth date to the date at (negative before birth);
// Null when either is Null.
QString ageInYears(Engine engine, const QString& birth, const QString& at);
// The calendar day of a date and time column, as the laboratory's indexes of
// a day hold it; compare it with a bound "yyyy-MM-dd".
QString dayOf(Engine engine, const QString& column);
// After a table's name: the index its rows are to be found by. SQLite,
// which keeps no statistics here, would otherwise take an index on fewer
// columns that also orders the rows; the server plans by its statistics.
QString byIndex(Engine engine, const QString& index);
// The expression as text, with empty text for Null.
QString emptyWhenNull(Engine engine, const QString& expression);
// ORDER BY keys for sample numbers: numbers of digits only first, by value;
// then the others by their leading number (0 when none), then without case.
QString naturalOrder(Engine engine, const QString& column);
} // namespace SqlDialect
