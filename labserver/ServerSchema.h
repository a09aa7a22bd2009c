#pragma once

#include "labserver/Catalogue.h"

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

// The roles of a server's laboratory, beside the login that owns it (runs
// server init, owns the schemas and tables, alone may build the demo and
// alter tables and triggers): workstations and the instrument service log
// in as members of the working role (results, downloads, patients; the
// options only read); the administrator role may also change the options.
inline constexpr const char* kWorkingRole = "lis_working";
inline constexpr const char* kAdministratorRole = "lis_administrator";

// Creates the schemas laboratory and patient_data, or brings them to this
// build's version, in one transaction; running it again changes nothing.
// Returns the version found before (0: none). A newer laboratory is refused
// and left as it is. Run by the owner, it also makes the roles (when the
// login may), grants them their tables and sets the database's
// idle_in_transaction_session_timeout; what it could not do is added to
// notes as what to run instead. Run by any other login on an up-to-date
// laboratory, it only says so.
int init(QSqlDatabase& db, const QString& where, QStringList* notes = nullptr);

// The tables and columns as the laboratory spells them (the server keeps
// unquoted names in lower case), read once from the embedded schema.
const QList<Catalogue::Table>& spelling();
} // namespace ServerSchema
