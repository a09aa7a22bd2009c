#include "DemoLaboratory.h"
#include "labrules/LabLogic.h"
#include "labrules/Westgard.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/ProcedureRegistry.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

#include <QHash>

namespace {
const QString kInstrument = QStringLiteral("AN-01");

struct DemoRequest {
    const char* requestNum;
    const char* refNum;
    const char* hospNum;
    const char* idNum;
    const char* code;
    int minute; // after 06:00 on the demo day
    const char* doctor;
    const char* physician;
    const char* note;
};

const DemoRequest kRequests[] = {
    {"L-0916", "REF-4916", "H-0005", "O-24012", "FBS", -14 * 24 * 60, "Dr. Ramon Cruz", "PHY01",
     "verified two weeks ago: glucose 5.5 mmol/L, the previous result L-1016 is checked against"},
    {"L-1001", "REF-5001", "H-0001", "A-24001", "HEPB", 30, "Dr. Ramon Cruz", "PHY01",
     "sample 101 in the instrument's worklist; its results appear at once"},
    {"L-1002", "REF-5001", "H-0001", "A-24001", "HEPC", 31, "Dr. Ramon Cruz", "PHY01",
     "same order and sample as L-1001"},
    {"L-1003", "REF-5002", "H-0002", "O-24010", "PRENAT", 45, "Dr. Teresa Uy", "PHY02",
     "prenatal package"},
    {"L-1004", "REF-5003", "H-0003", "A-24002", "EXECPK", 50, "Dr. Teresa Uy", "PHY02",
     "short-form package"},
    {"L-1005", "REF-5004", "H-0004", "O-24011", "DENGUE", 60, "Dr. Ramon Cruz", "PHY01",
     "sample 102 downloaded, not in the worklist"},
    {"L-1006", "REF-5005", "H-0005", "O-24012", "DONOR", 70, "Dr. Teresa Uy", "PHY02",
     "saved results (REACTIVE/NON-REACTIVE, EQUIVOCAL, POSITIVE): open with --edit or --verify"},
    {"L-1007", "REF-5006", "H-0006", "A-24003", "TYPHOID", 80, "Dr. Ramon Cruz", "PHY01", ""},
    {"L-1008", "REF-5007", "H-0007", "O-24013", "DENGDUO", 90, "Dr. Ramon Cruz", "PHY01", ""},
    {"L-1009", "REF-5008", "H-0008", "O-24014", "CBC", 95, "Dr. Teresa Uy", "PHY02",
     "sample 104 in the worklist"},
    {"L-1010", "REF-5009", "H-0009", "A-24004", "RENALH", 100, "Dr. Teresa Uy", "PHY02", ""},
    {"L-1011", "REF-5010", "H-0010", "O-24015", "URICH", 110, "Dr. Ramon Cruz", "PHY01", ""},
    {"L-1012", "REF-5011", "H-0001", "A-24001", "LIPIDH", 120, "Dr. Ramon Cruz", "PHY01", ""},
    {"L-1013", "REF-5012", "H-0002", "O-24010", "FBS", 130, "Dr. Teresa Uy", "PHY02",
     "sample 103 in the worklist (glucose 5.5 mmol/L, measured 9:50 AM after the rejected glucose "
     "control run: held by quality control)"},
    {"L-1014", "REF-5013", "H-0003", "A-24002", "RENAL", 140, "Dr. Teresa Uy", "PHY02",
     "saved results: open with --edit or --verify"},
    {"L-1015", "REF-5014", "H-0004", "O-24011", "LIPID", 150, "Dr. Ramon Cruz", "PHY01", ""},
    {"L-1016", "REF-5015", "H-0005", "O-24012", "CHEM6", 160, "Dr. Ramon Cruz", "PHY01",
     "saved results, glucose 5.5 mmol/L shown as 99 mg/dL"},
    {"L-1017", "REF-5016", "H-0006", "A-24003", "HISTO", 170, "Dr. Ramon Cruz", "PHY01",
     "exam without a result format"},
    {"L-1018", "REF-5017", "H-0007", "O-24016", "HEPB", 180, "Dr. Teresa Uy", "PHY02",
     "sample 105 in the worklist, not sent yet: send it with lis-instrument"},
};

struct DemoDownload {
    const char* sample;
    const char* refNum;
    const char* patient;
    int minute; // after 08:00
    const char* item;
    const char* value;
    const char* unit;
    const char* flags;
    const char* remarks;
};

const DemoDownload kDownloads[] = {
    {"101", "REF-5001", "DELA CRUZ, JUAN S", 5, "HBsAg", "0.42", "S/CO", "", "Slightly hemolysed"},
    {"101", "REF-5001", "DELA CRUZ, JUAN S", 5, "aHBs", "56.3", "mIU/mL", "", ""},
    {"101", "REF-5001", "DELA CRUZ, JUAN S", 5, "aHBc", "2.10", "S/CO", "", ""},
    {"101", "REF-5001", "DELA CRUZ, JUAN S", 5, "aHCV", "0.95", "S/CO", "GZ", ""},
    {"102", "REF-5004", "TAN, ROBERT C", 12, "NS1Ag", "3.85", "Index", "H", ""},
    {"103", "REF-5012", "O'BRIEN, MARY A", 110, "GLU", "5.5", "mmol/L", "", ""},
    {"104", "REF-5008", "NAKAMURA, KENJI", 25, "HGB", "145", "g/L", "", ""},
    {"104", "REF-5008", "NAKAMURA, KENJI", 25, "WBC", "12.4", "x10^9/L", "H", ""},
    {"104", "REF-5008", "NAKAMURA, KENJI", 25, "PLT", "250", "x10^9/L", "", ""},
    {"110", "", "WALK-IN, QC LEVEL 1", 2, "GLU", "4.9", "mmol/L", "", "Quality control"},
};

const char* const kWorklist[][4] = {
    // sample, refnum, exam, request
    {"101", "REF-5001", "HEPB", "L-1001"},
    {"103", "REF-5012", "FBS", "L-1013"},
    {"104", "REF-5008", "CBC", "L-1009"},
    {"105", "REF-5017", "HEPB", "L-1018"},
};

// The row the demo leaves in the laboratory it builds: only such a laboratory,
// or an empty one, is ever filled again.
const QString kDemoMark = QStringLiteral("DemoLaboratory");

// What a laboratory holds that the demo would mix its own rows into.
struct OwnData {
    const char* table;
    const char* one;
    const char* many;
};
const OwnData kOwnData[] = {
    {"tbLabRequest", "request", "requests"},
    {"patient_data.tbPatient", "patient", "patients"},
    {"tbLabResult", "result", "results"},
    {"tbLabInstrumentDLHemaResult", "downloaded result", "downloaded results"},
    {"tbLabInstrumentHemaWorkList", "worklist order", "worklist orders"},
    {"tbLabInstrumentMessage", "instrument message", "instrument messages"},
    {"tbLabExam", "exam", "exams"},
    {"tbLabInstrument", "instrument", "instruments"},
    {"patient_data.tbHospitalInfo", "hospital header", "hospital headers"},
};

// Refuses, inside the demo's transaction, a laboratory that holds data the
// demo did not make: the demo replaces an instrument's unposted downloads
// and worklist, which in a working laboratory are real samples.
void requireDemoOrEmpty(LabStore& store)
{
    if (store.engine() == Engine::PostgreSQL &&
        !store
             .query(QStringLiteral("SELECT pg_has_role(current_user, n.nspowner, 'USAGE') "
                                   "FROM pg_namespace n WHERE n.nspname = 'laboratory'"))
             .rows.value(0)
             .value(0)
             .toBool())
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The demo is built only by the login that owns the "
                                      "laboratory on %1 (the one that ran \"lis-host server "
                                      "init\"); this login is not it. Nothing was changed.")
                           .arg(store.where()));
    if (!store.query(QStringLiteral("SELECT 1 FROM tbLabOption WHERE Name = ?"), {kDemoMark})
             .rows.isEmpty())
        return;
    QStringList held;
    for (const OwnData& d : kOwnData) {
        const int n =
            store.query(QStringLiteral("SELECT count(*) FROM %1").arg(QLatin1String(d.table)))
                .rows.value(0)
                .value(0)
                .toInt();
        if (n > 0)
            held << QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? d.one : d.many));
    }
    if (!held.isEmpty())
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The laboratory at %1 holds data the demo did not make (%2): "
                                      "the demo is built only in an empty laboratory or in one "
                                      "it made. Nothing was changed. For the demo, set Server "
                                      "to an empty folder or database.")
                           .arg(store.where(), held.join(QStringLiteral(", "))));
}

