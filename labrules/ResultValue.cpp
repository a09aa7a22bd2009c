#include "ResultValue.h"

#include <QLocale>
#include <QRegularExpression>

using LabLogic::Decimal;

namespace {
struct Written {
    QString op;
    QString sign;
    QStringView body;
};

bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// A comparison, blanks, a sign and digits with an optional point ("<= 12.4",
// "-3", ".5", "5."): read by hand, since a value is read several times a row
// saved or shown.
std::optional<Written> written(QStringView v)
{
    Written w;
    for (const char* op : {"<=", ">=", "<", ">"})
        if (v.startsWith(QLatin1String(op))) {
            w.op = QLatin1String(op);
            v = v.mid(w.op.size());
            break;
        }
    while (!v.isEmpty() && QStringView(u" \t\n\v\f\r").contains(v.front()))
        v = v.mid(1);
    if (!v.isEmpty() && (v.front() == u'+' || v.front() == u'-')) {
        w.sign = v.front();
        v = v.mid(1);
    }
    qsizetype i = 0;
    while (i < v.size() && isDigit(v[i]))
        ++i;
    const qsizetype before = i;
    if (i < v.size() && v[i] == u'.')
        ++i;
    const qsizetype point = i;
    while (i < v.size() && isDigit(v[i]))
        ++i;
    if (i != v.size() || (before == 0 && i == point))
        return std::nullopt;
    w.body = v;
    return w;
}
} // namespace

namespace ResultValue {
const QStringList& commonWords()
{
    static const QStringList words = {QStringLiteral("POSITIVE"), QStringLiteral("NEGATIVE"),
                                      QStringLiteral("REACTIVE"), QStringLiteral("NON-REACTIVE"),
                                      QStringLiteral("EQUIVOCAL")};
    return words;
}

Read read(const QString& text, const QStringList& ownWords, bool signedValues)
{
    Read r;
    const QString v = text.trimmed();
    if (v.isEmpty())
        return r;
    if (v.compare(u"NULL", Qt::CaseInsensitive) == 0) {
        r.form = Form::Null;
        return r;
    }
    if (commonWords().contains(v, Qt::CaseInsensitive) ||
        ownWords.contains(v, Qt::CaseInsensitive)) {
        r.form = Form::Word;
        return r;
    }
    if (const std::optional<Written> w = written(v)) {
        if (w->sign == u'-' && !signedValues) {
            r.form = Form::Invalid;
            r.refusal = QStringLiteral("The result \"%1\" is below zero, which this exam cannot "
                                       "be.")
                            .arg(v);
            return r;
        }
        // A number too large for any double is no result either.
        if (const std::optional<Decimal> n = Decimal::parse(w->sign + w->body.toString())) {
            r.op = w->op;
            r.form = r.op.isEmpty() ? Form::Number : Form::Censored;
            r.number = *n;
            return r;
        }
    }
    r.form = Form::Invalid;
    const QString lead = QStringLiteral("The result \"%1\" is not a number as written.\n").arg(v);
    static const QRegularExpression comma(QStringLiteral(R"(^(<=|>=|<|>)?[+-]?\d*,\d+$)"));
    static const QRegularExpression exponent(
        QStringLiteral(R"(^[+-]?(\d+(\.\d*)?|\.\d+)[eE][+-]?\d+$)"));
    if (comma.match(v).hasMatch())
        r.refusal = lead + QStringLiteral("Use a point: ") + QString(v).replace(u',', u'.');
    else if (exponent.match(v).hasMatch())
        r.refusal = lead + QStringLiteral("Write it out: ") +
                    QLocale::c().toString(QLocale::c().toDouble(v), 'f',
                                          QLocale::FloatingPointShortest);
    else
        r.refusal = lead + QStringLiteral("Use a number with a point (12.4), a word of F2-F5, "
                                          "NULL, or a value starting with < or >.");
    return r;
}

QString scaled(const Read& value, const Decimal& factor, int decimals)
{
    if (!value.hasNumber())
        return QString();
    return value.op + (value.number * factor).fixed(decimals);
}

// "<b" stands for the values below b, "<=b" for those up to b; ">" and ">="
// likewise above; a number for itself.
bool allBelow(const Read& v, const Decimal& x)
{
    if (v.form == Form::Number || v.op == QLatin1String("<="))
        return v.number < x;
    return v.op == QLatin1String("<") && v.number <= x;
}

bool allAtMost(const Read& v, const Decimal& x)
{
    return (v.form == Form::Number || v.op.startsWith(u'<')) && v.number <= x;
}

bool allAbove(const Read& v, const Decimal& x)
{
    if (v.form == Form::Number || v.op == QLatin1String(">="))
        return v.number > x;
    return v.op == QLatin1String(">") && v.number >= x;
}

bool allAtLeast(const Read& v, const Decimal& x)
{
    return (v.form == Form::Number || v.op.startsWith(u'>')) && v.number >= x;
}
} // namespace ResultValue
