#pragma once

#include <QString>
#include <QStringList>
#include <initializer_list>
#include <optional>

// The one way a command text is put together: a procedure's name and its
// arguments, each between single quotes with embedded quotes doubled. The
// joins between arguments are kept exactly as each command has always been
// sent (most with ", ", some with a bare ",", one with " , "), since support
// staff and the traces compare texts byte for byte.
namespace CommandText {

enum class Join {
    Spaced, // ", '"
    Tight,  // ",'"
    Loose,  // " , '"
};

struct Arg {
    Arg(const QString& v)
        : value(v)
    {
    }
    Arg(const char* v)
        : value(QString::fromUtf8(v))
    {
    }
    Arg(const QString& v, Join j)
        : value(v)
        , join(j)
    {
    }
    QString value;
    std::optional<Join> join; // the call's own join when not set
};

// An argument joined to the one before it differently from the rest.
inline Arg tight(const QString& v)
{
    return Arg(v, Join::Tight);
}
inline Arg spaced(const QString& v)
{
    return Arg(v, Join::Spaced);
}
inline Arg loose(const QString& v)
{
    return Arg(v, Join::Loose);
}

// "name 'a', 'b'"; just the name without arguments.
QString call(const QString& name, const QList<Arg>& args, Join join = Join::Spaced);
inline QString call(const QString& name, std::initializer_list<Arg> args, Join join = Join::Spaced)
{
    return call(name, QList<Arg>(args), join);
}
QString call(const QString& name, const QStringList& args, Join join = Join::Spaced);

// The value between single quotes, embedded quotes doubled.
QString quoted(const QString& value);

// A select's text with %1..%9 replaced by the values quoted, in one pass:
// a value's own "%2" is never replaced again.
QString select(const QString& text, const QStringList& values);

} // namespace CommandText
