#pragma once

#include <QString>
#include <compare>
#include <optional>
#include <string>

// The laboratory's own rules, kept apart from storage so they can be
// checked on their own.
namespace LabLogic {
// A value as the hospital's staff and instruments write numbers: blanks
// around it allowed, a decimal point, no thousands separators.
std::optional<double> number(const QString& text);

// A number exactly as it is written. Cut-offs, grey zones and limits are
// decided on these: in binary, 1.1 - 1.0 is more than 0.1 and 1.0 - 0.9
// less, which would put the two edges of a grey zone on different sides.
class Decimal {
public:
    Decimal() = default; // zero
    // The shortest decimal that reads back as the double: the number as it
    // was written before the database stored it as REAL.
    Decimal(double value);

    // The number of a text that number() reads; nullopt for any other text.
    static std::optional<Decimal> parse(const QString& text);

    Decimal operator+(const Decimal& other) const;
    Decimal operator-(const Decimal& other) const;
    Decimal operator*(const Decimal& other) const;
    Decimal abs() const;
    bool isZero() const { return m_digits.empty(); }
    // Rounded half away from zero to the decimals, and written with exactly
    // that many ("2.50", never "-0.0").
    QString fixed(int decimals) const;
    // As written, with at least the decimals ("1" -> "1.0", "0.05" stays).
    QString text(int minDecimals = 0) const;

    friend std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);
    friend bool operator==(const Decimal& a, const Decimal& b)
    {
        return (a <=> b) == std::strong_ordering::equal;
    }

private:
    Decimal rounded(int decimals) const;
    void normalise();

    bool m_negative = false;
    std::string m_digits; // most significant first, no zeros at either end; empty for zero
    int m_exponent = 0;   // the value is m_digits x 10^m_exponent
};
std::strong_ordering operator<=>(const Decimal& a, const Decimal& b);

struct CutOffRule {
    Decimal cutOff;
    bool reactiveAtOrAbove = true; // otherwise reactive at or below the cut-off
    QString positiveLabel = QStringLiteral("POSITIVE");
    QString negativeLabel = QStringLiteral("NEGATIVE");
    Decimal greyZone; // values this close to the cut-off, both edges included, are equivocal
};

// The interpretation of a value: the label pair of the rule for a number,
// "EQUIVOCAL" inside the grey zone, the text itself when it is no number.
QString interpret(const QString& value, const CutOffRule& rule);

// The interpretation of a cut-off result, one rule for saving, reopening
// and printing: a number (the value, or without one the result handed with
// it, as an instrument's) read by the rule; a word typed for the value as
// typed. Without a rule a number stays as it is.
QString interpretResult(const QString& value, const QString& result,
                        const std::optional<CutOffRule>& rule);

// A number with a fixed count of decimals, as reports print it.
QString fixed(double value, int decimals);
// "min - max"; a missing limit is left out ("< max", "> min"), none gives "".
QString range(std::optional<double> min, std::optional<double> max, int decimals);
// The conventional value of an SI value: SI x factor, rounded to decimals.
// Empty when the SI value is no number or there is no factor.
QString toConventional(const QString& siValue, std::optional<double> factor, int decimals);
// The conventional result of a normal-value result, one rule for saving,
// reopening and printing: the SI result converted whenever it is a number
// and there is a factor, so a corrected SI result never keeps the old
// conventional one; otherwise the conventional result as given, never
// converted a second time.
QString conventionalResult(const QString& siResult, const QString& conventional,
                           std::optional<double> factor, int decimals);
} // namespace LabLogic
