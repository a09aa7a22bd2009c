#pragma once

#include "platform/db/DbDriver.h"

#include <QDateTime>
#include <functional>

class LabStore;

// What a stored procedure gets: the store and its text arguments, with
// readers that refuse a bad argument with an error naming the procedure and
// the argument.
class ProcedureContext {
public:
    ProcedureContext(LabStore& store, QString procedure, QStringList arguments)
        : m_store(store)
        , m_procedure(std::move(procedure))
        , m_arguments(std::move(arguments))
    {
    }

    LabStore& store() const { return m_store; }
    const QString& procedure() const { return m_procedure; }
    int count() const { return int(m_arguments.size()); }

    // Argument i (from 0) as sent; key values without trailing blanks.
    QString text(int i) const;
    QString key(int i) const;
    // Empty text is no date: error. `name` is the argument's name in errors.
    QDateTime dateTime(int i, const QString& name) const;
    // Empty text gives an invalid date-time (stored as Null).
    QDateTime optionalDateTime(int i, const QString& name) const;
    int integer(int i, const QString& name) const;

    [[noreturn]] void fail(const QString& message) const;

private:
    LabStore& m_store;
    QString m_procedure;
    QStringList m_arguments;
};

// A writer takes the write lock before its first read, so it waits for
// another workstation's save instead of failing; a reader never waits and
// is refused any write. Unmarked procedures write: the safe side.
enum class ProcedureAccess { Writes, Reads };

struct ProcedureDef {
    QString name;
    int minArguments;
    int maxArguments;
    std::function<ResultSet(ProcedureContext&)> body;
    ProcedureAccess access = ProcedureAccess::Writes;
};

namespace ProcedureRegistry {
void add(ProcedureDef def);
// nullptr for a name no procedure has (names compare without case).
const ProcedureDef* find(const QString& name);
} // namespace ProcedureRegistry
