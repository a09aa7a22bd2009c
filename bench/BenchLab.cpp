#include "BenchLab.h"
#include "Clock.h"
#include "DateText.h"
#include "DemoLaboratory.h"
#include "LabStore.h"
#include "ScopedTransaction.h"
#include "SettingsStore.h"

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
            store.exec(QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, "
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

void BenchLab::addLogbookHistory(LabStore& store, int entries, const QDate& day)
{
    ScopedTransaction transaction(store);
    store.exec(kNumbers + QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, Note, "
                                         "EmployeeCode, LoggedAt) SELECT 'H-' || x, '', "
                                         "'MT01', %1 FROM n")
                              .arg(boundDateTime(store)),
               {entries, DateText::storage(QDateTime(day.addYears(-1), QTime(8, 0)))});
    transaction.commit();
}
