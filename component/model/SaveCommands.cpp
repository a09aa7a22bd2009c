#include "SaveCommands.h"
#include "component/model/FormType.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"

using CommandText::call;
using CommandText::Join;
using CommandText::loose;
using CommandText::spaced;
using CommandText::tight;

namespace SaveCommands {

namespace {
QString general(const QDateTime& moment)
{
    return DateText::general(moment);
}

bool package(const SaveHeader& h)
{
    return formIs(h.formType, FormType::Package);
}
} // namespace

QString logbookSelect(const QString& request)
{
    return CommandText::select(
        QStringLiteral("Select * from Laboratory..tbLabLogbook where RequestNum = %1"), {request});
}

QString logbookEntry(const QString& request, const SaveHeader& h)
{
    return call(QStringLiteral("Laboratory..Lab_ResultEntryDLL_SaveToLogbook"),
                {request, h.logbookNote, h.employeeCode, tight(general(h.submitted)),
                 general(h.lraTime), tight(h.accessionNum)});
}

QString checkUnchanged(const QString& request, const QString& changeNumbers,
                       const QString& employee)
{
    return call(QStringLiteral("Lab_CheckUnchanged"), {request, changeNumbers, employee});
}

QString sampleUnposted(const SaveHeader& h, const QString& sample, const QStringList& seen)
{
    return call(QStringLiteral("Lab_CheckUnchanged"),
                {h.requestNum.trimmed(), QString(), h.employeeCode, sample, h.instrumentId,
                 DateText::monthDayYear(h.resultDate), seen.join(QLatin1Char(';'))});
}

QString verify(const QString& request, const QString& employee)
{
    return call(QStringLiteral("laboratory..LAB_Save_VerifyResults"), {request, employee},
                Join::Tight);
}

QString sampleCall(char mode, const QString& day, const QString& instrumentId,
                   const QString& sample, const QString& patient, const QString& refNum,
                   bool spacedLast)
{
    // Two blanks after the name, as the windows have always sent it.
    return call(QStringLiteral("LABORATORY..sp_InstrumentGetAxsymSample "),
                {QString(QLatin1Char(mode)), day, instrumentId, sample, patient,
                 CommandText::Arg(refNum, spacedLast ? Join::Spaced : Join::Tight)},
                Join::Tight);
}

QString cutOffRequest(const GridRow<CutOffCol>& row, const SaveHeader& h)
{
    return package(h) ? h.requestNum : row.at(CutOffCol::Request);
}

QMap<QString, QStringList> cutOffItems(const ResultGrid<CutOffCol>& grid, const SaveHeader& h)
{
    QMap<QString, QStringList> items;
    for (const auto& row : grid)
        if (const QString code = row.at(CutOffCol::Item); !code.trimmed().isEmpty())
            items[cutOffRequest(row, h)].append(code);
    return items;
}

QString showResultValueSelect(const QString& item)
{
    return CommandText::select(
        QStringLiteral("SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = %1"),
        {item.trimmed()});
}

QString cutOffResults(const QString& request)
{
    // Two blanks after the name, as the window has always sent it.
    return call(QStringLiteral("LABORATORY..Lab_GetResultWithCutOff "), {request});
}

QString cutOffSave(const GridRow<CutOffCol>& row, const SaveHeader& h, bool showCutOff,
                   const QString& reason)
{
    QList<CommandText::Arg> args = {h.accessionNum,
                                    tight(general(h.submitted)),
                                    general(h.lraTime),
                                    tight(cutOffRequest(row, h)),
                                    tight(row.at(CutOffCol::Item)),
                                    h.formType,
                                    row.at(CutOffCol::Name),
                                    row.at(CutOffCol::Value),
                                    showCutOff ? row.at(CutOffCol::CutOff) : QString(),
                                    row.at(CutOffCol::Result),
                                    h.remarks,
                                    tight(QString::number(row.row))};
    if (!reason.isEmpty())
        args.append(reason);
    return call(QStringLiteral("Laboratory..Lab_SaveWithCutOff"), args);
}

QString cutOffPost(const QString& request, const QString& sample, const SaveHeader& h)
{
    return call(QStringLiteral("LABORATORY..Lab_UpdateDLHemaResult"),
                {QStringLiteral("2"), sample, request, h.employeeCode,
                 DateText::monthDayYear(h.resultDate), h.instrumentId},
                Join::Tight);
}

QList<NvRowSave> nvRows(const ResultGrid<NvCol>& grid, const SaveHeader& h, bool verifies)
{
    const QString flag = verifies ? QStringLiteral("Y") : QStringLiteral("N");
    QList<NvRowSave> rows;
    for (const auto& row : grid) {
        const auto cell = [&](NvCol c) { return row.at(c); };
        if (cell(NvCol::Item).trimmed().isEmpty())
            continue; // an empty row saves nothing
        QList<CommandText::Arg> args = {cell(NvCol::Request), cell(NvCol::Item), cell(NvCol::Value),
                                        cell(NvCol::Normal), loose(cell(NvCol::Unit))};
        for (int c = col(NvCol::Min); c < kNvSavedCols; ++c)
            args.append(row.cells.value(c));
        args << QString::number(row.row) << h.accessionNum << tight(h.remarks)
             << general(h.submitted) << general(h.lraTime) << h.logbookNote << h.employeeCode
             << flag << h.method << general(h.reported);
        QString summary = package(h) ? cell(NvCol::Name) + QStringLiteral("=") : QString();
        summary += cell(NvCol::Value) + QStringLiteral(" (") + cell(NvCol::Normal) +
                   QLatin1Char(' ') + cell(NvCol::Unit) + QLatin1Char(')');
        // A changed SI value has no conventional one yet: the laboratory
        // derives it on save, and the summary takes it from there.
        const bool derived = cell(NvCol::CValue).trimmed().isEmpty();
        if (!derived)
            summary += cell(NvCol::CValue) + QStringLiteral(" (") + cell(NvCol::CNormal) +
                       QLatin1Char(' ') + cell(NvCol::CUnit) + QLatin1Char(')');
        rows.append({row.row, cell(NvCol::Request), cell(NvCol::Item), cell(NvCol::Name).trimmed(),
                     cell(NvCol::Value),
                     call(QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2"), args),
                     summary, derived});
    }
    return rows;
}

QString withReason(const QString& statement, const QString& reason)
{
    return statement + QStringLiteral(", ") + CommandText::quoted(reason);
}

QString emptySummary(const QString& request)
{
    return call(QStringLiteral("Lab_DeleteDump_ResultSummary"), {request});
}

QString saveSummary(const QString& request, const QString& summary)
{
    return call(QStringLiteral("Lab_SaveDump_ResultSummary"), {request, summary});
}

QString conventionalResults(const QString& request, bool readBack)
{
    return call(readBack ? QStringLiteral("Lab_FormMaker_GetResult_ReagentValues")
                         : QStringLiteral("LABORATORY..Lab_FormMaker_GetResult_ReagentValues "),
                {request});
}

} // namespace SaveCommands
