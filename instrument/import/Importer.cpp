#include "Importer.h"
#include "Clock.h"
#include "DateText.h"
#include "LabStore.h"
#include "LisError.h"

namespace {
// Empty text, never Null: the driver binds a null QString as Null.
QString text(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

// Text for a field of the records we send, delimiters |\^& escaped.
QByteArray field(const QString& s)
{
    QByteArray out;
    for (const char c : s.toUtf8()) {
        switch (c) {
        case '|': out += "&F&"; break;
        case '\\': out += "&R&"; break;
        case '^': out += "&S&"; break;
        case '&': out += "&E&"; break;
        case '\r': case '\n': out += ' '; break;
        default: out += c;
        }
    }
    return out;
}

QString protocolName(InstrumentMessage::Protocol p)
{
    return p == InstrumentMessage::Protocol::Astm ? QStringLiteral("ASTM") : QStringLiteral("HL7");
}
} // namespace

Importer::Importer(LabStore& store, Instrument instrument)
    : m_store(store)
    , m_instrument(std::move(instrument))
{
}

QString Importer::itemCode(const InstrumentResult& r) const
{
    if (m_instrument.itemComponent > 0)
        return r.testId.value(m_instrument.itemComponent - 1).trimmed();
    for (const QString& c : r.testId)
        if (!c.trimmed().isEmpty())
            return c.trimmed();
    return {};
}

QString Importer::laboratoryUnit(const QString& item, const QString& unit)
{
    if (unit.isEmpty())
        return unit;
    const ResultSet rs = m_store.query(
        QStringLiteral("SELECT i.SIUnit, i.CUnit FROM tbLabInstrumentExams m "
                       "JOIN tbLabExamItem i ON i.ItemID = m.ItemID "
                       "WHERE m.InstrumentID = ? AND m.InstrumentItem = ?"),
        {m_instrument.id, item});
    for (const QVariant& own : rs.rows.value(0))
        if (own.toString().compare(unit, Qt::CaseInsensitive) == 0)
            return own.toString();
    return unit;
}

Importer::Outcome Importer::import(const InstrumentMessage& message)
{
    const QString received = DateText::storage(Clock::now());
    Outcome outcome;
    m_store.begin(); // the write lock first: no other writer between check and insert
    try {
        if (m_store.query(QStringLiteral("SELECT 1 FROM tbLabInstrument WHERE InstrumentID = ?"),
                          {m_instrument.id})
                .rows.isEmpty())
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The instrument %1 is not one of the laboratory's "
                                          "instruments (tbLabInstrument); check its name in "
                                          "LIS Instruments.ini.")
                               .arg(m_instrument.id));
        for (const InstrumentSample& sample : message.samples) {
            const QString specimen = sample.specimenId.trimmed();
            if (specimen.isEmpty())
                throw LisError(ErrNo::DbCommandFailed,
                               QStringLiteral("A sample in the message has no specimen id."));
            const ResultSet worklist = m_store.query(
                QStringLiteral("SELECT refnum FROM tbLabInstrumentHemaWorkList "
                               "WHERE InstrumentID = ? AND SampleNumber = ? "
                               "ORDER BY orderdate DESC, WorkListID DESC LIMIT 1"),
                {m_instrument.id, specimen});
            const QString refNum = worklist.rows.value(0).value(0).toString();
            for (const InstrumentResult& r : sample.results) {
                const QString item = itemCode(r);
                if (item.isEmpty())
                    throw LisError(ErrNo::DbCommandFailed,
                                   QStringLiteral("A result of sample %1 has no item code.")
                                       .arg(specimen));
                const QDateTime at = r.completed.isValid() ? r.completed
                                     : message.sent.isValid() ? message.sent
                                                              : Clock::now();
                const QString resultDate = DateText::storage(at);
                const bool known = !m_store
                                        .query(QStringLiteral(
                                                   "SELECT 1 FROM tbLabInstrumentDLHemaResult "
                                                   "WHERE InstrumentID = ? AND SampleNum = ? AND "
                                                   "InstrumentItem = ? AND Resultdate = ?"),
                                               {m_instrument.id, specimen, item, resultDate})
                                        .rows.isEmpty();
                if (known) {
                    ++outcome.duplicates;
                    continue;
                }
                const bool mapped = !m_store
                                         .query(QStringLiteral(
                                                    "SELECT 1 FROM tbLabInstrumentExams "
                                                    "WHERE InstrumentID = ? AND InstrumentItem = ?"),
                                                {m_instrument.id, item})
                                         .rows.isEmpty();
                m_store.exec(
                    QStringLiteral("INSERT INTO tbLabInstrumentDLHemaResult (InstrumentID, "
                                   "SampleNum, Resultdate, InstrumentItem, ResultValue, Unit, "
                                   "Flags, PatientName, refnum) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"),
                    {m_instrument.id, specimen, resultDate, item, r.value,
                     mapped ? laboratoryUnit(item, r.units) : r.units, r.flags,
                     text(sample.patientName), text(refNum)});
                ++outcome.stored;
                if (!mapped)
                    ++outcome.held;
            }
        }
        m_store.exec(QStringLiteral("INSERT INTO tbLabInstrumentMessage (InstrumentID, Protocol, "
                                    "ControlID, ReceivedAt, Results, Duplicates, Held, Message) "
                                    "VALUES (?, ?, ?, ?, ?, ?, ?, ?)"),
                     {m_instrument.id, protocolName(message.protocol), text(message.controlId),
                      received, outcome.stored, outcome.duplicates, outcome.held,
                      QString::fromUtf8(message.raw)});
        // Windows showing a sample learn of its new results once they are
        // committed (on a server; the embedded laboratory has no notices).
        QStringList told;
        for (const InstrumentSample& sample : message.samples) {
            const QString notice = m_instrument.id.trimmed().toUpper() + QLatin1Char('|') +
                                   sample.specimenId.trimmed().toUpper();
            if (outcome.stored > 0 && !told.contains(notice)) {
                m_store.notify(downloadsChannel(), notice);
                told << notice;
            }
        }
        m_store.commit();
    } catch (...) {
        m_store.rollback();
        throw;
    }
    return outcome;
}

