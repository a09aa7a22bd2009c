#include "FlexGrid.h"
#include "platform/LisError.h"
#include "platform/db/Recordset.h"
#include "platform/ui/Twips.h"

#include <QHeaderView>
#include <QScrollBar>
#include <QTimer>
#include <cmath>

namespace {
// Around a caption: the header's margins and a little air.
constexpr int kHeaderPadding = 16;
} // namespace

FlexGrid::FlexGrid(QWidget* parent)
    : QTableWidget(parent)
{
    verticalHeader()->hide();
    horizontalHeader()->setHighlightSections(false);
    horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setWordWrap(false);
    // Rows as compact as the original grid's; a layout may ask for taller.
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    setCols(2);
    setRows(2);
    connect(horizontalHeader(), &QHeaderView::sectionResized, this,
            [this](int col, int, int px) { userResized(col, px); });
    // Values that come or change may need their columns widened; once per
    // turn of the event loop is enough.
    const auto valuesChanged = [this] {
        if (!m_grow || width() <= m_designedWidth || m_refitPending)
            return;
        m_refitPending = true;
        QTimer::singleShot(0, this, [this] {
            m_refitPending = false;
            applyWidths();
        });
    };
    connect(model(), &QAbstractItemModel::dataChanged, this, valuesChanged);
    connect(model(), &QAbstractItemModel::rowsInserted, this, valuesChanged);
    connect(horizontalHeader()->model(), &QAbstractItemModel::headerDataChanged, this,
            valuesChanged);
}

void FlexGrid::setRows(int rows)
{
    setRowCount(std::max(rows, 1) - 1);
}

void FlexGrid::setCols(int cols)
{
    const int old = columnCount();
    m_applying = true;
    setColumnCount(std::max(cols, 0));
    m_applying = false;
    m_widthTwips.resize(std::max(cols, int(m_widthTwips.size())), -1);
    m_centred.resize(m_widthTwips.size(), false);
    for (int c = old; c < cols; ++c)
        if (!horizontalHeaderItem(c))
            setHorizontalHeaderItem(c, new QTableWidgetItem(QString()));
    applyWidths();
}

void FlexGrid::checkCell(int row, int col) const
{
    if (row < 0 || row >= Rows())
        throw LisError(ErrNo::InvalidRow, QStringLiteral("Invalid Row value"));
    if (col < 0 || col >= Cols())
        throw LisError(ErrNo::InvalidColumn, QStringLiteral("Invalid Column value"));
}

QString FlexGrid::TextMatrix(int row, int col) const
{
    checkCell(row, col);
    const QTableWidgetItem* i = row == 0 ? horizontalHeaderItem(col) : item(row - 1, col);
    return i ? i->text() : QString();
}

QTableWidgetItem* FlexGrid::itemAt(int row, int col)
{
    if (row == 0)
        return horizontalHeaderItem(col);
    QTableWidgetItem* i = item(row - 1, col);
    if (!i) {
        i = new QTableWidgetItem;
        if (m_centred.value(col))
            i->setTextAlignment(Qt::AlignCenter);
        setItem(row - 1, col, i);
    }
    return i;
}

void FlexGrid::setTextMatrix(int row, int col, const QString& text)
{
    checkCell(row, col);
    itemAt(row, col)->setText(text);
}

int FlexGrid::ColWidth(int col) const
{
    if (col < 0 || col >= Cols())
        throw LisError(ErrNo::InvalidColumn, QStringLiteral("Invalid Column value"));
    return baseTwips(col);
}

void FlexGrid::setColWidth(int col, int twips)
{
    if (col < 0 || col >= Cols())
        throw LisError(ErrNo::InvalidColumn, QStringLiteral("Invalid Column value"));
    m_widthTwips[col] = std::max(twips, 0);
    applyWidths();
}

void FlexGrid::setDefaultColWidth(int col)
{
    if (col < 0 || col >= Cols())
        throw LisError(ErrNo::InvalidColumn, QStringLiteral("Invalid Column value"));
    m_widthTwips[col] = -1;
    applyWidths();
}

void FlexGrid::setGrowColumns(bool on)
{
    m_grow = on;
    m_designedWidth = width();
    applyWidths();
}

void FlexGrid::setUserWidths(const QMap<int, int>& twips)
{
    m_userTwips.clear();
    for (auto it = twips.begin(); it != twips.end(); ++it)
        if (it.key() >= 0 && it.value() > 0)
            m_userTwips.insert(it.key(), it.value());
    applyWidths();
}

int FlexGrid::baseTwips(int col) const
{
    const int given = m_widthTwips.value(col, -1);
    if (given == 0)
        return 0;
    if (m_userTwips.contains(col))
        return m_userTwips.value(col);
    return given > 0 ? given : Twips::fromPx(horizontalHeader()->defaultSectionSize());
}

void FlexGrid::applyWidths()
{
    QVector<int> base(Cols());
    for (int c = 0; c < Cols(); ++c)
        base[c] = Twips::toPx(baseTwips(c));
    // The room a vertical scroll bar would take is kept free, so rows coming
    // and going never make the columns jump.
    const int room = width() - 2 * frameWidth() - verticalScrollBar()->sizeHint().width();
    const QVector<int> px = m_grow && width() > m_designedWidth ? grown(base, room) : base;
    m_applying = true;
    for (int c = 0; c < Cols(); ++c) {
        setColumnHidden(c, px[c] == 0);
        if (px[c] > 0)
            setColumnWidth(c, px[c]);
    }
    m_applying = false;
}

