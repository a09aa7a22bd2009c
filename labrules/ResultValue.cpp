#include "ResultValue.h"

#include <QLocale>
#include <QRegularExpression>

using LabLogic::Decimal;

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
    static const QRegularExpression written(
        QStringLiteral(R"(^(<=|>=|<|>)?\s*([+-]?)(\d+(\.\d*)?|\.\d+)$)"));
    if (const QRegularExpressionMatch m = written.match(v); m.hasMatch()) {
        if (m.captured(2) == QLatin1String("-") && !signedValues) {
            r.form = Form::Invalid;
            r.refusal = QStringLiteral("The result \"%1\" is below zero, which this exam cannot "
                                       "be.")
                            .arg(v);
            return r;
        }
        r.op = m.captured(1);
        r.form = r.op.isEmpty() ? Form::Number : Form::Censored;
        r.number = *Decimal::parse(m.captured(2) + m.captured(3));
        return r;
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
