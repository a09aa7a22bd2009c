#include "labserver/LabStore.h"
#include "labserver/SqlDialect.h"
#include "labserver/procedures/ProcedureSupport.h"
#include "labserver/procedures/Procedures.h"
#include "platform/CommandExcerpt.h"
#include "platform/DateText.h"

#include <QLocale>

using namespace ProcedureSupport;

namespace {
// The rows of modes 1 and 3, in this order (the windows read the columns
// by position: 0 exam, 1 numeric result, 2 unit, 4 exam item code,
// 18 cut-off, 19 request number; 0 to 6 are the ones staff see).
const QStringList kSampleColumns = {
    QStringLiteral("Exam"),             // 0 exam name as staff know it
    QStringLiteral("Result"),           // 1 numeric result, Null when the value is no number
    QStringLiteral("Unit"),             // 2
    QStringLiteral("Flags"),            // 3 instrument flags (H, L, ...)
    QStringLiteral("ItemID"),           // 4 exam item code
    QStringLiteral("Interpretation"),   // 5 the value against the cut-off
    QStringLiteral("Value"),            // 6 the value as downloaded
    QStringLiteral("InstrumentItem"),   // 7 the instrument's own assay code
    QStringLiteral("SampleNum"),        // 8
    QStringLiteral("ResultDate"),       // 9 general date
    QStringLiteral("PatientName"),      // 10
    QStringLiteral("RefNum"),           // 11
    QStringLiteral("InstrumentID"),     // 12
    QStringLiteral("Posted"),           // 13 Y once saved to a request
    QStringLiteral("PostedRequestNum"), // 14
    QStringLiteral("ShowResultValue"),  // 15
    QStringLiteral("NormalValues"),     // 16 SI normal values of the exam
    QStringLiteral("DLResultID"),       // 17
    QStringLiteral("CutOff"),           // 18 the instrument's cut-off, else the exam's
    QStringLiteral("RequestNum"),       // 19 the request of the order that asked for the exam
};

// The arguments of sp_InstrumentGetAxsymSample and
// sp_InstrumentGetHemaSampleNum (which has Search where the sample is).
struct SampleArg {
    enum : int { Mode, ResultDate, Instrument, Sample, PatientName, RefNum, Search = Sample };
};

// Lab_UpdateDLHemaResult's arguments.
struct PostArg {
    enum : int { Mode, Sample, Request, Employee, ResultDate, Instrument };
};

struct Sample {
    QString instrument;
    QString number;
    QDateTime day; // invalid: no sample
};

// An empty date or sample names no sample (the window asks before it
// knows one).
Sample sampleOf(const ProcedureContext& ctx)
{
    Sample s{ctx.key(SampleArg::Instrument), ctx.key(SampleArg::Sample), {}};
    if (!ctx.text(SampleArg::ResultDate).trimmed().isEmpty())
        s.day = ctx.dateTime(SampleArg::ResultDate, QStringLiteral("@ResultDate"));
    return s;
}

// The sample's downloaded rows, in the order of their result dates, with
// the columns asked for (d: the download, m: the instrument's exam code).
ResultSet sampleRows(LabStore& store, const Sample& s, const QString& columns,
                     const QStringList& dateColumns = {}, const QVariantList& columnBinds = {})
{
    if (!s.day.isValid() || s.number.isEmpty())
        return {};
    const QVariantList day = dayRange(s.day);
    return store.query(
        QStringLiteral("SELECT ") + columns +
            QStringLiteral(" FROM tbLabInstrumentDLHemaResult d LEFT JOIN tbLabInstrumentExams m "
                           "ON m.InstrumentID = d.InstrumentID "
                           "AND m.InstrumentItem = d.InstrumentItem "
                           "LEFT JOIN tbLabExamItem i ON i.ItemID = m.ItemID "
                           "WHERE d.InstrumentID = ? AND d.SampleNum = ? AND d.Resultdate >= ? "
                           "AND d.Resultdate < ? ORDER BY d.Resultdate, d.DLResultID"),
        columnBinds + QVariantList{s.instrument, s.number, day[0], day[1]}, dateColumns);
}

// The columns of downloadedRows, in its select's order. OrderRequest is the
// request of the order that asked for the row's exam (the refnum given
// wins; without one, the sample's own); the exam item's own columns follow
// from ItemFirst, so one statement answers for the sample.
struct Dl {
    enum : int {
        ResultId,
        InstrumentItem,
        Value,
        Unit,
        Flags,
        PatientName,
        RefNum,
        ResultDate,
        SampleNum,
        InstrumentId,
        Posted,
        PostedRequest,
        Remarks,
        ItemId,
        ShowResultValue,
        CutOff,
        OrderRequest,
        ItemFirst
    };
};

ResultSet downloadedRows(LabStore& store, const Sample& s, const QString& refNum = {})
{
    return sampleRows(store, s,
                      QStringLiteral("d.DLResultID, d.InstrumentItem, d.ResultValue, d.Unit, "
                                     "d.Flags, d.PatientName, d.refnum, d.Resultdate, "
                                     "d.SampleNum, d.InstrumentID, d.Posted, d.PostedRequestNum, "
                                     "d.SampleRemarks, m.ItemID, m.ShowResultValue, m.CutOff, "
                                     // the first by number; min(), not ORDER BY ... LIMIT
                                     // 1, which may walk every request in number order
                                     "(SELECT min(r.RequestNum) FROM tbLabRequest r "
                                     "JOIN tbLabExamFormat f ON f.Code = r.Code "
                                     "WHERE r.RefNum = coalesce(CAST(? AS text), d.refnum) "
                                     "AND f.ItemID = m.ItemID), ") +
                          examItemColumns(QStringLiteral("i")),
                      {QStringLiteral("Resultdate")},
                      {refNum.isEmpty() ? QVariant() : QVariant(refNum)});
}

// Mode 4: each downloaded item's exam code and value. The windows call it
// once for every row they take over, so it reads only these two columns.
ResultSet itemValues(LabStore& store, const Sample& s)
{
    ResultSet rs =
        sampleRows(store, s, QStringLiteral("coalesce(m.ItemID, ''), coalesce(d.ResultValue, '')"));
    rs.columns = {QStringLiteral("ItemID"), QStringLiteral("result")};
    return rs;
}

ResultSet sampleResults(ProcedureContext& ctx, const Sample& s, const QString& refNumArgument)
{
    ResultSet rs;
    rs.columns = kSampleColumns;
    const ResultSet rows = downloadedRows(ctx.store(), s, refNumArgument);
    for (const QVariantList& d : rows.rows) {
        const QString value = d[Dl::Value].toString();
        const std::optional<ExamItem> item = examItemAt(d, Dl::ItemFirst);
        const std::optional<double> n = LabLogic::number(value);
        std::optional<double> cutOff =
            d[Dl::CutOff].isNull() ? std::nullopt : std::optional<double>(d[Dl::CutOff].toDouble());
        if (!cutOff && item)
            cutOff = item->cutOff;
        rs.rows.append({
            item ? item->name : d[Dl::InstrumentItem].toString(),
            n ? QVariant(*n) : QVariant(),
            d[Dl::Unit].toString(),
            d[Dl::Flags].toString(),
            d[Dl::ItemId].toString(),
            item ? item->interpret(value, cutOff) : value,
            value,
            d[Dl::InstrumentItem],
            d[Dl::SampleNum],
            d[Dl::ResultDate],
            d[Dl::PatientName],
            d[Dl::RefNum],
            d[Dl::InstrumentId],
            d[Dl::Posted],
            d[Dl::PostedRequest].toString(),
            d[Dl::ShowResultValue].toString(),
            item ? item->siNormal() : QString(),
            d[Dl::ResultId],
            cutOff ? QVariant(*cutOff) : QVariant(QString()),
            d[Dl::OrderRequest].toString(),
        });
    }
    return rs;
}

// mode, date, instrument, sample, patient name[, refnum]. The patient name
// is accepted and not used: a sample is identified by instrument, day and
// number.
//   '1', '3': the downloaded results of the sample (kSampleColumns)
//   '2': the sample's remarks (Remarks), five arguments
//   '4': each item's value as downloaded (ItemID, result)
ResultSet axsymSample(ProcedureContext& ctx)
{
    const int mode = ctx.integer(SampleArg::Mode, QStringLiteral("@Mode"));
    if (mode < 1 || mode > 4)
        ctx.fail(QStringLiteral("argument 1 (@Mode) %1 is not 1, 2, 3 or 4.")
                     .arg(commandExcerpt(ctx.text(SampleArg::Mode))));
    const int expected = mode == 2 ? 5 : 6;
    if (ctx.count() != expected)
        ctx.fail(QStringLiteral("mode %1 takes %2 arguments, not %3.")
                     .arg(mode)
                     .arg(expected)
                     .arg(ctx.count()));
    const Sample s = sampleOf(ctx);
    if (mode == 1 || mode == 3)
        return sampleResults(ctx, s, ctx.key(SampleArg::RefNum).trimmed());
    if (mode == 4)
        return itemValues(ctx.store(), s);
    // Mode 2: the sample's remarks, the first that is not empty.
    const ResultSet rows = downloadedRows(ctx.store(), s);
    ResultSet rs;
    rs.columns = {QStringLiteral("Remarks")};
    QString remarks;
    for (const QVariantList& d : rows.rows)
        if (remarks.isEmpty())
            remarks = d[Dl::Remarks].toString();
    if (!rows.rows.isEmpty())
        rs.rows.append({remarks});
    return rs;
}

// '0', date, instrument, search text: the samples the instrument has for
// the day whose number or patient name contains the text (all for an empty
// text), by sample number.
ResultSet hemaSampleNumbers(ProcedureContext& ctx)
{
    if (ctx.key(SampleArg::Mode).trimmed() != QLatin1String("0"))
        ctx.fail(QStringLiteral("argument 1 (@Mode) %1 is not 0.")
                     .arg(commandExcerpt(ctx.text(SampleArg::Mode))));
    const QString day = ctx.dateTime(SampleArg::ResultDate, QStringLiteral("@ResultDate"))
                            .date()
                            .toString(QStringLiteral("yyyy-MM-dd"));
    const QString search = ctx.text(SampleArg::Search).trimmed();
    const Engine engine = ctx.store().engine();
    return ctx.store().query(
        QStringLiteral("SELECT SampleNum, PatientName FROM tbLabInstrumentDLHemaResult%1 "
                       "WHERE InstrumentID = ? AND %2 = ? "
                       "AND (? = '' OR %3 OR %4) "
                       "GROUP BY SampleNum, PatientName ORDER BY %5")
            .arg(SqlDialect::byIndex(engine, QStringLiteral("ixDLResultOfDay")),
                 SqlDialect::dayOf(engine, QStringLiteral("Resultdate")),
                 SqlDialect::containsIgnoringCase(engine, QStringLiteral("SampleNum")),
                 SqlDialect::containsIgnoringCase(engine, QStringLiteral("PatientName")),
                 SqlDialect::naturalOrder(engine, QStringLiteral("SampleNum"))),
        {ctx.key(SampleArg::Instrument), day, search, search, search});
}

// '2', sample, request, employee, date, instrument: the sample's downloaded
// results of the request's exams are posted to the request.
ResultSet updateDownloaded(ProcedureContext& ctx)
{
    if (ctx.key(PostArg::Mode).trimmed() != QLatin1String("2"))
        ctx.fail(QStringLiteral("argument 1 (@Mode) %1 is not 2.")
                     .arg(commandExcerpt(ctx.text(PostArg::Mode))));
    const QString req = existingRequest(ctx, PostArg::Request);
    const QString sample = ctx.key(PostArg::Sample);
    const QString instrument = ctx.key(PostArg::Instrument);
    const QDateTime day = ctx.optionalDateTime(PostArg::ResultDate, QStringLiteral("@ResultDate"));
    if (sample.isEmpty() || !day.isValid())
        return {}; // typed results: nothing was downloaded
    ctx.store().lock(LabStore::Lock::Sample, instrument + QLatin1Char('|') + sample);
    const QVariantList range = dayRange(day);
    // A window sends this for every row it saves; under the sample's lock
    // nothing new arrives, so one post a transaction does it.
    if (ctx.store().repeatsLast(
            QStringLiteral("post"),
            QStringList{instrument, sample, range[0].toString(), req}.join(QLatin1Char('\x1f'))))
        return {};
    ctx.store().exec(
        QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET Posted = 'Y', "
                       "PostedRequestNum = ?, PostedBy = ?, PostedAt = ? "
                       "WHERE InstrumentID = ? AND SampleNum = ? AND Resultdate >= ? "
                       "AND Resultdate < ? "
                       // a row already posted to this request is not written again
                       "AND NOT (Posted = 'Y' AND PostedRequestNum = ?) "
                       // preliminary and not-done results wait for their final
                       "AND ResultStatus NOT IN ('P', 'X') "
                       "AND InstrumentItem IN (SELECT m.InstrumentItem "
                       "FROM tbLabInstrumentExams m JOIN tbLabExamFormat f ON f.ItemID = m.ItemID "
                       "JOIN tbLabRequest r ON r.Code = f.Code "
                       "WHERE m.InstrumentID = ? AND r.RequestNum = ?)"),
        {req, ctx.key(PostArg::Employee), now(), instrument, sample, range[0], range[1], req,
         instrument, req});
    return {};
}
} // namespace

void registerInstrumentProcedures()
{
    ProcedureRegistry::add(
        {QStringLiteral("sp_InstrumentGetAxsymSample"), 5, 6, axsymSample, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("sp_InstrumentGetHemaSampleNum"), 4, 4,
                            hemaSampleNumbers, ProcedureAccess::Reads});
    ProcedureRegistry::add({QStringLiteral("Lab_UpdateDLHemaResult"), 6, 6, updateDownloaded});
}
