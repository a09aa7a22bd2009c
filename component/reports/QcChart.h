#pragma once

#include "component/reports/QcChartData.h"

#include <QDate>
#include <QImage>
#include <QString>
#include <memory>

class Connection;
class QTextDocument;

// The Levey-Jennings chart of an instrument's control results for one item:
// one panel per level, each result in SD units of its lot's target against
// the mean and the 1, 2 and 3 SD lines, warnings and rejections marked with
// the rules they broke, and each lot's statistics for the period. It is a
// report document, so the preview, the printer, a PDF and a PNG show the
// same thing.
class QcChart {
public:
    // The period the laboratory is asked for: without a last day, today;
    // without a first, 30 days before the last.
    QcChart(QString instrument, QString item, QDate first = {}, QDate last = {});

    const QString& instrument() const { return m_instrument; }
    const QString& item() const { return m_item; }
    QDate first() const { return m_first; }
    QDate last() const { return m_last; }
    // "AN-01, Glucose (GLU), 11/07/2026 to 12/07/2026" once rows are read.
    QString subject() const;
    const QcChartData& data() const { return m_data; }
    bool isEmpty() const { return m_data.levels.isEmpty(); }

    // sp_QCChartData, the one command text of a chart; the laboratory's
    // refusal of an unknown instrument or item reaches the caller.
    void read(Connection& db);
    void setRows(const ResultSet& rows) { m_data = QcChartData::fromRows(rows); }

    std::unique_ptr<QTextDocument> document() const;
    // The document at the width of an A4 page at 150 dpi (1240 pixels),
    // as tall as it runs.
    static QImage picture(const QTextDocument& document);
    // Writes a .pdf or .png; a file already there is kept and the chart
    // goes beside it. Returns the file written.
    QString write(const QString& path) const;

    // Opens the chart of the last 30 days in the report preview, from a
    // result window, over the session's laboratory connection.
    static void preview(const QString& instrument, const QString& item);

private:
    QImage panel(const QcLevel& level) const;

    QString m_instrument;
    QString m_item;
    QDate m_first;
    QDate m_last;
    QcChartData m_data;
};
