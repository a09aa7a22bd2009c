#include "CommandExcerpt.h"

namespace {
constexpr qsizetype kShown = 40;

bool shownAsIs(char32_t c)
{
    // Line and paragraph separators count as printable but break lines.
    return c != U'\\' && c != 0x2028 && c != 0x2029 && QChar::isPrint(c);
}

QString escaped(char32_t c)
{
    switch (c) {
    case U'\\':
        return QStringLiteral("\\\\");
    case U'\n':
        return QStringLiteral("\\n");
    case U'\r':
        return QStringLiteral("\\r");
    case U'\t':
        return QStringLiteral("\\t");
    default:
        break;
    }
    const auto hex = [c](int digits) {
        return QString::number(uint(c), 16).toUpper().rightJustified(digits, QLatin1Char('0'));
    };
    if (c < 0x100)
        return QStringLiteral("\\x") + hex(2);
    if (c < 0x10000)
        return QStringLiteral("\\u") + hex(4);
    return QStringLiteral("\\U") + hex(8);
}
} // namespace

QString commandExcerpt(QStringView piece)
{
    QString shown;
    qsizetype characters = 0;
    bool cut = false;
    for (qsizetype i = 0; i < piece.size(); ++i) {
        char32_t c = piece.at(i).unicode();
        // A lone surrogate stays one (escaped) character.
        if (QChar::isHighSurrogate(c) && i + 1 < piece.size() && piece.at(i + 1).isLowSurrogate()) {
            c = QChar::surrogateToUcs4(piece.at(i), piece.at(i + 1));
            ++i;
        }
        ++characters;
        if (cut)
            continue;
        const QString next = shownAsIs(c) ? QString::fromUcs4(&c, 1) : escaped(c);
        if (shown.size() + next.size() > kShown)
            cut = true;
        else
            shown += next;
    }
    if (!cut)
        return QLatin1Char('\'') + shown + QLatin1Char('\'');
    // One arg() call: a second would replace a "%1" inside the excerpt.
    return QStringLiteral("'%1...' (%2 characters)").arg(shown, QString::number(characters));
}
