#include "QcChart.h"
#include "component/modMain.h"
#include "component/reports/ReportPrinting.h"
#include "labrules/LabLogic.h"
#include "platform/Clock.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/Presenter.h"
#include "platform/PrivateFiles.h"
#include "platform/db/Connection.h"
#include "platform/report/Report.h"

#include <QAbstractTextDocumentLayout>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPainter>
#include <QPolygonF>
#include <QTextDocument>
#include <QTextFrame>
#include <cmath>

using LabLogic::Decimal;

namespace {
// A panel in the document's 96 dpi units, drawn at three times that so the
// printed page stays sharp.
constexpr int kPanelWidth = 680;
constexpr int kPanelHeight = 230;
constexpr int kSharpness = 3;
constexpr qreal kZLimit = 4; // the panel shows -4 to +4 SD
// Where a result beyond that is drawn, leaving room for its arrow.
constexpr qreal kOffScale = kZLimit - 0.55;
const QRectF kPlot(56, 26, kPanelWidth - 56 - 62, kPanelHeight - 26 - 30);

const QColor kInk(0x26, 0x32, 0x38);
const QColor kAccepted(0x1f, 0x4e, 0x9c);
const QColor kWarning(0xd9, 0x8c, 0x00);
const QColor kRejected(0xc6, 0x28, 0x28);
const QColor kMeanLine(0x2e, 0x7d, 0x32);

QColor colourOf(const QString& verdict)
{
    if (verdict == QLatin1String("rejected"))
        return kRejected;
    if (verdict == QLatin1String("warning"))
        return kWarning;
    return kAccepted;
}

QString esc(const QString& s)
{
    return s.toHtmlEscaped();
}

QString whenText(const QDateTime& at)
{
    return DateText::monthDayYear(at.date()) + QLatin1Char(' ') + DateText::time12(at.time());
}

QString signedText(double z)
{
    const QString t = Decimal(z).fixed(2);
    return z > 0 && t != QLatin1String("0.00") ? QLatin1Char('+') + t : t;
}

// Accepted a dot, a warning a diamond, a rejection a square: told apart
// in black and white too. Open marks tell a lot run beside another apart;
// a rejection stays filled.
void drawMarker(QPainter& p, QPointF at, const QString& verdict, qreal size = 1, bool open = false)
{
    p.setPen(open ? QPen(colourOf(verdict), 1.2) : QPen(Qt::white, 0.8 * size));
    p.setBrush(open ? QBrush(Qt::white) : QBrush(colourOf(verdict)));
    const qreal r = 4 * size;
    if (verdict == QLatin1String("rejected")) {
        p.drawRect(QRectF(at.x() - r, at.y() - r, 2 * r, 2 * r));
    } else if (verdict == QLatin1String("warning")) {
        const qreal d = 1.25 * r;
        p.drawPolygon(QPolygonF{{at.x(), at.y() - d},
                                {at.x() + d, at.y()},
                                {at.x(), at.y() + d},
                                {at.x() - d, at.y()}});
    } else {
        p.drawEllipse(at, 0.8 * r, 0.8 * r);
    }
}

// Labels every few days, so no more than about ten fit the axis.
int labelStep(int days)
{
    for (int step : {1, 2, 3, 5, 7, 14, 30, 61, 91, 183})
        if (days / step <= 10)
            return step;
    return 365;
}
} // namespace

QcChart::QcChart(QString instrument, QString item, QDate first, QDate last)
    : m_instrument(std::move(instrument))
    , m_item(std::move(item))
    , m_first(first)
    , m_last(last.isValid() ? last : Clock::today())
{
    if (!m_first.isValid())
        m_first = m_last.addDays(-30);
}

QString QcChart::subject() const
{
    const QString item = m_data.itemName.isEmpty() || m_data.itemName == m_item
                             ? m_item
                             : QStringLiteral("%1 (%2)").arg(m_data.itemName, m_item);
    return m_instrument + QStringLiteral(", ") + item + QStringLiteral(", ") +
           DateText::monthDayYear(m_first) + QStringLiteral(" to ") +
           DateText::monthDayYear(m_last);
}

void QcChart::read(Connection& db)
{
    const QString text = CommandText::call(
        QStringLiteral("sp_QCChartData"),
        {m_instrument, m_item, DateText::monthDayYear(m_first), DateText::monthDayYear(m_last)});
    setRows(db.openRecordset(text, CursorOptions::clientDynamic())->data());
}