// Saves go through the stored procedures, as the result windows' saves do.
void call(LabStore& store, const QString& name, const QStringList& args)
{
    const ProcedureDef* def = ProcedureRegistry::find(name);
    ProcedureContext ctx(store, def->name, args);
    def->body(ctx);
}

bool hasResults(LabStore& store, const QString& req)
{
    return !store.query(QStringLiteral("SELECT 1 FROM tbLabResult WHERE RequestNum = ?"), {req})
                .rows.isEmpty();
}

void saveCutOffResults(LabStore& store, const QDateTime& at)
{
    const QString req = QStringLiteral("L-1006");
    if (hasResults(store, req))
        return;
    const QString when = DateText::general(at);
    call(store, QStringLiteral("Lab_ResultEntryDLL_SaveToLogbook"),
         {req, QString(), QStringLiteral("MT01"), when, when, QStringLiteral("A-5005")});
    const QStringList rows[] = {
        {"HBSAG", "Hepatitis B surface antigen (HBsAg)", "0.35", "1", ""},
        {"ANTIHCV", "Anti-HCV", "0.9", "1", ""},
        {"HIV", "HIV 1/2 antibodies", "2.7", "1", ""},
        {"SYPH", "Syphilis (T. pallidum antibodies)", "3.2", "", ""},
    };
    int row = 0;
    for (const QStringList& r : rows)
        call(store, QStringLiteral("Lab_SaveWithCutOff"),
             {QStringLiteral("A-5005"), when, when, req, r[0], QStringLiteral("H"), r[1], r[2],
              r[3], r[4], QStringLiteral("Donor unit 24-0871"), QString::number(++row)});
}

