#include "LabLogic.h"
#include "labrules/Numeric.h"
#include "labrules/ResultValue.h"

#include <QRegularExpression>
#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace {
// Whole numbers as digit strings, most significant first, no leading zeros
// ("" is zero): what the decimals add, subtract and compare.
int compareDigits(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return a.size() < b.size() ? -1 : 1;
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string addDigits(const std::string& a, const std::string& b)
{
    std::string sum;
    int carry = 0;
    for (size_t i = 0; i < std::max(a.size(), b.size()) || carry; ++i) {
        const int da = i < a.size() ? a[a.size() - 1 - i] - '0' : 0;
        const int db = i < b.size() ? b[b.size() - 1 - i] - '0' : 0;
        const int d = da + db + carry;
        sum.push_back(char('0' + d % 10));
        carry = d / 10;
    }
    std::reverse(sum.begin(), sum.end());
    return sum;
}

// a - b for a >= b.
std::string subtractDigits(const std::string& a, const std::string& b)
{
    std::string difference;
    int borrow = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        int d =
            (a[a.size() - 1 - i] - '0') - borrow - (i < b.size() ? b[b.size() - 1 - i] - '0' : 0);
        borrow = d < 0 ? 1 : 0;
        difference.push_back(char('0' + d + 10 * borrow));
    }
    std::reverse(difference.begin(), difference.end());
    return difference;
}

// Numbers written beyond this are taken as their double: a text of a few
// characters ("1e-99999") must not become a string of that many zeros.
constexpr int kWrittenExponentLimit = 400;

// The form nearly every value has, "-12.40": an optional minus, digits, and
// a point with digits after it. Read by hand, since a value is read several
// times a row saved or shown; anything else (a plus, "5.", ".5", an exponent,
// a long text) is left to the general reading. The digits and the exponent.
std::optional<std::pair<std::string, int>> plainDecimal(QStringView t, bool& negative)
{
    constexpr qsizetype kLongest = 40; // far from the doubles' limits
    qsizetype i = 0;
    negative = !t.isEmpty() && t[0] == u'-';
    if (negative)
        ++i;
    std::string digits;
    int fraction = -1;
    for (; i < t.size() && i <= kLongest; ++i) {
        const char16_t c = t[i].unicode();
        if (c >= u'0' && c <= u'9') {
            digits.push_back(char(c));
            if (fraction >= 0)
                ++fraction;
        } else if (c == u'.' && fraction < 0 && !digits.empty()) {
            fraction = 0;
        } else {
            return std::nullopt;
        }
    }
    if (i < t.size() || digits.empty() || fraction == 0)
        return std::nullopt;
    return std::make_pair(std::move(digits), fraction > 0 ? -fraction : 0);
}
} // namespace

std::optional<double> LabLogic::number(const QString& text)
{
    return numeric(text);
}

std::optional<LabLogic::Decimal> LabLogic::Decimal::parse(const QString& text)
{
    Decimal plain;
    if (auto p = plainDecimal(QStringView(text).trimmed(), plain.m_negative)) {
        plain.m_digits = std::move(p->first);
        plain.m_exponent = p->second;
        plain.normalise();
        return plain;
    }
    const std::optional<double> n = number(text);
    if (!n)
        return std::nullopt;
    static const QRegularExpression written(
        QStringLiteral("^([+-]?)([0-9]*)(?:\\.([0-9]*))?(?:[eE]([+-]?[0-9]{1,6}))?$"));
    const QRegularExpressionMatch m = written.match(text.trimmed());
    // Anything else the number reader takes is read as its double.
    if (!m.hasMatch() || m.capturedLength(2) + m.capturedLength(3) == 0)
        return Decimal(*n);
    Decimal d;
    d.m_negative = m.captured(1) == QLatin1String("-");
    d.m_digits = (m.captured(2) + m.captured(3)).toStdString();
    d.m_exponent = m.captured(4).toInt() - int(m.capturedLength(3));
    d.normalise();
    if (!d.isZero() && (d.m_exponent < -kWrittenExponentLimit ||
                        d.m_exponent + int(d.m_digits.size()) > kWrittenExponentLimit))
        return Decimal(*n);
    return d;
}

