#include "bench/BenchLab.h"
#include "bench/CommandSave.h"
#include "bench/EngineFigures.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/CommandText.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/PgCluster.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <sched.h>

using namespace Qt::StringLiterals;

namespace EngineFigures {
QList<ReadCase> readCases(const QDate& day)
{
    const QVariantList dayRange = {DateText::storage(QDateTime(day, QTime(0, 0))),
                                   DateText::storage(QDateTime(day.addDays(1), QTime(0, 0)))};
    // The downloaded results of a sample with what the procedure adds to
    // them (exam item, normal values, cut-off, the request asking for each),
    // in one statement.
    const QString sample = u"SELECT coalesce(i.ExamName, d.InstrumentItem), d.ResultValue, "
                           "d.Unit, d.Flags, m.ItemID, d.ResultValue, d.InstrumentItem, "
                           "d.SampleNum, d.Resultdate, d.PatientName, d.refnum, d.InstrumentID, "
                           "d.Posted, d.PostedRequestNum, m.ShowResultValue, i.NormalValues, "
                           "i.SIMin, i.SIMax, i.SIPrecision, d.DLResultID, "
                           "coalesce(m.CutOff, i.CutOff), (SELECT r.RequestNum FROM tbLabRequest "
                           "r JOIN tbLabExamFormat f ON f.Code = r.Code WHERE r.RefNum = d.refnum "
                           "AND f.ItemID = m.ItemID ORDER BY r.RequestNum LIMIT 1) "
                           "FROM tbLabInstrumentDLHemaResult d LEFT JOIN tbLabInstrumentExams m "
                           "ON m.InstrumentID = d.InstrumentID AND m.InstrumentItem = "
                           "d.InstrumentItem LEFT JOIN tbLabExamItem i ON i.ItemID = m.ItemID "
                           "WHERE d.InstrumentID = ? AND d.SampleNum = ? AND d.Resultdate >= ? "
                           "AND d.Resultdate < ? ORDER BY d.Resultdate, d.DLResultID"_s;
    return {
        {u"select tbLabLogbook by RequestNum"_s,
         u"select * from tbLabLogbook where RequestNum = 'L-1006'"_s,
         u"SELECT * FROM tbLabLogbook WHERE RequestNum = ?"_s,
         u"SELECT * FROM tbLabLogbook WHERE RequestNum = ?"_s,
         {u"L-1006"_s}},
        {u"select tbLabInstrumentExams by ItemID"_s,
         u"SELECT * FROM LABORATORY..tbLabInstrumentExams WHERE ItemID = 'HBSAG'"_s,
         u"SELECT * FROM tbLabInstrumentExams WHERE ItemID = ?"_s,
         u"SELECT * FROM tbLabInstrumentExams WHERE ItemID = ?"_s,
         {u"HBSAG"_s}},
        {u"select worklist, like + refnum"_s,
         u"Select * from tbLabInstrumentHemaWorkList Where InstrumentID like 'AN-01' and refnum = "
         "'REF-5001'"_s,
         u"SELECT * FROM tbLabInstrumentHemaWorkList WHERE InstrumentID LIKE ? AND refnum = ?"_s,
         u"SELECT * FROM tbLabInstrumentHemaWorkList WHERE lower(InstrumentID COLLATE \"C\") "
         "LIKE lower(?) AND refnum = ?"_s,
         {u"AN-01"_s, u"REF-5001"_s}},
        {u"select patient_data..tbHospitalInfo"_s,
         u"select * from patient_data..tbHospitalInfo"_s,
         u"SELECT * FROM patient_data.tbHospitalInfo"_s,
         u"SELECT * FROM patient_data.tbHospitalInfo"_s,
         {}},
        {u"sp_InstrumentGetAxsymSample '1' (4 rows)"_s,
         CommandText::call(
             u"LABORATORY..sp_InstrumentGetAxsymSample"_s,
             {u"1"_s, DateText::monthDayYear(day), u"AN-01"_s, u"101"_s, QString(), QString()}),
         sample, sample, QVariantList{u"AN-01"_s, u"101"_s} + dayRange},
    };
}

double commandMs(Connection& db, const QString& text, int repeats)
{
    return msOf([&] {
               for (int i = 0; i < repeats; ++i)
                   db.openRecordset(text)->recordCount();
           }) /
           repeats;
}

double directMs(QSqlQuery& q, const QVariantList& binds, int repeats)
{
    return msOf([&] {
               for (int i = 0; i < repeats; ++i) {
                   for (int b = 0; b < binds.size(); ++b)
                       q.bindValue(b, binds[b]);
                   if (!q.exec())
                       qFatal("baseline read failed: %s", qPrintable(q.lastError().text()));
                   const int columns = q.record().count();
                   while (q.next())
                       for (int k = 0; k < columns; ++k)
                           q.value(k);
               }
           }) /
           repeats;
}

void printRead(QTextStream& out, const ReadRow& r)
{
    const double ratio = r.component / r.direct;
    out << u"  %1 %2 %3 %4 %5x  %6\n"_s.arg(r.label, -42)
               .arg(r.engine, -10)
               .arg(ms(r.component))
               .arg(ms(r.direct))
               .arg(ratio, 6, 'f', 2)
               .arg(r.goal ? verdict(ratio, kReadGoal) : u"(reference)"_s);
    out.flush();
}

void tableHeader(QTextStream& out, const QString& figure, const QString& measured,
                 const QString& against)
{
    out << u"  %1 %2 %3 %4 %5\n"_s.arg(figure, -42)
               .arg(u"engine"_s, -10)
               .arg(measured, 12)
               .arg(against, 12)
               .arg(u"ratio"_s, 7);
}

ReadRow readRow(const Lab& lab, const ReadCase& c, bool labelled)
{
    Connection db;
    db.open(lab.connectionString);
    QSqlQuery q(lab.direct());
    q.setForwardOnly(true);
    if (!q.prepare(lab.isServer() ? c.postgresql : c.sqlite))
        qFatal("baseline statement refused: %s", qPrintable(q.lastError().text()));
    commandMs(db, c.command, 50);
    directMs(q, c.binds, 50);
    QList<double> component, direct;
    for (int r = 0; r < kReadRounds; ++r) {
        component << commandMs(db, c.command, kReadRepeats);
        direct << directMs(q, c.binds, kReadRepeats);
    }
    return {labelled ? c.label : QString(), lab.engine, fastest(component), fastest(direct),
            lab.isServer() || c.label.startsWith(u"sp_Instrument"_s)};
}

std::optional<double> benchReads(QTextStream& out, const QList<const Lab*>& labs)
{
    out << u"a. Reads: the command text through Connection against the same query as a prepared "
           "statement through QSqlQuery on the same database (%1 rounds of %2 each, the two "
           "taking turns, after 50 unmeasured; the best round; goal on PostgreSQL: within "
           "%3x)\n"_s.arg(kReadRounds)
               .arg(kReadRepeats)
               .arg(kReadGoal);
    tableHeader(out, u"command"_s, u"Connection"_s, u"direct"_s);
    std::optional<double> worst;
    const QDate day = Clock::today();
    for (const ReadCase& c : readCases(day)) {
        for (const Lab* lab : labs) {
            const ReadRow row = readRow(*lab, c, lab == labs.first());
            printRead(out, row);
            if (lab->isServer())
                worst = std::max(worst.value_or(0), row.component / row.direct);
            else if (row.goal)
                judged.sqliteSample = row.component / row.direct;
        }
    }
    // Opening: what every workstation pays once, at its first command; the
    // baseline opens the same database and, on the server, sets the same
    // search path.
    for (const Lab* lab : labs) {
        const double open = msOf([&] {
                                for (int i = 0; i < kOpenRepeats; ++i) {
                                    Connection db;
                                    db.open(lab->connectionString);
                                }
                            }) /
                            kOpenRepeats;
        const double direct = msOf([&] {
                                  for (int i = 0; i < kOpenRepeats; ++i)
                                      lab->openAndClose();
                              }) /
                              kOpenRepeats;
        printRead(out, {lab == labs.first() ? u"Connection::open (mean of %1)"_s.arg(kOpenRepeats)
                                            : QString(),
                        lab->engine, open, direct, false});
    }
    out << "\n";
    return worst;
}

// ---- b. a 200-row save ---------------------------------------------------------
} // namespace EngineFigures