void saveNormalValueResults(LabStore& store, const QString& req, const QDateTime& at,
                            const QList<QStringList>& rows)
{
    if (hasResults(store, req))
        return;
    const QString when = DateText::general(at);
    const QString accession = QStringLiteral("A-") + req.mid(2);
    call(store, QStringLiteral("Lab_ResultEntryDLL_SaveToLogbook"),
         {req, QString(), QStringLiteral("MT02"), when, when, accession});
    int row = 0;
    for (const QStringList& r : rows) {
        // Only the SI result is typed; the database supplies the rest.
        QStringList args = {req, r[0], r[1]};
        for (int i = 0; i < 11; ++i)
            args << QString();
        args << QString::number(++row) << accession << QString() << when << when << QString()
             << QStringLiteral("MT02") << QStringLiteral("N") << kInstrument << when;
        call(store, QStringLiteral("Lab_FormMaker_SaveResultWithNormalValues2"), args);
        call(store, QStringLiteral("Lab_RecordResultEntry"),
             {req, r[0], QStringLiteral("MT02"), QStringLiteral("T"), QString(), QString(),
              QStringLiteral("LAB-BENCH-2")});
    }
}

struct DemoLot {
    const char* item;
    const char* material;
    int level;
    const char* lotNo;
    const char* mean;
    const char* sd;
    const char* unit;
    const char* sampleId;
};

// Two items of two levels each, an item's levels side by side.
const DemoLot kLots[] = {
    {"GLU", "Chemistry control", 1, "GL1-2611", "5.00", "0.15", "mmol/L", "QC-GLU-1"},
    {"GLU", "Chemistry control", 2, "GL2-2611", "15.00", "0.40", "mmol/L", "QC-GLU-2"},
    {"K", "Chemistry control", 1, "K1-2611", "3.50", "0.08", "mmol/L", "QC-K-1"},
    {"K", "Chemistry control", 2, "K2-2611", "6.50", "0.12", "mmol/L", "QC-K-2"},
};

// The value z target SDs from a lot's mean.
QString demoValue(const DemoLot& l, double z)
{
    return (*LabLogic::Decimal::parse(QLatin1String(l.mean)) +
            LabLogic::Decimal(z) * *LabLogic::Decimal::parse(QLatin1String(l.sd)))
        .fixed(2);
}

void addDemoLots(LabStore& store, const QDate& day)
{
    const QString expiry = DateText::general(QDateTime(day.addDays(180), QTime()));
    for (const DemoLot& l : kLots)
        call(store, QStringLiteral("sp_QCLotAdd"),
             {kInstrument, QLatin1String(l.item), QLatin1String(l.material),
              QString::number(l.level), QLatin1String(l.lotNo), expiry, QLatin1String(l.mean),
              QLatin1String(l.sd), QLatin1String(l.unit), QLatin1String(l.sampleId),
              QStringLiteral("MT01")});
}

