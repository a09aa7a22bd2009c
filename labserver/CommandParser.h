#pragma once

#include <QString>
#include <QStringList>
#include <variant>

// The two command shapes the embedded laboratory database accepts:
//   [db..]Procedure 'arg', 'arg', ...
//   select * from [db..]table [where col = 'text' | col like 'text' [and ...]]
// Anything else, stacked statements and unterminated literals included, is
// refused with a database error that names what was wrong.
struct ObjectName {
    QString database; // empty when not given
    QString owner;    // empty or e.g. "dbo"
    QString name;
};

struct ProcedureCall {
    ObjectName procedure;
    QStringList arguments;
};

struct Condition {
    QString column;
    bool like = false;
    QString value;
};

struct SelectAll {
    ObjectName table;
    QList<Condition> conditions;
};

using Command = std::variant<ProcedureCall, SelectAll>;

namespace CommandParser {
Command parse(const QString& text);
}
