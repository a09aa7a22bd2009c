#include "InterpretationShade.h"

#include <QBrush>
#include <QRegularExpression>
#include <QTableWidgetItem>

namespace {
// A label is a word of its own: neither letters, digits nor a hyphen on
// either side, so "NON-REACTIVE" holds no "REACTIVE".
QRegularExpression word(const QString& alternatives)
{
    return QRegularExpression(
        QStringLiteral("(?<![\\w-])(?:") + alternatives + QStringLiteral(")(?![\\w-])"),
        QRegularExpression::CaseInsensitiveOption | QRegularExpression::UseUnicodePropertiesOption);
}
} // namespace

InterpretationShade::Kind InterpretationShade::of(const QString& interpretation)
{
    // The negative words first: "NON REACTIVE" written apart is still negative.
    static const QRegularExpression nonReactive = word(QStringLiteral("NON[- ]?REACTIVE|NEGATIVE"));
    static const QRegularExpression equivocal = word(QStringLiteral("EQUIVOCAL"));
    static const QRegularExpression reactive = word(QStringLiteral("REACTIVE|POSITIVE"));
    if (nonReactive.match(interpretation).hasMatch())
        return NonReactive;
    if (equivocal.match(interpretation).hasMatch())
        return Equivocal;
    if (reactive.match(interpretation).hasMatch())
        return Reactive;
    return None;
}

QColor InterpretationShade::textColor(Kind kind)
{
    switch (kind) {
    case Reactive:
        return QColor(0xa8, 0x10, 0x10);
    case Equivocal:
        return QColor(0x80, 0x52, 0x00);
    case NonReactive:
        return QColor(0x1b, 0x5e, 0x20);
    case None:
        break;
    }
    return QColor();
}

QColor InterpretationShade::background(Kind kind)
{
    switch (kind) {
    case Reactive: // a warm red, apart from the pink of the re-check legend
        return QColor(0xfd, 0xdc, 0xd6);
    case Equivocal:
        return QColor(0xff, 0xf3, 0xc4);
    case NonReactive:
        return QColor(0xdf, 0xf2, 0xe0);
    case None:
        break;
    }
    return QColor();
}

void InterpretationShade::apply(QTableWidgetItem* cell)
{
    if (!cell)
        return;
    const Kind kind = of(cell->text());
    const auto set = [cell](int role, const QColor& color) {
        const QVariant wanted = color.isValid() ? QVariant(QBrush(color)) : QVariant();
        // Setting what the cell has already would tell the grid of a change.
        if (cell->data(role) != wanted)
            cell->setData(role, wanted);
    };
    set(Qt::ForegroundRole, textColor(kind));
    set(Qt::BackgroundRole, background(kind));
}