// In control: small, alternating about the mean, so no rule across runs
// fires. A month of history is judged here and written at once (the demo is
// built for every test); today's rejected run goes through the procedure,
// which opens the hold.
void writeQcHistory(LabStore& store, const QDate& day)
{
    static const double wobble[] = {0.3, -0.6, 0.9, -0.2, 1.1, -0.8, 0.4, -1.2, 0.7, -0.3, 0.5};
    const ResultSet ids = store.query(QStringLiteral("SELECT LotNo, LotID FROM tbLabQCLot WHERE "
                                                     "InstrumentID = ?"),
                                      {kInstrument});
    QHash<QString, qint64> lotId;
    for (const QVariantList& r : ids.rows)
        lotId.insert(r[0].toString(), r[1].toLongLong());
    QHash<QString, QList<Westgard::Control>> history; // by item
    QStringList values;
    QVariantList binds;
    for (int back = 30; back >= 0; --back) {
        const QDateTime morning(day.addDays(-back), QTime(7, 30));
        for (int first = 0; first < 4; first += 2) {
            QList<Westgard::Control> run;
            QStringList written;
            for (int n = first; n < first + 2; ++n) {
                const DemoLot& l = kLots[n];
                const double z =
                    back == 5 && n == 0 ? 2.3 : wobble[(back + 3 * n) % 11] * (n % 2 ? -1 : 1);
                const QString value = demoValue(l, z);
                written << value;
                run.append({l.level, lotId.value(QLatin1String(l.lotNo)),
                            *LabLogic::Decimal::parse(value) -
                                *LabLogic::Decimal::parse(QLatin1String(l.mean)),
                            *LabLogic::Decimal::parse(QLatin1String(l.sd))});
            }
            const QString item = QLatin1String(kLots[first].item);
            const auto judged =
                Westgard::judgeRun(history[item], run, Westgard::defaultRejecting());
            history[item] += run;
            for (int m = 0; m < 2; ++m) {
                values << QStringLiteral("(?, ?, ?, ?, ?, ?, ?, 'M', '', 'MT01', ?)");
                binds << run[m].lot << DateText::storage(morning.addSecs(60 * (first + m)))
                      << DateText::storage(morning.addSecs(60 * first)) << written[m] << run[m].z()
                      << Westgard::names(judged[m].broken) << Westgard::name(judged[m].verdict)
                      << DateText::storage(morning.addSecs(60 * (first + m)));
            }
        }
    }
    store.exec(QStringLiteral("INSERT INTO tbLabQCResult (LotID, MeasuredAt, RunAt, Value, ZScore, "
                              "Rules, Verdict, Source, SampleID, EnteredBy, EnteredAt) VALUES ") +
                   values.join(QStringLiteral(", ")),
               binds);
}

// Quality control of AN-01: glucose and potassium at two levels, thirty
// days in control (one 1-2s warning of glucose level 1 five days ago), and
// today's glucose run at 9:40 rejected by 2-2s, after which sample 103 was
// measured: L-1013's glucose is held.
void buildQualityControl(LabStore& store, const QDate& day)
{
    if (!store
             .query(QStringLiteral("SELECT 1 FROM tbLabQCLot WHERE InstrumentID = ?"),
                    {kInstrument})
             .rows.isEmpty())
        return;
    addDemoLots(store, day);
    writeQcHistory(store, day);
    const auto add = [&](const DemoLot& l, const QDateTime& at, double z) {
        call(store, QStringLiteral("sp_QCResultAdd"),
             {kInstrument, QLatin1String(l.item), QLatin1String(l.lotNo), demoValue(l, z),
              DateText::general(at), QStringLiteral("MT01")});
    };
    const QDateTime rejected(day, QTime(9, 40));
    add(kLots[0], rejected, 2.4);
    add(kLots[1], rejected.addSecs(30), 2.6);
}

void insertRequests(LabStore& store, const QDate& day)
{
    const QDateTime six(day, QTime(6, 0));
    for (const DemoRequest& r : kRequests)
        store.exec(QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, "
                                  "HospNum, IDNum, Code, RequestDate, Doctor, Rush, "
                                  "PhysicianID, ResidentId) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, 'N', ?, 'RES01') "
                                  "ON CONFLICT DO NOTHING"),
                   {QLatin1String(r.requestNum), QLatin1String(r.refNum), QLatin1String(r.hospNum),
                    QLatin1String(r.idNum), QLatin1String(r.code),
                    DateText::storage(six.addSecs(r.minute * 60)), QLatin1String(r.doctor),
                    QLatin1String(r.physician)});
}

