// Printing a rendered report page by page: the page header and foot drawn
// on each page, and no table row split across two pages.
#include "Report.h"

#include <QAbstractTextDocumentLayout>
#include <QFontMetricsF>
#include <QPainter>
#include <QPrinter>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>

namespace {
// The first table row that starts on one page and ends on the next, as
// (table, row) counted in the document's order; (-1, -1) when none does.
std::pair<int, int> splitRow(QTextDocument& doc, qreal pageHeight)
{
    QAbstractTextDocumentLayout* layout = doc.documentLayout();
    doc.pageCount(); // lays the whole document out, which is otherwise done lazily
    int index = -1;
    for (QTextFrame* frame : doc.rootFrame()->childFrames()) {
        auto* table = qobject_cast<QTextTable*>(frame);
        if (!table)
            continue;
        ++index;
        for (int r = 0; r < table->rows(); ++r) {
            qreal top = 1e12, bottom = -1;
            for (int c = 0; c < table->columns(); ++c) {
                const QTextTableCell cell = table->cellAt(r, c);
                for (QTextBlock b = doc.findBlock(cell.firstPosition());
                     b.isValid() && b.position() <= cell.lastPosition(); b = b.next()) {
                    const QTextLayout* lines = b.layout();
                    if (!lines || lines->lineCount() == 0)
                        continue;
                    const qreal y = layout->blockBoundingRect(b).top();
                    const QTextLine last = lines->lineAt(lines->lineCount() - 1);
                    top = qMin(top, y + lines->lineAt(0).y());
                    bottom = qMax(bottom, y + last.y() + last.height());
                }
            }
            if (bottom < 0 || bottom - top >= pageHeight)
                continue;
            if (int(top / pageHeight) != int((bottom - 1) / pageHeight))
                return {index, r};
        }
    }
    return {-1, -1};
}

// The report's HTML with the table ended before the row and continued on
// the next page, its header row repeated; a table split at its first row
// moves whole. Tables of a report are never nested.
QString splitAt(const QString& html, int table, int row)
{
    static const QRegularExpression open(QStringLiteral("<table[^>]*>"));
    auto it = open.globalMatch(html);
    QRegularExpressionMatch m;
    for (int i = 0; i <= table && it.hasNext(); ++i)
        m = it.next();
    if (!m.hasMatch())
        return html;
    const QString tag = m.captured(0);
    const QString broken =
        QString(tag).insert(tag.size() - 1, QStringLiteral(" style=\"page-break-before:always\""));
    if (row == 0)
        return QString(html).replace(m.capturedStart(), tag.size(), broken);
    const qsizetype end = html.indexOf(QStringLiteral("</table>"), m.capturedEnd());
    const qsizetype headEnd = html.indexOf(QStringLiteral("</thead>"), m.capturedEnd());
    const bool headed = headEnd >= 0 && headEnd < end;
    const QString head =
        headed ? html.mid(m.capturedEnd(), headEnd + 8 - m.capturedEnd()) : QString();
    // Row r of the document's table is the r-th <tr> after the opening tag.
    qsizetype at = m.capturedEnd();
    for (int r = 0; r <= row; ++r) {
        at = html.indexOf(QStringLiteral("<tr"), at + (r == 0 ? 0 : 3));
        if (at < 0 || at > end)
            return html;
    }
    return QString(html).insert(at, QStringLiteral("</table>") + broken + head);
}
// Where a printed page's parts go, in the printer's units.
struct PageFrame {
    QRectF page;
    qreal scale;  // printer dots to the document's own 96 dpi units
    qreal margin; // 1.5 cm
    qreal band;   // above and below the text: the page header and foot
    qreal line;

    // Frame margins are in the document's own 96 dpi units, which the
    // layout scales to the printer; the page and what is drawn here are in
    // the printer's.
    void layOut(QTextDocument& doc, QPaintDevice* device) const
    {
        doc.documentLayout()->setPaintDevice(device);
        QTextFrameFormat frame = doc.rootFrame()->frameFormat();
        frame.setLeftMargin(margin / scale);
        frame.setRightMargin(margin / scale);
        frame.setTopMargin((margin + band) / scale);
        frame.setBottomMargin((margin + band) / scale);
        doc.rootFrame()->setFrameFormat(frame);
        doc.setPageSize(page.size());
    }
};

// A row split between pages goes to the next page whole: its table is
// ended before it and continued there. Each split moves what follows, so
// the layout is redone after each.
std::unique_ptr<QTextDocument> keepRowsWhole(std::unique_ptr<QTextDocument> doc, QString html,
                                             const QFont& defaultFont, const PageFrame& frame,
                                             QPaintDevice* device)
{
    for (int i = 0; i < 500 && !html.isEmpty(); ++i) {
        const auto [table, row] = splitRow(*doc, frame.page.height());
        if (table < 0)
            break;
        html = splitAt(html, table, row);
        doc = std::make_unique<QTextDocument>();
        doc->setDefaultFont(defaultFont);
        doc->setHtml(html);
        frame.layOut(*doc, device);
    }
    return doc;
}

void drawPage(QPainter& painter, QTextDocument& doc, const PageFrame& f, int p, int pages,
              const QString& header, const QFont& font)
{
    const QRectF& page = f.page;
    painter.save();
    painter.translate(0, -p * page.height());
    QAbstractTextDocumentLayout::PaintContext ctx;
    ctx.clip = QRectF(0, p * page.height(), page.width(), page.height());
    painter.setClipRect(ctx.clip);
    doc.documentLayout()->draw(&painter, ctx);
    painter.restore();
    painter.setFont(font);
    const QRectF top(f.margin, f.margin, page.width() - 2 * f.margin, f.band);
    const QRectF foot(f.margin, page.height() - f.margin - f.line, page.width() - 2 * f.margin,
                      f.line);
    if (!header.isEmpty())
        painter.drawText(top, Qt::AlignLeft | Qt::AlignTop, header);
    painter.drawText(foot, Qt::AlignRight | Qt::AlignBottom,
                     QStringLiteral("Page %1 of %2").arg(p + 1).arg(pages));
}
} // namespace

void Report::printDocument(const QTextDocument& document, QPrinter* printer)
{
    QPainter painter(printer);
    if (!painter.isActive())
        return;
    std::unique_ptr<QTextDocument> doc(document.clone());
    const qreal dpi = painter.device()->logicalDpiY();
    const QFont font = doc->defaultFont();
    const QFontMetricsF metrics(font, painter.device());
    const PageFrame frame{QRectF(0, 0, printer->width(), printer->height()), dpi / 96.0,
                          dpi * 1.5 / 2.54, metrics.height() * 2, metrics.height()};
    frame.layOut(*doc, painter.device());
    doc = keepRowsWhole(std::move(doc), document.property("reportHtml").toString(),
                        document.defaultFont(), frame, painter.device());

    const QString header = document.property("pageHeader").toString();
    const int pages = doc->pageCount();
    for (int p = 0; p < pages; ++p) {
        if (p > 0)
            printer->newPage();
        drawPage(painter, *doc, frame, p, pages, header, font);
    }
}
