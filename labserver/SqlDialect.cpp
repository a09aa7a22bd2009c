#include "SqlDialect.h"

// PostgreSQL: the laboratory's text keys use a nondeterministic collation,
// which refuses LIKE, strpos and regular expressions. Those pieces work on
// the column as text under "C", where lower() folds ASCII letters only, as
// SQLite's lower(), LIKE and NOCASE do.
namespace {
QString asPlainText(const QString& column)
{
    return QStringLiteral("CAST(%1 AS text) COLLATE \"C\"").arg(column);
}

QString boundPlainText()
{
    return QStringLiteral("CAST(? AS text) COLLATE \"C\"");
}

// The date part of a stored date-time, whether it is kept as text or as a
// timestamp.
QString datePart(const QString& expression)
{
    return QStringLiteral("CAST(%1 AS date)").arg(expression);
}
} // namespace

namespace SqlDialect {
QString equalsIgnoringCase(Engine engine, const QString& column)
{
    if (engine == Engine::SQLite)
        return column + QStringLiteral(" = rtrim(?) COLLATE NOCASE");
    return QStringLiteral("lower(%1) = lower(rtrim(%2))")
        .arg(asPlainText(column), boundPlainText());
}

QString keyEquals(Engine engine, const QString& column)
{
    if (engine == Engine::SQLite)
        return equalsIgnoringCase(engine, column);
    // The column's collation decides the comparison, and its index has it.
    return QStringLiteral("%1 = rtrim(CAST(? AS text))").arg(column);
}

QString likeIgnoringCase(Engine engine, const QString& column)
{
    if (engine == Engine::SQLite)
        return column + QStringLiteral(" LIKE ?");
    // PostgreSQL's LIKE would take a backslash as an escape; SQLite's has none.
    return QStringLiteral("lower(%1) LIKE lower(%2) ESCAPE ''")
        .arg(asPlainText(column), boundPlainText());
}

QString containsIgnoringCase(Engine engine, const QString& column)
{
    if (engine == Engine::SQLite)
        return QStringLiteral("instr(lower(%1), lower(?)) > 0").arg(column);
    return QStringLiteral("strpos(lower(%1), lower(%2)) > 0")
        .arg(asPlainText(column), boundPlainText());
}

QString dayOf(Engine engine, const QString& column)
{
    // The embedded laboratory keeps "yyyy-MM-dd HH:mm:ss": the day leads.
    if (engine == Engine::SQLite)
        return QStringLiteral("substr(%1, 1, 10)").arg(column);
    return QStringLiteral("CAST(%1 AS date)").arg(column);
}

QString byIndex(Engine engine, const QString& index)
{
    return engine == Engine::SQLite ? QStringLiteral(" INDEXED BY %1").arg(index) : QString();
}

QString ageInYears(Engine engine, const QString& birth, const QString& at)
{
    // Years between the dates, one less while the birthday is still to come.
    if (engine == Engine::SQLite)
        return QStringLiteral("(CAST(strftime('%Y', %2) AS INTEGER) - "
                              "CAST(strftime('%Y', %1) AS INTEGER)) - "
                              "(strftime('%m-%d', %2) < strftime('%m-%d', %1))")
            .arg(birth, at);
    const QString b = datePart(birth);
    const QString a = datePart(at);
    return QStringLiteral("CAST(extract(year from %2) - extract(year from %1) AS integer) - "
                          "CASE WHEN extract(month from %2) * 100 + extract(day from %2) < "
                          "extract(month from %1) * 100 + extract(day from %1) THEN 1 ELSE 0 END")
        .arg(b, a);
}

QString emptyWhenNull(Engine engine, const QString& expression)
{
    // SQLite keeps a number a number; PostgreSQL wants one type for both.
    if (engine == Engine::SQLite)
        return QStringLiteral("coalesce(%1, '')").arg(expression);
    return QStringLiteral("coalesce(CAST(%1 AS text), '')").arg(expression);
}

QString naturalOrder(Engine engine, const QString& column)
{
    // SQLite's CAST to INTEGER reads the leading number, after blanks and a
    // sign, and answers 0 without one; the column itself compares NOCASE.
    if (engine == Engine::SQLite)
        return QStringLiteral("%1 GLOB '*[^0-9]*', CAST(%1 AS INTEGER), %1").arg(column);
    const QString text = asPlainText(column);
    return QStringLiteral("%1 ~ '[^0-9]' NULLS FIRST, "
                          "coalesce(CAST(substring(%1 from '^[[:space:]]*[-+]?[0-9]+') AS "
                          "numeric), 0) NULLS FIRST, lower(%1) NULLS FIRST")
        .arg(text);
}
} // namespace SqlDialect
