#include "CommandText.h"
#include "platform/SqlText.h"

namespace CommandText {

namespace {
QString separator(Join join)
{
    switch (join) {
    case Join::Tight:
        return QStringLiteral(",");
    case Join::Loose:
        return QStringLiteral(" , ");
    case Join::Spaced:
        break;
    }
    return QStringLiteral(", ");
}
} // namespace

QString quoted(const QString& value)
{
    return QLatin1Char('\'') + sqlLiteral(value) + QLatin1Char('\'');
}

QString call(const QString& name, const QList<Arg>& args, Join join)
{
    QString text = name;
    for (qsizetype i = 0; i < args.size(); ++i) {
        text += i == 0 ? QStringLiteral(" ") : separator(args[i].join.value_or(join));
        text += quoted(args[i].value);
    }
    return text;
}

QString call(const QString& name, const QStringList& args, Join join)
{
    QList<Arg> all;
    all.reserve(args.size());
    for (const QString& a : args)
        all.append(Arg(a));
    return call(name, all, join);
}

QString select(const QString& text, const QStringList& values)
{
    QString out;
    out.reserve(text.size() + 16);
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('%') && i + 1 < text.size() && text[i + 1] >= QLatin1Char('1') &&
            text[i + 1] <= QLatin1Char('9')) {
            const int n = text[i + 1].digitValue() - 1;
            if (n < values.size()) {
                out += quoted(values[n]);
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

} // namespace CommandText