namespace {
// Where a moment of the period and an SD lie on a panel's plot.
class PlotScale {
public:
    PlotScale(const QDate& first, const QDate& last)
        : m_from(first, QTime(0, 0))
        , m_span(std::max<qint64>(1, m_from.secsTo(QDateTime(last.addDays(1), QTime(0, 0)))))
    {
    }
    qreal x(const QDateTime& t) const
    {
        return kPlot.left() + kPlot.width() * std::clamp(m_from.secsTo(t) / m_span, 0.0, 1.0);
    }
    static qreal y(double z)
    {
        return kPlot.center().y() -
               std::clamp(z, -kOffScale, kOffScale) * kPlot.height() / (2 * kZLimit);
    }

private:
    QDateTime m_from;
    qreal m_span;
};

// Days: a faint line each, a date every few.
void drawDays(QPainter& p, const PlotScale& scale, const QDate& first, const QDate& last)
{
    const int days = int(first.daysTo(last)) + 1;
    const int step = labelStep(days);
    for (int d = 0; d <= days; ++d) {
        const qreal x = scale.x(QDateTime(first.addDays(d), QTime(0, 0)));
        if (days <= 62) {
            p.setPen(QPen(QColor(0xee, 0xee, 0xee), 0.6));
            p.drawLine(QPointF(x, kPlot.top()), QPointF(x, kPlot.bottom()));
        }
        if (d < days && d % step == 0) {
            p.setPen(QPen(kInk, 0.8));
            p.drawLine(QPointF(x, kPlot.bottom()), QPointF(x, kPlot.bottom() + 3));
            p.drawText(QRectF(x - 30, kPlot.bottom() + 4, 60, 14), Qt::AlignHCenter | Qt::AlignTop,
                       first.addDays(d).toString(QStringLiteral("M/d")));
        }
    }
}

// Mean and the SD lines, named on the left, in the unit of the lot in
// use at the end of the period on the right.
void drawSdLines(QPainter& p, const QcLevel& level)
{
    const QcLot& current = level.lots.last();
    const std::optional<Decimal> mean = Decimal::parse(current.targetMean);
    const std::optional<Decimal> sd = Decimal::parse(current.targetSd);
    for (int k = -3; k <= 3; ++k) {
        const qreal y = PlotScale::y(k);
        const int a = std::abs(k);
        QPen pen(a == 0   ? kMeanLine
                 : a == 3 ? kRejected
                 : a == 2 ? kWarning
                          : QColor(0x9e, 0x9e, 0x9e),
                 a == 0   ? 1.4
                 : a == 1 ? 0.7
                          : 1.0);
        pen.setStyle(a == 1 ? Qt::DotLine : a == 2 ? Qt::DashLine : Qt::SolidLine);
        p.setPen(pen);
        p.drawLine(QPointF(kPlot.left(), y), QPointF(kPlot.right(), y));
        p.setPen(kInk);
        const QString name = k == 0 ? QStringLiteral("Mean")
                                    : QStringLiteral("%1%2 SD").arg(k > 0 ? "+" : "-").arg(a);
        p.drawText(QRectF(0, y - 7, kPlot.left() - 5, 14), Qt::AlignRight | Qt::AlignVCenter, name);
        if (mean && sd)
            p.drawText(QRectF(kPlot.right() + 5, y - 7, 60, 14), Qt::AlignLeft | Qt::AlignVCenter,
                       (*mean + Decimal(double(k)) * *sd).text());
    }
    p.setPen(QPen(QColor(0xbd, 0xbd, 0xbd), 0.8));
    p.setBrush(Qt::NoBrush);
    p.drawRect(kPlot);
    p.setPen(kInk);
    p.drawText(QRectF(kPlot.center().x(), 4, kPanelWidth - kPlot.center().x() - 2, 18),
               Qt::AlignRight | Qt::AlignBottom,
               level.lots.size() > 1 ? QStringLiteral("%1, lot %2").arg(current.unit, current.lotNo)
                                     : current.unit);
}

// Legend above the plot.
void drawLegend(QPainter& p, const QFont& font)
{
    const QFontMetricsF metrics(font);
    qreal lx = kPlot.left();
    for (const char* verdict : {"accepted", "warning", "rejected"}) {
        drawMarker(p, QPointF(lx + 5, 14), QLatin1String(verdict));
        p.setPen(kInk);
        p.drawText(QPointF(lx + 13, 18), QLatin1String(verdict));
        lx += 26 + metrics.horizontalAdvance(QLatin1String(verdict));
    }
}

// Where a new lot is first run, a divider named for it. Each lot's
// results are joined among themselves: a new lot is often run beside
// the old one for a while. Returns the lots in the order first run.
QStringList drawLotLines(QPainter& p, const PlotScale& scale, const QcLevel& level)
{
    QStringList lots;
    QHash<QString, QPolygonF> lines;
    for (const QcPoint& pt : level.points) {
        if (!lots.contains(pt.lotNo)) {
            if (!lots.isEmpty()) {
                const qreal x = scale.x(pt.measuredAt) - 3;
                p.setPen(QPen(kInk, 0.8, Qt::DashDotLine));
                p.drawLine(QPointF(x, kPlot.top()), QPointF(x, kPlot.bottom()));
                p.setPen(kInk);
                p.drawText(QRectF(x + 3, kPlot.top() + 1, 220, 12), Qt::AlignLeft | Qt::AlignTop,
                           QStringLiteral("lot %1%2")
                               .arg(pt.lotNo,
                                    lots.size() % 2 ? QStringLiteral(", open marks") : QString()));
            }
            lots << pt.lotNo;
        }
        if (pt.z)
            lines[pt.lotNo] << QPointF(scale.x(pt.measuredAt), PlotScale::y(*pt.z));
    }
    p.setPen(QPen(QColor(0x78, 0x90, 0x9c), 0.9));
    for (const QString& l : lots)
        p.drawPolyline(lines.value(l));
    return lots;
}

// The marks over the line.
void drawMarks(QPainter& p, const PlotScale& scale, const QcLevel& level, const QStringList& lots)
{
    const qreal dense = kPlot.width() / (8.0 * std::max<qsizetype>(1, level.points.size()));
    for (const QcPoint& pt : level.points) {
        if (!pt.z)
            continue;
        const QPointF at(scale.x(pt.measuredAt), PlotScale::y(*pt.z));
        // A year of runs would be a solid band of full-sized accepted dots.
        drawMarker(p, at, pt.verdict,
                   pt.verdict == QLatin1String("accepted") ? std::clamp(dense, 0.5, 1.0) : 1.0,
                   lots.indexOf(pt.lotNo) % 2 == 1 && pt.verdict != QLatin1String("rejected"));
        if (std::abs(*pt.z) > kOffScale) {
            // Off the scale: an arrow says which way.
            const qreal dir = *pt.z > 0 ? -1 : 1;
            p.setPen(Qt::NoPen);
            p.setBrush(colourOf(pt.verdict));
            p.drawPolygon(QPolygonF{{at.x(), at.y() + dir * 11},
                                    {at.x() - 3.5, at.y() + dir * 6},
                                    {at.x() + 3.5, at.y() + dir * 6}});
        }
    }
}

// The rules a result broke beside it, rejections first: above a high
// result, below a low one, else further out or on the other side. A
// label with no room left is only in the list below the panel.
void drawRuleLabels(QPainter& p, const QFont& font, const PlotScale& scale, const QcLevel& level)
{
    QFont bold = font;
    bold.setBold(true);
    p.setFont(bold);
    QList<QRectF> taken;
    for (const bool rejections : {true, false})
        for (const QcPoint& pt : level.points) {
            if (!pt.z || pt.rules.isEmpty() ||
                (pt.verdict == QLatin1String("rejected")) != rejections)
                continue;
            const QPointF at(scale.x(pt.measuredAt), PlotScale::y(*pt.z));
            const QString text = pt.rules.join(QLatin1Char(' '));
            const qreal w = QFontMetricsF(bold).horizontalAdvance(text) + 4;
            const qreal left = std::clamp(at.x() - w / 2, kPlot.left() + 1, kPlot.right() - w - 1);
            const bool over = *pt.z >= 0 ? *pt.z < kOffScale - 0.3 : *pt.z <= 0.3 - kOffScale;
            const qreal above = at.y() - 20, below = at.y() + 7;
            for (const qreal top :
                 {over ? above : below, over ? above - 13 : below + 13, over ? below : above}) {
                const QRectF box(left, top, w, 13);
                const bool free = std::none_of(taken.begin(), taken.end(),
                                               [&](const QRectF& t) { return t.intersects(box); });
                if (!free || box.top() < 2 || box.bottom() > kPanelHeight - 2)
                    continue;
                taken << box;
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 255, 255, 220));
                p.drawRect(box);
                p.setPen(colourOf(pt.verdict));
                p.drawText(box, Qt::AlignCenter, text);
                break;
            }
        }
}
// One level in the document: its panel, its lots' statistics and the
// results that warned or were rejected.
QString levelHtml(const QcLevel& level, const QString& panelName)
{
    const QString table = QStringLiteral("<table width=\"100%\" border=\"1\" cellspacing=\"0\" "
                                         "cellpadding=\"2\" style=\"border-collapse:collapse; "
                                         "margin-top:4px\">");
    const auto head = [](const QStringList& names) {
        QString r = QStringLiteral("<thead><tr>");
        for (const QString& n : names)
            r += QStringLiteral("<th bgcolor=\"#dde4ee\" align=\"left\">%1</th>").arg(esc(n));
        return r + QStringLiteral("</tr></thead>");
    };
    const auto row = [](const QStringList& cells) {
        QString r = QStringLiteral("<tr>");
        for (const QString& c : cells)
            r += QStringLiteral("<td>%1</td>").arg(esc(c));
        return r + QStringLiteral("</tr>");
    };
    QString h =
        QStringLiteral("<h3 style=\"margin-top:12px; margin-bottom:2px\">Level %1: %2</h3>"
                       "<p style=\"margin:0\"><img src=\"%3\" width=\"%4\" height=\"%5\"/></p>")
            .arg(level.level)
            .arg(esc(level.lots.last().material), panelName)
            .arg(kPanelWidth)
            .arg(kPanelHeight);
    h += table +
         head({QStringLiteral("Lot"), QStringLiteral("Target mean"), QStringLiteral("Target SD"),
               QStringLiteral("Unit"), QStringLiteral("Runs"), QStringLiteral("Rejected"),
               QStringLiteral("Mean"), QStringLiteral("SD"), QStringLiteral("CV (%)")});
    for (const QcLot& lot : level.lots)
        h += row({lot.lotNo, lot.targetMean, lot.targetSd, lot.unit, QString::number(lot.runs),
                  QString::number(lot.rejected), lot.mean, lot.sd, lot.cv});
    h += QStringLiteral("</table>");
    QString marks;
    for (const QcPoint& pt : level.points)
        if (!pt.rules.isEmpty() || pt.verdict != QLatin1String("accepted"))
            marks += row({whenText(pt.measuredAt), pt.lotNo, pt.value,
                          pt.z ? signedText(*pt.z) : QString(), pt.verdict,
                          pt.rules.join(QStringLiteral(", "))});
    return h + (marks.isEmpty()
                    ? QStringLiteral("<p style=\"margin-top:4px\">No warnings or rejections.</p>")
                    : table +
                          head({QStringLiteral("Warnings and rejections"), QStringLiteral("Lot"),
                                QStringLiteral("Value"), QStringLiteral("SD index"),
                                QStringLiteral("Verdict"), QStringLiteral("Rules")}) +
                          marks + QStringLiteral("</table>"));
}
} // namespace

