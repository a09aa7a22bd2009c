#include "QcChartCommand.h"
#include "component/ConnSettings.h"
#include "component/reports/QcChart.h"
#include "labserver/EmbeddedDriver.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"

#include <QFileInfo>
#include <QGuiApplication>

namespace {
[[noreturn]] void refuse(const QString& why)
{
    throw LisError(ErrNo::InvalidArgument,
                   QStringLiteral("Invalid procedure call or argument: %1").arg(why));
}

QDate dayOf(const QString& option, const QString& text)
{
    const std::optional<QDateTime> at = DateText::parse(text);
    if (!at || at->time() != QTime(0, 0))
        refuse(QStringLiteral("%1 takes a day as MM/DD/YYYY or YYYY-MM-DD, not \"%2\"")
                   .arg(option, text));
    return at->date();
}
} // namespace

int runQcChart(const QStringList& args, QTextStream& out, Connection* db)
{
    QStringList named;
    QDate first, last;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--from") || a == QLatin1String("--to")) {
            if (i + 1 >= args.size())
                refuse(QStringLiteral("%1 needs a day").arg(a));
            (a == QLatin1String("--from") ? first : last) = dayOf(a, args.at(++i));
        } else if (a.startsWith(QLatin1String("--"))) {
            refuse(QStringLiteral("unknown option %1").arg(a));
        } else {
            named << a;
        }
    }
    if (named.size() != 3)
        refuse(QStringLiteral(
            "qc chart takes INSTRUMENT ITEM [--from DATE] [--to DATE] FILE.pdf|FILE.png"));
    const QString file = named.at(2);
    const QString suffix = QFileInfo(file).suffix().toLower();
    if (suffix != QLatin1String("pdf") && suffix != QLatin1String("png"))
        refuse(QStringLiteral("the chart is written as a PDF or PNG file: %1 ends in neither "
                              ".pdf nor .png")
                   .arg(file));
    QcChart chart(named.at(0), named.at(1), first, last);
    if (chart.first() > chart.last())
        refuse(
            QStringLiteral("the period starts on %1, after its last day %2")
                .arg(DateText::monthDayYear(chart.first()), DateText::monthDayYear(chart.last())));

    // Fonts and pictures need the graphical application, offscreen or not.
    if (!qobject_cast<QGuiApplication*>(QCoreApplication::instance()))
        throw LisError(ErrNo::CannotCreateObject,
                       QStringLiteral("A chart is drawn by the graphical application, which this "
                                      "program did not start."));
    Connection own;
    if (!db) {
        registerLabDrivers();
        own.open(ConnSettings().connStr(4, QStringLiteral("LABORATORY")));
        db = &own;
    }
    chart.read(*db);
    if (chart.isEmpty()) {
        out << "No control results of " << chart.item() << " on " << chart.instrument() << " from "
            << DateText::monthDayYear(chart.first()) << " to "
            << DateText::monthDayYear(chart.last()) << ": no chart was written.\n";
        return 1;
    }
    const QString where = chart.write(file);
    out << "The Levey-Jennings chart of " << chart.subject() << " was written to " << where
        << ".\n";
    return 0;
}
