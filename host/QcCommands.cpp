// lis-host qc: control lots, control results typed at the bench, the rules
// that reject, corrective actions and the review of held results. Every
// change is a laboratory procedure, which judges and audits it.
#include "host/HostCommands.h"
#include "host/QcChartCommand.h"
#include "labserver/EmbeddedDriver.h"
#include "platform/CommandText.h"
#include "platform/db/Connection.h"
#include "platform/db/Recordset.h"

#include <functional>

namespace {
using HostCommands::badUsage;

// The options after the positional arguments; what is left is positional.
QString optionValue(QStringList& args, const QString& name)
{
    const qsizetype at = args.indexOf(name);
    if (at < 0)
        return {};
    if (at + 1 >= args.size())
        badUsage(QStringLiteral("%1 needs a value").arg(name));
    const QString value = args.at(at + 1);
    args.remove(at, 2);
    return value;
}

void print(const ResultSet& data, QTextStream& out)
{
    out << data.columns.join(QLatin1Char('\t')) << "\n";
    for (const QVariantList& row : data.rows) {
        QStringList cells;
        for (const QVariant& v : row)
            cells << (v.isNull() ? QString() : Recordset::toText(v));
        out << cells.join(QLatin1Char('\t')) << "\n";
    }
}

using Run = std::function<ResultSet(const QString&)>;

// qc add: a control result typed at the bench, and how it was judged.
int addResult(QStringList& args, const QString& employee, const Run& run, QTextStream& out)
{
    const QString at = optionValue(args, QStringLiteral("--at"));
    if (args.size() != 5)
        badUsage(QStringLiteral("qc add INSTRUMENT ITEM LOT VALUE [--at TIME]"));
    const ResultSet r = run(CommandText::call(QStringLiteral("sp_QCResultAdd"),
                                              {args[1], args[2], args[3], args[4], at, employee}));
    const QVariantList& j = r.rows.value(0);
    out << "Level " << j.value(0).toString() << ": " << j.value(3).toString()
        << (j.value(2).toString().isEmpty()
                ? QString()
                : QStringLiteral(" (") + j.value(2).toString() + QLatin1Char(')'))
        << ", z " << QString::number(j.value(1).toDouble(), 'f', 2) << "; run "
        << j.value(4).toString() << "\n";
    if (!j.value(5).toString().isEmpty())
        out << "Patient results held: " << j.value(5).toString() << "\n";
    return 0;
}

int addLot(QStringList& args, const QString& employee, const Run& run, QTextStream& out)
{
    const QString unit = optionValue(args, QStringLiteral("--unit"));
    const QString ids = optionValue(args, QStringLiteral("--ids"));
    if (args.size() != 8 && args.size() != 10)
        badUsage(QStringLiteral("qc lot add INSTRUMENT ITEM MATERIAL LEVEL LOT EXPIRY [MEAN "
                                "SD] [--unit UNIT] [--ids QC-ID,...]"));
    run(CommandText::call(QStringLiteral("sp_QCLotAdd"),
                          {args[2], args[3], args[4], args[5], args[6], args[7], args.value(8),
                           args.value(9), unit, ids, employee}));
    out << "Lot " << args[6] << " added.\n";
    return 0;
}
} // namespace

int HostCommands::qc(const QStringList& given, QTextStream& out)
{
    QStringList args = given;
    const QString employee = optionValue(args, QStringLiteral("--employee"));
    const QString verb = args.value(0);
    if (verb == QLatin1String("chart"))
        return runQcChart(args.mid(1), out);
    registerLabDrivers();
    Connection db;
    db.open(componentConnection());
    const Run run = [&](const QString& text) {
        return db.openRecordset(text, CursorOptions::clientDynamic())->data();
    };
    if (verb == QLatin1String("add"))
        return addResult(args, employee, run, out);
    if (verb == QLatin1String("lot") && args.value(1) == QLatin1String("add"))
        return addLot(args, employee, run, out);
    if (verb == QLatin1String("lot") && args.value(1) == QLatin1String("list") &&
        args.size() <= 4) {
        print(
            run(CommandText::call(QStringLiteral("sp_QCLotList"), {args.value(2), args.value(3)})),
            out);
        return 0;
    }
    if (verb == QLatin1String("lot") && args.value(1) == QLatin1String("retire") &&
        args.size() == 5) {
        run(CommandText::call(QStringLiteral("sp_QCLotRetire"),
                              {args[2], args[3], args[4], employee}));
        out << "Lot " << args[4] << " retired.\n";
        return 0;
    }
    if (verb == QLatin1String("rules") && args.size() == 3) {
        const ResultSet r =
            run(CommandText::call(QStringLiteral("sp_QCRules"), {args[1], args[2], employee}));
        out << args[1] << " runs are rejected by " << r.rows.value(0).value(0).toString() << "\n";
        return 0;
    }
    if (verb == QLatin1String("action") && args.size() == 4) {
        run(CommandText::call(QStringLiteral("sp_QCAction"),
                              {args[1], args[2], args[3], employee}));
        out << "Corrective action recorded.\n";
        return 0;
    }
    if (verb == QLatin1String("confirm") && args.size() == 3) {
        run(CommandText::call(QStringLiteral("sp_QCConfirm"), {args[1], args[2], employee}));
        out << args[2] << " on request " << args[1] << " confirmed after review.\n";
        return 0;
    }
    if (verb == QLatin1String("holds") && args.size() == 2) {
        print(run(CommandText::call(QStringLiteral("sp_QCHolds"), {args[1]})), out);
        return 0;
    }
    HostCommands::usage(out, QStringLiteral("qc"));
    return 2;
}