QImage QcChart::panel(const QcLevel& level) const
{
    QImage image(kPanelWidth * kSharpness, kPanelHeight * kSharpness, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(kSharpness, kSharpness);
    QFont font;
    font.setPixelSize(10);
    p.setFont(font);
    const PlotScale scale(m_first, m_last);
    drawDays(p, scale, m_first, m_last);
    drawSdLines(p, level);
    drawLegend(p, font);
    const QStringList lots = drawLotLines(p, scale, level);
    drawMarks(p, scale, level, lots);
    drawRuleLabels(p, font, scale, level);
    return image;
}

std::unique_ptr<QTextDocument> QcChart::document() const
{
    auto doc = std::make_unique<QTextDocument>();
    QFont f = doc->defaultFont();
    f.setPointSize(9);
    doc->setDefaultFont(f);
    QString h = QStringLiteral("<p align=\"center\" style=\"font-size:15pt; font-weight:bold; "
                               "margin:0\">Levey-Jennings chart</p>"
                               "<p align=\"center\" style=\"font-size:11pt; margin:0\">%1</p>"
                               "<p align=\"center\" style=\"margin:0\">Printed %2</p>")
                    .arg(esc(subject()), esc(whenText(Clock::now())));
    if (isEmpty())
        h += QStringLiteral("<p style=\"margin-top:16px\">No control results of %1 on %2 from %3 "
                            "to %4.</p>")
                 .arg(esc(m_item), esc(m_instrument), DateText::monthDayYear(m_first),
                      DateText::monthDayYear(m_last));
    for (const QcLevel& level : m_data.levels) {
        const QString name = QStringLiteral("chart://level%1").arg(level.level);
        doc->addResource(QTextDocument::ImageResource, QUrl(name), panel(level));
        h += levelHtml(level, name);
    }
    if (!isEmpty())
        h += QStringLiteral("<p style=\"margin-top:10px; font-size:8pt\">Each result is plotted "
                            "as its SD index, (value - target mean) / target SD of its lot. Mean, "
                            "SD and CV are of the runs not rejected; the SD divides by n - 1; "
                            "CV = SD / mean x 100.</p>");
    doc->setHtml(QStringLiteral("<html><body>") + h + QStringLiteral("</body></html>"));
    doc->setProperty("pageHeader", QStringLiteral("Levey-Jennings chart: ") + subject());
    doc->setMetaInformation(QTextDocument::DocumentTitle, QStringLiteral("Levey-Jennings chart"));
    return doc;
}

QImage QcChart::picture(const QTextDocument& document)
{
    constexpr qreal dpi = 150;
    constexpr int width = 1240; // A4 at 150 dpi
    const qreal margin = dpi * 1.5 / 2.54;
    std::unique_ptr<QTextDocument> doc(document.clone());
    // Laid out for a device of that resolution, so text and pictures keep
    // the sizes they have on paper.
    QImage device(1, 1, QImage::Format_RGB32);
    device.setDotsPerMeterX(qRound(dpi / 0.0254));
    device.setDotsPerMeterY(qRound(dpi / 0.0254));
    doc->documentLayout()->setPaintDevice(&device);
    QTextFrameFormat frame = doc->rootFrame()->frameFormat();
    frame.setMargin(margin * 96 / dpi);
    doc->rootFrame()->setFrameFormat(frame);
    doc->setPageSize(QSizeF(width, -1));
    const int height = int(std::ceil(doc->documentLayout()->documentSize().height()));
    QImage image(width, height, QImage::Format_RGB32);
    image.setDotsPerMeterX(device.dotsPerMeterX());
    image.setDotsPerMeterY(device.dotsPerMeterY());
    image.fill(Qt::white);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    doc->documentLayout()->draw(&painter, {});
    return image;
}

QString QcChart::write(const QString& path) const
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    const auto doc = document();
    if (suffix == QLatin1String("pdf"))
        return Report::ofDocument(*doc, QStringLiteral("Levey-Jennings chart"))
            ->printOut(path, QFileInfo(path).completeBaseName());
    if (suffix != QLatin1String("png"))
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("A chart is written as a .pdf or a .png file, and %1 is "
                                      "neither.")
                           .arg(path));
    // As reports are: what is there stays, and the chart goes beside it.
    const QString where = Report::besideEarlier(path, {});
    if (QFileInfo::exists(where) || !PrivateFiles::touchFile(where))
        throw LisError(ErrNo::ReportFailed,
                       QStringLiteral("The chart could not be written to %1: the file cannot "
                                      "be created there.")
                           .arg(where));
    if (!picture(*doc).save(where, "PNG")) {
        QFile::remove(where); // the empty file made above
        throw LisError(ErrNo::ReportFailed,
                       QStringLiteral("The chart could not be written to %1.").arg(where));
    }
    return where;
}

