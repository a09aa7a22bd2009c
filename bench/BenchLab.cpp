#include "BenchLab.h"
#include "labserver/LabStore.h"
#include "labserver/demo/DemoLaboratory.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/SettingsStore.h"
#include "platform/db/ScopedTransaction.h"

QString BenchLab::itemId(int i)
{
    return QStringLiteral("B%1").arg(i, 4, 10, QLatin1Char('0'));
}

QString BenchLab::benchRequest(int n)
{
    return QStringLiteral("B-%1").arg(n);
}

QString BenchLab::workstationRequest(int slot, int n)
{
    return QStringLiteral("W%1-%2").arg(slot).arg(n);
}

QString BenchLab::workstationSample(int slot)
{
    return QStringLiteral("WS%1").arg(slot);
}

BenchLab::BenchLab(int items)
{
    m_folder = m_dir.path();
    qputenv("LIS_CONFIG_DIR", (m_folder + QStringLiteral("/config")).toLocal8Bit());
    const QDate day = Clock::today();
    DemoLaboratory::build(m_folder, day);
    {
        LabStore store(m_folder);
        addBenchExam(store, items, day);
    }
    const QString user = QStringLiteral("TARVIK Current User");
    SettingsStore::set(user, QStringLiteral("Connection"), QStringLiteral("Server"), m_folder);
    SettingsStore::set(user, QStringLiteral("Laboratory"), QStringLiteral("Printer"), m_folder);
    SettingsStore::set(QStringLiteral("TarvikInstrumentID"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), QStringLiteral("AN-01"));
}

void BenchLab::addBenchExam(LabStore& store, int items, const QDate& day)
{
    {
        ScopedTransaction transaction(store);
        store.exec(QStringLiteral("INSERT INTO tbLabExam (Code, ExamName, SectionID, FormType) "
                                  "VALUES ('BENCH', 'Bench panel', 'SER', '5')"));
        const QString at = DateText::storage(QDateTime(day, QTime(8, 0)));
        for (int i = 1; i <= items; ++i) {
            const QString id = itemId(i);
            store.exec(QStringLiteral("INSERT INTO tbLabExamItem (ItemID, ExamName, CutOff) "
                                      "VALUES (?, ?, 1.0)"),
                       {id, QStringLiteral("Bench item ") + id});
            store.exec(QStringLiteral("INSERT INTO tbLabExamFormat (Code, ItemID, SortOrder) "
                                      "VALUES ('BENCH', ?, ?)"),
                       {id, i});
            store.exec(QStringLiteral("INSERT INTO tbLabInstrumentExams (InstrumentID, "
                                      "InstrumentItem, ItemID, ShowResultValue, CutOff) VALUES "
                                      "('AN-01', ?, ?, 'Y', 1.0)"),
                       {id, id});
            store.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                      "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                      "PatientName, refnum) VALUES ('AN-01', 'B1', ?, ?, '0.5', "
                                      "'S/CO', 'BENCH, PATIENT', 'REF-B')"),
                       {at, id});
        }
        for (int r = 1; r <= kBenchRequests; ++r)
            store.exec(
                QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, "
                               "Code, RequestDate) VALUES (?, 'REF-B', 'H-0001', 'BENCH', ?)"),
                {benchRequest(r), at});
        store.exec(QStringLiteral("INSERT INTO tbLabInstrumentHemaWorkList (InstrumentID, refnum, "
                                  "SampleNumber, orderdate, RequestedExamCode, RequestNum) VALUES "
                                  "('AN-01', 'REF-B', 'B1', ?, 'BENCH', 'B-1')"),
                   {at});
        transaction.commit();
    }
}

namespace {
// A bound date-time as a statement of either engine stores it.
QString boundDateTime(const LabStore& store)
{
    return store.engine() == Engine::PostgreSQL ? QStringLiteral("CAST(? AS timestamp)")
                                                : QStringLiteral("?");
}

// Rows numbered 1..? (the first bound value), for one INSERT ... SELECT.
const QString kNumbers =
    QStringLiteral("WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < ?) ");
} // namespace

void BenchLab::addWorkstationRequests(LabStore& store, int slotCount, int perSlot, int rows,
                                      const QDate& day)
{
    {
        ScopedTransaction transaction(store);
        const QString at = DateText::storage(QDateTime(day, QTime(8, 0)));
        for (int s = 0; s < slotCount; ++s) {
            const QString ref = QStringLiteral("REF-W%1").arg(s);
            for (int i = 1; i <= rows; ++i)
                store.exec(QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                          "SampleNum, Resultdate, InstrumentItem, ResultValue, "
                                          "Unit, PatientName, refnum) VALUES ('AN-01', ?, ?, ?, "
                                          "'0.5', 'S/CO', 'BENCH, PATIENT', ?)"),
                           {workstationSample(s), at, itemId(i), ref});
            // workstationRequest(s, x), spelt in SQL.
            store.exec(kNumbers +
                           QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, "
                                          "Code, RequestDate) SELECT 'W' || ? || '-' || x, ?, "
                                          "'H-0001', 'BENCH', %1 FROM n")
                               .arg(boundDateTime(store)),
                       {perSlot, QString::number(s), ref, at});
        }
        transaction.commit();
    }
}

