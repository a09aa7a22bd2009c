#pragma once

#include "labserver/SqlDialect.h"

#include <QHash>
#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

// What the `select * from` front end knows of a laboratory: its tables, their
// columns in order and which of them hold date-times. One reader per engine,
// each reading its own system tables; a read that fails throws LisError.
class Catalogue {
public:
    struct Table {
        QString schema; // as statements qualify it: see schemaOf()
        QString name;   // as the laboratory spells it
        QStringList columns;
        QStringList dateColumns;
        // As the database holds them, for statements (quoted); on the
        // embedded laboratory the same as name and columns.
        QString storedName;
        QStringList storedColumns;
        // PostgreSQL: the columns whose own collation ignores case.
        QStringList caseBlindColumns;
    };

    virtual ~Catalogue() = default;
    virtual QList<Table> tables() const = 0;

    // The one place that maps the front end's database names to schemas.
    // "laboratory" (or none) is schema main of the embedded laboratory's
    // connection and schema laboratory on a PostgreSQL server; "patient_data"
    // is patient_data on both. Any case; empty for any other name.
    static QString schemaOf(Engine engine, const QString& database);
};

// The embedded laboratory: main and the attached patient_data, from
// sqlite_master and PRAGMA table_info; columns declared DATETIME are dates.
class SqliteCatalogue : public Catalogue {
public:
    explicit SqliteCatalogue(const QSqlDatabase& db)
        : m_db(db)
    {
    }
    QList<Table> tables() const override;

private:
    QSqlDatabase m_db;
};

// A laboratory on a PostgreSQL server: schemas laboratory and patient_data,
// from the server's catalog; timestamp without time zone columns are dates,
// columns of the collation nocase compare without case.
//
// The server folds the unquoted names of the schema script to lower case,
// but grid headers and callers expect them as the laboratory has always
// spelt them (RequestNum). The embedded schema is where those spellings are
// kept, so this reader takes the tables of a SqliteCatalogue (of any
// laboratory at the same version) and hands out each table and column under
// the spelling found there for the same database and lower-case name. A name
// the embedded schema lacks keeps the server's spelling; quoted ones
// ("CMin") come from the server as created anyway.
class PgCatalogue : public Catalogue {
public:
    PgCatalogue(const QSqlDatabase& db, const QList<Table>& spelling);
    QList<Table> tables() const override;

private:
    QSqlDatabase m_db;
    QHash<QString, QString> m_spelling; // "schema.table[.column]", lower case
};
