#include "ProcedureRegistry.h"
#include "platform/CommandExcerpt.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

#include <QHash>

namespace {
QHash<QString, ProcedureDef>& procedures()
{
    static QHash<QString, ProcedureDef> all;
    return all;
}

QString withoutTrailingBlanks(const QString& s)
{
    qsizetype end = s.size();
    while (end > 0 && s.at(end - 1).isSpace())
        --end;
    return s.left(end);
}
} // namespace

QString ProcedureContext::text(int i) const
{
    // An empty argument is empty text, stored as such, never as Null.
    const QString v = m_arguments.value(i);
    return v.isNull() ? QStringLiteral("") : v;
}

QString ProcedureContext::key(int i) const
{
    return withoutTrailingBlanks(text(i));
}

void ProcedureContext::fail(const QString& message) const
{
    throw LisError(ErrNo::DbCommandFailed,
                   QStringLiteral("Procedure %1: %2").arg(m_procedure, message));
}

QDateTime ProcedureContext::dateTime(int i, const QString& name) const
{
    auto dt = DateText::parse(text(i));
    if (!dt)
        fail(QStringLiteral("argument %1 (%2) %3 is not a date.")
                 .arg(i + 1)
                 .arg(name, commandExcerpt(text(i))));
    return *dt;
}

QDateTime ProcedureContext::optionalDateTime(int i, const QString& name) const
{
    if (text(i).trimmed().isEmpty())
        return {};
    return dateTime(i, name);
}

int ProcedureContext::integer(int i, const QString& name) const
{
    bool ok = false;
    const int v = text(i).trimmed().toInt(&ok);
    if (!ok)
        fail(QStringLiteral("argument %1 (%2) %3 is not a whole number.")
                 .arg(i + 1)
                 .arg(name, commandExcerpt(text(i))));
    return v;
}

void ProcedureRegistry::add(ProcedureDef def)
{
    const QString key = def.name.toLower();
    procedures().insert(key, std::move(def));
}

const ProcedureDef* ProcedureRegistry::find(const QString& name)
{
    auto it = procedures().constFind(name.toLower());
    return it == procedures().constEnd() ? nullptr : &it.value();
}