LabLogic::Decimal::Decimal(double value)
{
    if (!std::isfinite(value))
        return; // no number
    // The fewest digits that read back as the double ("-1.5e-07"; fixed
    // notation would write a large whole number's every digit).
    char text[32];
    const std::to_chars_result written =
        std::to_chars(text, text + sizeof text, value, std::chars_format::scientific);
    const std::string_view s(text, size_t(written.ptr - text));
    size_t i = 0;
    m_negative = !s.empty() && s[0] == '-';
    if (m_negative)
        ++i;
    int fraction = 0;
    bool afterPoint = false;
    for (; i < s.size() && s[i] != 'e'; ++i) {
        if (s[i] == '.') {
            afterPoint = true;
            continue;
        }
        m_digits.push_back(s[i]);
        if (afterPoint)
            ++fraction;
    }
    int exponent = 0;
    if (i < s.size())
        std::from_chars(s.data() + i + 1 + (s[i + 1] == '+' ? 1 : 0), s.data() + s.size(),
                        exponent);
    m_exponent = exponent - fraction;
    normalise();
}

void LabLogic::Decimal::normalise()
{
    const size_t first = m_digits.find_first_not_of('0');
    if (first == std::string::npos) {
        *this = Decimal();
        return;
    }
    const size_t last = m_digits.find_last_not_of('0');
    m_exponent += int(m_digits.size() - 1 - last);
    m_digits = m_digits.substr(first, last - first + 1);
}

std::strong_ordering LabLogic::operator<=>(const Decimal& a, const Decimal& b)
{
    if (a.m_negative != b.m_negative)
        return a.m_negative ? std::strong_ordering::less : std::strong_ordering::greater;
    int magnitude;
    if (a.isZero() || b.isZero()) {
        magnitude = a.isZero() ? (b.isZero() ? 0 : -1) : 1;
    } else {
        // Without zeros at either end, the place of the first digit decides
        // first, then the digits from there.
        const int placeA = a.m_exponent + int(a.m_digits.size());
        const int placeB = b.m_exponent + int(b.m_digits.size());
        if (placeA != placeB) {
            magnitude = placeA < placeB ? -1 : 1;
        } else {
            const int c = a.m_digits.compare(b.m_digits);
            magnitude = c < 0 ? -1 : c > 0 ? 1 : 0;
        }
    }
    if (a.m_negative)
        magnitude = -magnitude;
    return magnitude < 0   ? std::strong_ordering::less
           : magnitude > 0 ? std::strong_ordering::greater
                           : std::strong_ordering::equal;
}

LabLogic::Decimal LabLogic::Decimal::operator+(const Decimal& other) const
{
    if (isZero())
        return other;
    if (other.isZero())
        return *this;
    const int exponent = std::min(m_exponent, other.m_exponent);
    const std::string a = m_digits + std::string(size_t(m_exponent - exponent), '0');
    const std::string b = other.m_digits + std::string(size_t(other.m_exponent - exponent), '0');
    Decimal sum;
    sum.m_exponent = exponent;
    if (m_negative == other.m_negative) {
        sum.m_digits = addDigits(a, b);
        sum.m_negative = m_negative;
    } else {
        const int c = compareDigits(a, b);
        if (c == 0)
            return Decimal();
        sum.m_digits = c > 0 ? subtractDigits(a, b) : subtractDigits(b, a);
        sum.m_negative = c > 0 ? m_negative : other.m_negative;
    }
    sum.normalise();
    return sum;
}

LabLogic::Decimal LabLogic::Decimal::operator-(const Decimal& other) const
{
    Decimal negated = other;
    negated.m_negative = !other.m_negative && !other.isZero();
    return *this + negated;
}

LabLogic::Decimal LabLogic::Decimal::operator*(const Decimal& other) const
{
    if (isZero() || other.isZero())
        return Decimal();
    std::vector<int> places(m_digits.size() + other.m_digits.size(), 0);
    for (size_t i = 0; i < m_digits.size(); ++i)
        for (size_t j = 0; j < other.m_digits.size(); ++j)
            places[i + j + 1] += (m_digits[i] - '0') * (other.m_digits[j] - '0');
    for (size_t k = places.size() - 1; k > 0; --k) {
        places[k - 1] += places[k] / 10;
        places[k] %= 10;
    }
    Decimal product;
    for (int d : places)
        product.m_digits.push_back(char('0' + d));
    product.m_exponent = m_exponent + other.m_exponent;
    product.m_negative = m_negative != other.m_negative;
    product.normalise();
    return product;
}

