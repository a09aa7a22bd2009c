#pragma once

#include "labrules/LabLogic.h"

#include <QString>
#include <QStringList>

// A result as staff and analysers may write it, and nothing else: a number
// with a point for decimals, a censored value ("<0.5", ">=1000"), one of the
// words of the function keys or of the item's own labels, or NULL.
namespace ResultValue {
enum class Form { Empty, Number, Censored, Word, Null, Invalid };

struct Read {
    Form form = Form::Empty;
    QString op;               // "<", "<=", ">", ">=" of a censored value
    LabLogic::Decimal number; // the number, or the bound of a censored value
    QString refusal;          // for Invalid: what is wrong and the form to use

    bool hasNumber() const { return form == Form::Number || form == Form::Censored; }
};

// The words every item takes besides its own labels.
const QStringList& commonWords();

// Reads a value. A minus sign is accepted only when signed is true (an
// item whose values may fall below zero).
Read read(const QString& text, const QStringList& ownWords = {}, bool signedValues = false);

// A censored value's bound scaled by a factor and rounded, keeping its
// sign ("<0.5" x 18.0156 at 0 decimals: "<9"); a number likewise; empty
// for anything else.
QString scaled(const Read& value, const LabLogic::Decimal& factor, int decimals);

// Where a value lies against a limit, taking a censored value by its bound:
// true only when every value it stands for does.
bool allBelow(const Read& v, const LabLogic::Decimal& x);
bool allAtMost(const Read& v, const LabLogic::Decimal& x);
bool allAbove(const Read& v, const LabLogic::Decimal& x);
bool allAtLeast(const Read& v, const LabLogic::Decimal& x);
} // namespace ResultValue
