#include "CommandSave.h"
#include "bench/BenchLab.h"
#include "component/model/SaveCommands.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/Connection.h"

#include <QSqlError>

void saveThroughCommands(Connection& db, const QString& request, const QString& sample, int rows,
                         const QDate& day)
{
    // The texts the cut-off window sends for the rows it saves.
    SaveHeader h;
    h.requestNum = request;
    h.formType = QStringLiteral("5");
    h.employeeCode = QStringLiteral("MT01");
    h.accessionNum = QStringLiteral("ACC-1");
    h.instrumentId = QStringLiteral("AN-01");
    h.submitted = QDateTime(day, QTime(9, 0));
    h.lraTime = h.submitted.addSecs(600);
    h.resultDate = day;
    db.beginTrans();
    try {
        for (int i = 1; i <= rows; ++i) {
            const QString code = BenchLab::itemId(i);
            auto logbook = db.openRecordset(SaveCommands::logbookSelect(request),
                                            CursorOptions::serverDynamic(LockType::Optimistic));
            if (logbook->eof())
                db.execute(SaveCommands::logbookEntry(request, h));
            auto item = db.openRecordset(SaveCommands::showResultValueSelect(code),
                                         CursorOptions::clientDynamic());
            const bool showCutOff =
                !item->eof() && item->textOrEmpty(QStringLiteral("ShowResultValue")).trimmed() ==
                                    QLatin1String("Y");
            const GridRow<CutOffCol> row = {i,
                                            {QString(), code, QStringLiteral("Bench item ") + code,
                                             QStringLiteral("0.5"), QStringLiteral("0.5"),
                                             QString(), QString(), request, QStringLiteral("1.0")}};
            db.execute(SaveCommands::cutOffSave(row, h, showCutOff, QString()));
            db.execute(SaveCommands::cutOffPost(request, sample, h));
        }
        db.commitTrans();
    } catch (const LisError&) {
        if (db.inTransaction())
            db.rollbackTrans();
        throw;
    }
}

DirectSave::DirectSave(const QSqlDatabase& db, const QDate& day)
    : m_db(db)
    , m_from(DateText::storage(QDateTime(day, QTime(0, 0))))
    , m_to(DateText::storage(QDateTime(day.addDays(1), QTime(0, 0))))
    , m_logbook(db)
    , m_logbookInsert(db)
    , m_item(db)
    , m_result(db)
    , m_header(db)
    , m_post(db)
{
    const auto prepare = [](QSqlQuery& q, const QString& sql) {
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            qFatal("baseline statement refused: %s", qPrintable(q.lastError().text()));
    };
    prepare(m_logbook, QStringLiteral("SELECT * FROM tbLabLogbook WHERE RequestNum = ?"));
    prepare(m_logbookInsert, QStringLiteral("INSERT INTO tbLabLogbook (RequestNum, LoggedAt) "
                                            "VALUES (?, '2024-03-07 09:00:00')"));
    prepare(m_item, QStringLiteral("SELECT * FROM tbLabInstrumentExams WHERE ItemID = ?"));
    prepare(m_result,
            QStringLiteral("INSERT INTO tbLabResult (RequestNum, ItemID, RowNo, ExamName, "
                           "PatientValue, Result) VALUES (?, ?, ?, ?, '0.5', '0.5') "
                           "ON CONFLICT (RequestNum, ItemID) DO UPDATE SET "
                           "PatientValue = excluded.PatientValue"));
    prepare(m_header, QStringLiteral("INSERT INTO tbLabResultHeader (RequestNum, AccessionNum) "
                                     "VALUES (?, 'ACC-1') ON CONFLICT (RequestNum) DO UPDATE SET "
                                     "AccessionNum = excluded.AccessionNum"));
    // The sample's downloaded results posted to the request, row by row.
    prepare(m_post,
            QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET Posted = 'Y', "
                           "PostedRequestNum = ?, PostedBy = 'MT01', "
                           "PostedAt = '2024-03-07 09:00:00' WHERE InstrumentID = 'AN-01' "
                           "AND SampleNum = ? AND Resultdate >= ? AND Resultdate < ? "
                           "AND NOT (Posted = 'Y' AND PostedRequestNum = ?) AND InstrumentItem IN "
                           "(SELECT m.InstrumentItem FROM tbLabInstrumentExams m JOIN "
                           "tbLabExamFormat f ON f.ItemID = m.ItemID JOIN tbLabRequest r "
                           "ON r.Code = f.Code WHERE m.InstrumentID = 'AN-01' "
                           "AND r.RequestNum = ?)"));
}

void DirectSave::save(const QString& request, const QString& sample, int rows)
{
    const auto run = [](QSqlQuery& q) {
        if (!q.exec())
            qFatal("baseline write failed: %s", qPrintable(q.lastError().text()));
    };
    if (!m_db.transaction())
        qFatal("baseline transaction refused: %s", qPrintable(m_db.lastError().text()));
    for (int i = 1; i <= rows; ++i) {
        const QString id = BenchLab::itemId(i);
        m_logbook.bindValue(0, request);
        run(m_logbook);
        if (!m_logbook.next() && i == 1) {
            m_logbookInsert.bindValue(0, request);
            run(m_logbookInsert);
        }
        m_logbook.finish();
        m_item.bindValue(0, id);
        run(m_item);
        m_item.next();
        m_item.finish();
        m_result.bindValue(0, request);
        m_result.bindValue(1, id);
        m_result.bindValue(2, i);
        m_result.bindValue(3, QStringLiteral("Bench item ") + id);
        run(m_result);
        m_header.bindValue(0, request);
        run(m_header);
        const QVariantList post = {request, sample, m_from, m_to, request, request};
        for (int b = 0; b < post.size(); ++b)
            m_post.bindValue(b, post.at(b));
        run(m_post);
    }
    if (!m_db.commit())
        qFatal("baseline commit failed: %s", qPrintable(m_db.lastError().text()));
}