LabLogic::Decimal LabLogic::Decimal::abs() const
{
    Decimal magnitude = *this;
    magnitude.m_negative = false;
    return magnitude;
}

LabLogic::Decimal LabLogic::Decimal::rounded(int decimals) const
{
    if (isZero() || m_exponent >= -decimals)
        return *this;
    const size_t dropped = size_t(-decimals - m_exponent);
    if (dropped > m_digits.size())
        return Decimal(); // less than half of the last place kept
    std::string kept = m_digits.substr(0, m_digits.size() - dropped);
    if (m_digits[m_digits.size() - dropped] >= '5')
        kept = addDigits(kept, "1");
    Decimal r;
    r.m_negative = m_negative;
    r.m_digits = kept;
    r.m_exponent = -decimals;
    r.normalise();
    return r;
}

QString LabLogic::Decimal::fixed(int decimals) const
{
    decimals = std::max(decimals, 0);
    const Decimal r = rounded(decimals);
    std::string s = r.m_digits + std::string(size_t(r.m_exponent + decimals), '0');
    if (s.size() < size_t(decimals) + 1)
        s.insert(0, size_t(decimals) + 1 - s.size(), '0');
    if (decimals > 0)
        s.insert(s.size() - size_t(decimals), ".");
    if (r.m_negative)
        s.insert(0, "-");
    return QString::fromStdString(s);
}

QString LabLogic::Decimal::text(int minDecimals) const
{
    return fixed(std::max(minDecimals, -m_exponent));
}

QString LabLogic::interpret(const QString& value, const CutOffRule& rule)
{
    const ResultValue::Read v = ResultValue::read(value, {}, true);
    if (!v.hasNumber())
        return value;
    using namespace ResultValue;
    const Decimal low = rule.cutOff - rule.greyZone;
    const Decimal high = rule.cutOff + rule.greyZone;
    const bool grey = rule.greyZone > Decimal();
    if (grey && allAtLeast(v, low) && allAtMost(v, high))
        return QStringLiteral("EQUIVOCAL");
    // Beyond the grey zone on the reactive side, or short of it on the
    // other; a censored value whose bound leaves both open decides nothing.
    const bool above = grey ? allAbove(v, high) : allAtLeast(v, rule.cutOff);
    const bool aboveOther = grey ? allAbove(v, high) : allAbove(v, rule.cutOff);
    const bool below = grey ? allBelow(v, low) : allBelow(v, rule.cutOff);
    const bool belowOther = grey ? allBelow(v, low) : allAtMost(v, rule.cutOff);
    if (rule.reactiveAtOrAbove ? above : belowOther)
        return rule.positiveLabel;
    if (rule.reactiveAtOrAbove ? below : aboveOther)
        return rule.negativeLabel;
    return QString();
}

QString LabLogic::interpretResult(const QString& value, const QString& result,
                                  const std::optional<CutOffRule>& rule)
{
    const QString entry = value.trimmed().isEmpty() ? result : value;
    if (!rule || !ResultValue::read(entry, {}, true).hasNumber())
        return entry;
    return interpret(entry, *rule);
}

QString LabLogic::fixed(double value, int decimals)
{
    // Rounded as the number is written, half away from zero as laboratories
    // round: 1.005 is 1.01, though its double is a little less.
    return Decimal(value).fixed(decimals);
}

QString LabLogic::range(std::optional<double> min, std::optional<double> max, int decimals)
{
    if (min && max)
        return fixed(*min, decimals) + QStringLiteral(" - ") + fixed(*max, decimals);
    if (max)
        return QStringLiteral("< ") + fixed(*max, decimals);
    if (min)
        return QStringLiteral("> ") + fixed(*min, decimals);
    return QString();
}

QString LabLogic::toConventional(const QString& siValue, std::optional<double> factor, int decimals)
{
    // The exact product, rounded once: only the printed value is rounded. A
    // censored value keeps its sign ("<0.5" mmol/L is "<9" mg/dL).
    if (!factor)
        return QString();
    return ResultValue::scaled(ResultValue::read(siValue, {}, true), Decimal(*factor), decimals);
}

QString LabLogic::conventionalResult(const QString& siResult, const QString& conventional,
                                     std::optional<double> factor, int decimals)
{
    const QString derived = toConventional(siResult, factor, decimals);
    return derived.isEmpty() ? conventional : derived;
}
