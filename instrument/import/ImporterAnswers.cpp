#include "Importer.h"
#include "labserver/LabStore.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

// What the importer keeps and answers beside the results it stores: the
// results held for mapping, the archive of refused messages, the orders an
// analyser asks for.
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
        case '|':
            out += "&F&";
            break;
        case '\\':
            out += "&R&";
            break;
        case '^':
            out += "&S&";
            break;
        case '&':
            out += "&E&";
            break;
        case '\r':
        case '\n':
            out += ' ';
            break;
        default:
            out += c;
        }
    }
    return out;
}

} // namespace

QList<Importer::HeldResult> Importer::held(LabStore& store, const QString& instrument)
{
    const ResultSet rs = store.query(
        QStringLiteral("SELECT d.InstrumentID, d.SampleNum, d.Resultdate, d.InstrumentItem, "
                       "coalesce(d.ResultValue, ''), d.Corrects FROM tbLabInstrumentDLHemaResult d "
                       "LEFT JOIN tbLabInstrumentExams m ON m.InstrumentID = d.InstrumentID "
                       "AND m.InstrumentItem = d.InstrumentItem "
                       "WHERE (m.ItemID IS NULL OR d.Corrects IS NOT NULL) AND d.Posted = 'N' "
                       "AND (? = '' OR d.InstrumentID = ?) "
                       "ORDER BY d.Resultdate, d.DLResultID"),
        {text(instrument), text(instrument)}, {QStringLiteral("Resultdate")});
    QList<HeldResult> held;
    for (const QVariantList& r : rs.rows)
        held.append({r[0].toString(), r[1].toString(), r[2].toString(), r[3].toString(),
                     r[4].toString(),
                     r[5].isNull() ? QStringLiteral("not mapped")
                                   : QStringLiteral("corrects a posted result")});
    return held;
}

bool Importer::archiveRefused(LabStore& store, const QString& instrument,
                              InstrumentMessage::Protocol protocol, const QByteArray& raw,
                              const QString& controlId, const QString& verdict,
                              const std::function<void(const QString&)>& log,
                              const QDateTime& receivedAt)
{
    try {
        ScopedTransaction transaction(store);
        store.exec(QStringLiteral("INSERT INTO tbLabInstrumentMessage (InstrumentID, "
                                  "Protocol, ControlID, ReceivedAt, Message, Verdict) "
                                  "VALUES (?, ?, ?, ?, ?, ?)"),
                   {instrument, Importer::protocolName(protocol), text(controlId),
                    DateText::storage(receivedAt.isValid() ? receivedAt : Clock::now()),
                    QString::fromUtf8(raw), verdict});
        transaction.commit();
    } catch (const LisError& e) {
        log(QStringLiteral("the refused message is not archived: %1").arg(e.description()));
        return false;
    }
    return true;
}

QByteArrayList Importer::answerRecords(LabStore& store, const QString& instrument,
                                       const QString& asked)
{
    const QString specimen = asked.trimmed();
    const ResultSet worklist =
        store.query(QStringLiteral("SELECT RequestedExamCode, coalesce(RequestNum, '') "
                                   "FROM tbLabInstrumentHemaWorkList WHERE InstrumentID = ? AND "
                                   "SampleNumber = ? ORDER BY orderdate, WorkListID"),
                    {instrument, specimen});
    QByteArrayList orders;
    QString request;
    for (const QVariantList& row : worklist.rows) {
        const ResultSet items =
            store.query(QStringLiteral("SELECT m.InstrumentItem FROM tbLabExamFormat f "
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