QList<Importer::HeldResult> Importer::held(LabStore& store, const QString& instrument)
{
    const ResultSet rs = store.query(
        QStringLiteral("SELECT d.InstrumentID, d.SampleNum, d.Resultdate, d.InstrumentItem, "
                       "coalesce(d.ResultValue, '') FROM tbLabInstrumentDLHemaResult d "
                       "LEFT JOIN tbLabInstrumentExams m ON m.InstrumentID = d.InstrumentID "
                       "AND m.InstrumentItem = d.InstrumentItem "
                       "WHERE m.ItemID IS NULL AND d.Posted = 'N' "
                       "AND (? = '' OR d.InstrumentID = ?) "
                       "ORDER BY d.Resultdate, d.DLResultID"),
        {instrument, instrument}, {QStringLiteral("Resultdate")});
    QList<HeldResult> held;
    for (const QVariantList& r : rs.rows)
        held.append({r[0].toString(), r[1].toString(), r[2].toString(), r[3].toString(),
                     r[4].toString()});
    return held;
}

QByteArrayList Importer::answerRecords(LabStore& store, const QString& instrument,
                                       const QString& asked)
{
    const QString specimen = asked.trimmed();
    const ResultSet worklist = store.query(
        QStringLiteral("SELECT RequestedExamCode, coalesce(RequestNum, '') "
                       "FROM tbLabInstrumentHemaWorkList WHERE InstrumentID = ? AND "
                       "SampleNumber = ? ORDER BY orderdate, WorkListID"),
        {instrument, specimen});
    QByteArrayList orders;
    QString request;
    for (const QVariantList& row : worklist.rows) {
        const ResultSet items = store.query(
            QStringLiteral("SELECT m.InstrumentItem FROM tbLabExamFormat f "
                           "JOIN tbLabInstrumentExams m ON m.ItemID = f.ItemID "
                           "AND m.InstrumentID = ? WHERE f.Code = ? "
                           "ORDER BY f.SortOrder, f.ItemID, m.InstrumentItem"),
            {instrument, row[0].toString()});
        QByteArrayList tests;
        for (const QVariantList& item : items.rows)
            tests.append("^^^" + field(item[0].toString()));
        if (tests.isEmpty())
            continue;
        if (request.isEmpty())
            request = row[1].toString();
        orders.append("O|" + QByteArray::number(orders.size() + 1) + '|' + field(specimen) + "||" +
                      tests.join('\\') + "|R||||||N");
    }
    QByteArray patient = "P|1";
    if (!request.isEmpty()) {
        const ResultSet p = store.query(
            QStringLiteral("SELECT p.HospNum, p.LastName, p.FirstName, p.MiddleName "
                           "FROM tbLabRequest r JOIN tbPatient p ON p.HospNum = r.HospNum "
                           "WHERE r.RequestNum = ?"),
            {request});
        if (!p.rows.isEmpty()) {
            const QVariantList& r = p.rows.first();
            patient += "||" + field(r[0].toString()) + "||" + field(r[1].toString()) + '^' +
                       field(r[2].toString()) + '^' + field(r[3].toString());
        }
    }
    QByteArrayList records{"H|\\^&|||LIS|||||||P|1|" +
                           Clock::now().toString(QStringLiteral("yyyyMMddHHmmss")).toLatin1(),
                           patient};
    records += orders;
    records.append(orders.isEmpty() ? "L|1|I" : "L|1|N");
    return records;
}