namespace {
// The history's statements over a slice of numbers n(x), each with whether
// it takes the number of items too; `at` is how the slice's date is bound.
QList<std::pair<QString, bool>> historyStatements(const QString& at)
{
    constexpr int kPatients = 40000;
    return {
        {QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, Code, "
                        "RequestDate) SELECT 'Y' || x, 'REF-Y' || x, 'HY' || (x % %1), "
                        "'BENCH', %2 FROM n")
             .arg(kPatients)
             .arg(at),
         false},
        {QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, Note, EmployeeCode, LoggedAt) "
                        "SELECT 'Y' || x, '', 'MT01', %1 FROM n")
             .arg(at),
         false},
        {QStringLiteral("INSERT INTO tbLabResultHeader (RequestNum, AccessionNum, ResultDate) "
                        "SELECT 'Y' || x, 'A-Y' || x, %1 FROM n")
             .arg(at),
         false},
        {QStringLiteral("INSERT INTO tbLabResult (RequestNum, ItemID, RowNo, ExamName, "
                        "PatientValue, Result, Verified, VerifiedBy, VerifiedAt) SELECT 'Y' || x, "
                        "f.ItemID, f.SortOrder, 'Bench item', '0.5', 'NEGATIVE', 'Y', 'MT01', %1 "
                        "FROM n CROSS JOIN tbLabExamFormat f WHERE f.Code = 'BENCH' AND "
                        "f.SortOrder <= ?")
             .arg(at),
         true},
        // Sealed long ago: the trail's rows, one a result.
        {QStringLiteral("INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, "
                        "NewValue, ChangedBy, Workstation, ChangedAt, Note, Hash) SELECT 'Y' || "
                        "x, f.ItemID, 'Result', '', '0.5', 'MT01', 'BENCH', %1, '', 'history' "
                        "FROM n CROSS JOIN tbLabExamFormat f WHERE f.Code = 'BENCH' AND "
                        "f.SortOrder <= ?")
             .arg(at),
         true},
        // One download a request, posted to it.
        {QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, SampleNum, "
                        "Resultdate, InstrumentItem, ResultValue, Unit, PatientName, refnum, "
                        "Posted, PostedRequestNum) SELECT 'AN-01', 'Y' || x, %1, 'B0001', '0.5', "
                        "'S/CO', 'HISTORY', 'REF-Y' || x, 'Y', 'Y' || x FROM n")
             .arg(at),
         false},
    };
}

// The years are loaded as they were audited then, not audited again: the
// result's triggers are set aside (the embedded laboratory's are returned,
// to be written again).
QList<QVariantList> setResultTriggersAside(LabStore& store, bool server)
{
    QList<QVariantList> triggers;
    if (server) {
        store.exec(QStringLiteral("ALTER TABLE laboratory.tbLabResult DISABLE TRIGGER USER"));
    } else {
        triggers = store
                       .query(QStringLiteral("SELECT name, sql FROM sqlite_master WHERE "
                                             "type = 'trigger' AND tbl_name = 'tbLabResult'"))
                       .rows;
        for (const QVariantList& t : std::as_const(triggers))
            store.exec(QStringLiteral("DROP TRIGGER %1").arg(t[0].toString()));
    }
    return triggers;
}

void restoreResultTriggers(LabStore& store, bool server, const QList<QVariantList>& triggers)
{
    if (server)
        store.exec(QStringLiteral("ALTER TABLE laboratory.tbLabResult ENABLE TRIGGER USER"));
    for (const QVariantList& t : triggers)
        store.exec(t[1].toString());
}
} // namespace

void BenchLab::addHistory(LabStore& store, int requests, int items, const QDate& day)
{
    // In slices a statement each, each slice a day further back: no
    // statement runs into the server's deadline, and the dates spread over
    // the years as a laboratory's do.
    constexpr int kSlice = 10000;
    constexpr int kYears = 10;
    const bool server = store.engine() == Engine::PostgreSQL;
    const QString slice = QStringLiteral(
        "WITH RECURSIVE n(x) AS (SELECT CAST(? AS integer) UNION ALL SELECT x + 1 FROM n WHERE "
        "x < ?) ");
    const QList<std::pair<QString, bool>> statements = historyStatements(boundDateTime(store));
    store.begin();
    try {
        const QList<QVariantList> triggers = setResultTriggersAside(store, server);
        const int slices = (requests + kSlice - 1) / kSlice;
        for (int k = 0; k < slices; ++k) {
            const int first = k * kSlice + 1;
            const int last = std::min(requests, first + kSlice - 1);
            const QDate when = day.addDays(-1 - (kYears * 365 * (slices - k)) / slices);
            const QString moment = DateText::storage(QDateTime(when, QTime(9, 0)));
            for (const auto& [sql, perItem] : statements)
                store.exec(slice + sql, perItem ? QVariantList{first, last, moment, items}
                                                : QVariantList{first, last, moment});
        }
        restoreResultTriggers(store, server, triggers);
        store.commit();
    } catch (...) {
        store.rollback();
        throw;
    }
}
