#pragma once

#include "platform/db/DbDriver.h"

#include <QSqlError>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <unordered_map>

struct sqlite3;
struct sqlite3_stmt;

// The embedded laboratory's statements, prepared once on the connection the
// SQL module opened and run through SQLite itself: the module's own
// statements describe every column again at every run (its type, table and
// a field object each), a third of a short read. Values come and go as the
// module's would: the same types bound and read, NULL read as a null text.
class SqliteStatements {
public:
    SqliteStatements() = default;
    ~SqliteStatements();
    SqliteStatements(const SqliteStatements&) = delete;
    SqliteStatements& operator=(const SqliteStatements&) = delete;

    // The connection to run on; statements of an earlier one are finalised.
    void attach(sqlite3* db);
    // Finalises every statement (before the connection closes).
    void clear();
    // Whether this text is one statement the cache can hold; anything else
    // (several statements, a script) is left to the SQL module.
    bool runs(const QString& sql);
    // Runs a statement runs() accepted. On failure returns false with the
    // error as the SQL module would report it.
    bool run(const QString& sql, const QVariantList& binds, const QStringList& dateColumns,
             ResultSet& rs, int& affected, QSqlError& error);

private:
    struct Statement {
        sqlite3_stmt* handle = nullptr;
        QStringList columns;
        QList<int> dates;
        QStringList dateColumns;
        bool described = false;
    };
    Statement* prepared(const QString& sql, QSqlError& error);
    QSqlError failure(const QString& what, int code) const;
    bool bind(sqlite3_stmt* s, const QVariantList& binds, QSqlError& error) const;
    static QVariant value(sqlite3_stmt* s, int column);

    sqlite3* m_db = nullptr;
    std::unordered_map<QString, Statement> m_statements;
};
