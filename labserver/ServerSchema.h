#pragma once

#include "Catalogue.h"

#include <QSqlDatabase>
#include <QStringList>

// The laboratory's schema on a PostgreSQL server, and the script files both
// engines' schemas are written in.
namespace ServerSchema {
// The statements of a script file (or resource): each ends with ";" at a
// line end; lines starting with "--" are comments. With a schema, the tables
// and indexes the embedded scripts create are put there.
QStringList statements(const QString& path, const QString& schema = {});

// The version row of the server's laboratory; 0 when it has none.
int version(const QSqlDatabase& db);

// Creates the schemas laboratory and patient_data, or brings them to this
// build's version, in one transaction; running it again changes nothing.
// Returns the version found before (0: none). A newer laboratory is refused
// and left as it is.
int init(QSqlDatabase& db, const QString& where);

// The tables and columns as the laboratory spells them (the server keeps
// unquoted names in lower case), read once from the embedded schema.
const QList<Catalogue::Table>& spelling();
} // namespace ServerSchema