QVector<int> FlexGrid::grown(const QVector<int>& base, int room) const
{
    // What each shown column needs for its caption and its values. A column
    // the user sized keeps that width; the others share the rest.
    QVector<int> need(base.size(), 0);
    qint64 designed = 0;
    qint64 needed = 0;
    for (int c = 0; c < base.size(); ++c) {
        if (m_userTwips.contains(c))
            room -= base[c];
        if (base[c] == 0 || m_userTwips.contains(c))
            continue;
        need[c] = std::max(horizontalHeader()->fontMetrics().horizontalAdvance(TextMatrix(0, c)) +
                               kHeaderPadding,
                           sizeHintForColumn(c));
        designed += base[c];
        needed += need[c];
    }
    if (designed == 0)
        return base;
    QVector<int> px = base;
    if (designed <= room) {
        // In proportion to the design; then columns with room to spare give
        // some of it, down to half their drawn width, to those whose values
        // would be cut.
        qint64 missing = 0;
        qint64 spare = 0;
        for (int c = 0; c < base.size(); ++c) {
            if (m_userTwips.contains(c))
                continue;
            px[c] = int(base[c] * room / designed);
            missing += std::max(0, need[c] - px[c]);
            spare += std::max(0, px[c] - std::max(need[c], base[c] / 2));
        }
        const qint64 moved = std::min(missing, spare);
        for (int c = 0; c < base.size() && moved > 0; ++c) {
            if (m_userTwips.contains(c))
                continue;
            if (need[c] > px[c])
                px[c] += int((need[c] - px[c]) * moved / missing);
            else if (const int free = px[c] - std::max(need[c], base[c] / 2); free > 0)
                px[c] -= int((free * moved + spare - 1) / spare);
        }
    } else {
        // The design is wider than the room: each column gets what its
        // values need, and what is left in proportion; when even that is too
        // wide, the grid scrolls, but no value is cut.
        const qint64 left = std::max<qint64>(0, room - needed);
        for (int c = 0; c < base.size(); ++c)
            if (base[c] > 0 && !m_userTwips.contains(c))
                px[c] = need[c] + int(left * base[c] / designed);
    }
    return px;
}

void FlexGrid::userResized(int col, int px)
{
    if (m_applying || px <= 0 || m_widthTwips.value(col, -1) == 0)
        return;
    // The width it was dragged to stays; the other columns stay as drawn
    // until the grid itself is resized.
    m_userTwips[col] = Twips::fromPx(px);
}

void FlexGrid::resizeEvent(QResizeEvent* event)
{
    QTableWidget::resizeEvent(event);
    if (m_grow)
        applyWidths();
}

void FlexGrid::setRowHeightMin(int twips)
{
    verticalHeader()->setMinimumSectionSize(Twips::toPx(twips));
    verticalHeader()->setDefaultSectionSize(std::max(Twips::toPx(twips), 19));
}

void FlexGrid::setColAlignmentCentred(int col)
{
    if (col < 0 || col >= Cols())
        throw LisError(ErrNo::InvalidColumn, QStringLiteral("Invalid Column value"));
    m_centred[col] = true;
    for (int r = 0; r < rowCount(); ++r)
        if (QTableWidgetItem* i = item(r, col))
            i->setTextAlignment(Qt::AlignCenter);
}

int FlexGrid::Row() const
{
    const int r = currentRow();
    if (r >= 0)
        return r + 1;
    return Rows() > 1 ? 1 : 0;
}

void FlexGrid::setRow(int row)
{
    checkCell(row, Col());
    if (row >= 1)
        setCurrentCell(row - 1, Col());
}

int FlexGrid::Col() const
{
    const int c = currentColumn();
    return c >= 0 ? c : 0;
}

void FlexGrid::setCol(int col)
{
    checkCell(Row(), col);
    if (Row() >= 1)
        setCurrentCell(Row() - 1, col);
}

QRect FlexGrid::cellRect(int row, int col) const
{
    checkCell(row, col);
    const QRect header = horizontalHeader()->geometry();
    if (row == 0)
        return Twips::toTwips(QRect(columnViewportPosition(col) + viewport()->x(), header.y(),
                                    columnWidth(col), header.height()));
    const QRect r = visualRect(model()->index(row - 1, col));
    return Twips::toTwips(r.translated(viewport()->pos()));
}

void FlexGrid::bind(const ResultSet& data)
{
    clearContents();
    setCols(int(data.columns.size()));
    setRows(int(data.rows.size()) + 1);
    for (int c = 0; c < data.columns.size(); ++c)
        setTextMatrix(0, c, data.columns.at(c));
    for (int r = 0; r < data.rows.size(); ++r) {
        const QVariantList& row = data.rows.at(r);
        for (int c = 0; c < row.size() && c < Cols(); ++c)
            setTextMatrix(r + 1, c, Recordset::toText(row.at(c)));
    }
}