// Today's downloads and worklist replace the demo instrument's old,
// unposted ones.
void replaceDownloads(LabStore& store, const QDate& day)
{
    store.exec(QStringLiteral("DELETE FROM tbLabInstrumentDLHemaResult WHERE InstrumentID = "
                              "? AND Posted = 'N'"),
               {kInstrument});
    store.exec(QStringLiteral("DELETE FROM tbLabInstrumentHemaWorkList WHERE InstrumentID = ?"),
               {kInstrument});
    const QDateTime eight(day, QTime(8, 0));
    for (const DemoDownload& d : kDownloads)
        store.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                  "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                  "Flags, PatientName, refnum, SampleRemarks) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                   {kInstrument, QLatin1String(d.sample),
                    DateText::storage(eight.addSecs(d.minute * 60)), QLatin1String(d.item),
                    QLatin1String(d.value), QLatin1String(d.unit), QLatin1String(d.flags),
                    QString::fromUtf8(d.patient), QLatin1String(d.refNum),
                    QLatin1String(d.remarks)});
    for (const auto& w : kWorklist)
        store.exec(QStringLiteral("INSERT INTO tbLabInstrumentHemaWorkList (InstrumentID, "
                                  "refnum, SampleNumber, orderdate, RequestedExamCode, "
                                  "RequestNum) VALUES (?, ?, ?, ?, ?, ?)"),
                   {kInstrument, QLatin1String(w[1]), QLatin1String(w[0]),
                    DateText::storage(QDateTime(day, QTime(7, 30))), QLatin1String(w[2]),
                    QLatin1String(w[3])});
}

void saveDemoResults(LabStore& store, const QDate& day)
{
    const QDateTime nine(day, QTime(9, 0));
    const QDateTime earlier = nine.addDays(-14);
    if (!hasResults(store, QStringLiteral("L-0916"))) {
        saveNormalValueResults(store, QStringLiteral("L-0916"), earlier, {{"GLU", "5.5"}});
        call(store, QStringLiteral("LAB_Save_VerifyResults"),
             {QStringLiteral("L-0916"), QStringLiteral("MT01")});
    }
    saveCutOffResults(store, nine);
    saveNormalValueResults(store, QStringLiteral("L-1014"), nine,
                           {{"CREA", "88"}, {"UREA", "5.2"}, {"URIC", "360"}});
    saveNormalValueResults(store, QStringLiteral("L-1016"), nine,
                           {{"GLU", "5.5"},
                            {"CREA", "97"},
                            {"UREA", "6.1"},
                            {"URIC", "410"},
                            {"CHOL", "5.9"},
                            {"TRIG", "1.2"}});
}

DemoLaboratory::Summary summaryOf(LabStore& store)
{
    DemoLaboratory::Summary summary{kInstrument, QStringLiteral("Integrated Analyzer AN-01"), {}};
    const ResultSet rs = store.query(QStringLiteral(
        "SELECT r.RequestNum, p.LastName || ', ' || p.FirstName, e.ExamName, e.FormType, "
        "e.ValueType FROM tbLabRequest r JOIN tbPatient p ON p.HospNum = r.HospNum "
        "JOIN tbLabExam e ON e.Code = r.Code ORDER BY r.RequestNum"));
    for (const QVariantList& row : rs.rows) {
        QString note;
        for (const DemoRequest& r : kRequests)
            if (row[0].toString() == QLatin1String(r.requestNum))
                note = QString::fromUtf8(r.note);
        summary.requests.append({row[0].toString(), row[1].toString(), row[2].toString(),
                                 row[3].toString(), row[4].toString(), note});
    }
    return summary;
}
} // namespace

QDate DemoLaboratory::dayAt(const QDateTime& now)
{
    return now.time() < QTime(10, 0) ? now.date().addDays(-1) : now.date();
}

DemoLaboratory::Summary DemoLaboratory::build(const QString& folder, const QDate& day)
{
    registerLabDrivers(); // the schema and the procedures the demo saves with
    LabStore store(folder);
    return build(store, day);
}

DemoLaboratory::Summary DemoLaboratory::build(LabStore& store, const QDate& day)
{
    registerLabDrivers();
    ScopedTransaction transaction(store);
    requireDemoOrEmpty(store);
    // The demo's saved results are audited as the demo's.
    store.setAuditContext(QStringLiteral("DEMO"), QStringLiteral("lis-host demo"),
                          DateText::storage(QDateTime(day, QTime(6, 0))),
                          QStringLiteral("demo laboratory"));
    store.exec(QStringLiteral("INSERT INTO tbLabOption (Name, Value) VALUES (?, 'Y') "
                              "ON CONFLICT DO NOTHING"),
               {kDemoMark});
    store.runScript(QStringLiteral(":/labserver/demo.sql"));
    insertRequests(store, day);
    replaceDownloads(store, day);
    saveDemoResults(store, day);
    buildQualityControl(store, day);
    transaction.commit();
    return summaryOf(store);
}