void QcChart::preview(const QString& instrument, const QString& item)
{
    SessionState& s = session();
    if (!s.LabDb)
        throw LisError(ErrNo::ObjectNotSet,
                       QStringLiteral("Object variable or With block variable not set: there "
                                      "is no laboratory connection."));
    QcChart chart(instrument, item);
    chart.read(*s.LabDb);
    if (chart.isEmpty()) {
        msgBox(QStringLiteral("No control results of %1 on %2 from %3 to %4.")
                   .arg(item, instrument, DateText::monthDayYear(chart.first()),
                        DateText::monthDayYear(chart.last())),
               MsgIcon::Information, QStringLiteral("Levey-Jennings chart"));
        return;
    }
    // The chart borrows the preview: what a window had open there comes back.
    struct Borrowed {
        SessionState& s;
        std::unique_ptr<Report> report = std::move(s.CurrentReport);
        QString numbers = s.PreviewedChangeNumbers;
        ~Borrowed()
        {
            s.CurrentReport = std::move(report);
            s.PreviewedChangeNumbers = numbers;
        }
    } borrowed{s};
    s.CurrentReport = Report::ofDocument(*chart.document(), QStringLiteral("Levey-Jennings chart"));
    PrintOrPreview(false, QStringLiteral("Levey-Jennings chart: ") + chart.subject(), false, false);
}
