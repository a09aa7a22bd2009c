#include "BenchLab.h"
#include "Clock.h"
#include "DateText.h"
#include "DemoLaboratory.h"
#include "LabStore.h"
#include "SettingsStore.h"

QString BenchLab::itemId(int i)
{
    return QStringLiteral("B%1").arg(i, 4, 10, QLatin1Char('0'));
}

BenchLab::BenchLab(int items)
{
    m_folder = m_dir.path();
    qputenv("LIS_CONFIG_DIR", (m_folder + QStringLiteral("/config")).toLocal8Bit());
    const QDate day = Clock::today();
    DemoLaboratory::build(m_folder, day);
    LabStore store(m_folder);
    store.begin();
    store.exec(QStringLiteral("INSERT INTO tbLabExam (Code, ExamName, SectionID, FormType) "
                              "VALUES ('BENCH', 'Bench panel', 'SER', '5')"));
    const QString at = DateText::storage(QDateTime(day, QTime(8, 0)));
    for (int i = 1; i <= items; ++i) {
        const QString id = itemId(i);
        store.exec(QStringLiteral("INSERT INTO tbLabExamItem (ItemID, ExamName, CutOff) VALUES "
                                  "(?, ?, 1.0)"),
                   {id, QStringLiteral("Bench item ") + id});
        store.exec(QStringLiteral("INSERT INTO tbLabExamFormat (Code, ItemID, SortOrder) VALUES "
                                  "('BENCH', ?, ?)"),
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
    // B-1 is saved through the window, B-2 by the baseline's direct writes.
    for (const char* req : {"B-1", "B-2"})
        store.exec(QStringLiteral("INSERT INTO tbLabRequest (RequestNum, RefNum, HospNum, Code, "
                                  "RequestDate) VALUES (?, 'REF-B', 'H-0001', 'BENCH', ?)"),
                   {QString::fromLatin1(req), at});
    store.exec(QStringLiteral("INSERT INTO tbLabInstrumentHemaWorkList (InstrumentID, refnum, "
                              "SampleNumber, orderdate, RequestedExamCode, RequestNum) VALUES "
                              "('AN-01', 'REF-B', 'B1', ?, 'BENCH', 'B-1')"),
               {at});
    store.commit();
    const QString user = QStringLiteral("TARVIK Current User");
    SettingsStore::set(user, QStringLiteral("Connection"), QStringLiteral("Server"), m_folder);
    SettingsStore::set(user, QStringLiteral("Laboratory"), QStringLiteral("Printer"), m_folder);
    SettingsStore::set(QStringLiteral("TarvikInstrumentID"), QStringLiteral("Laboratory"),
                       QStringLiteral("LabMachineInterface"), QStringLiteral("AN-01"));
}
