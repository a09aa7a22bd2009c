#include "Importer.h"
#include "labserver/LabStore.h"
#include "labserver/procedures/QualityControl.h"
#include "labserver/procedures/ResultCheckSupport.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"

#include <QCryptographicHash>
#include <QHash>
#include <QSet>
#include <algorithm>

namespace {
// Empty text, never Null: the driver binds a null QString as Null.
QString text(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

} // namespace

QString Importer::protocolName(InstrumentMessage::Protocol p)
{
    return p == InstrumentMessage::Protocol::Astm ? QStringLiteral("ASTM") : QStringLiteral("HL7");
}

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

namespace {
// Items the laboratory may take for one (its keys compare without case,
// width or invisible marks), or more: an item met twice in a message is
// asked for again.
QString folded(const QString& item)
{
    QString f = item.normalized(QString::NormalizationForm_KC).toCaseFolded();
    f.removeIf([](QChar c) {
        return c.category() == QChar::Other_Format || c.category() == QChar::Other_Control;
    });
    return f;
}

// The identity of a result beside instrument, sample and item: its status
// and its result time, or, when no time was sent, a digest of what it says.
QString resultKey(const InstrumentResult& r)
{
    if (r.completed.isValid())
        return QStringLiteral("t:") + DateText::storage(r.completed);
    const QByteArray content = (r.value + QChar(0x1f) + r.units + QChar(0x1f) + r.flags).toUtf8();
    return QStringLiteral("d:") +
           QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Sha1).toHex());
}

// Final results are one kind whether the analyser says F or nothing.
QString keyStatus(const QString& status)
{
    return status == u"P" || status == u"C" || status == u"X" || status == u"D"
               ? status
               : QStringLiteral("F");
}

// The segments after the header: what a resend repeats whatever its MSH-7.
QByteArray body(const QByteArray& raw)
{
    QByteArray text = raw;
    text.replace('\n', '\r');
    const qsizetype end = text.indexOf('\r');
    return end < 0 ? QByteArray() : text.mid(end + 1);
}

QString shownValue(const QVariant& value, const QString& status)
{
    const QString v = value.isNull() ? QStringLiteral("(not done)") : value.toString();
    return status.isEmpty() ? v : v + QStringLiteral(" (") + status + QLatin1Char(')');
}
} // namespace

bool Importer::deliveredBefore(const InstrumentMessage& message)
{
    if (message.protocol != InstrumentMessage::Protocol::Hl7 || message.controlId.isEmpty())
        return false;
    const ResultSet earlier = m_store.query(
        QStringLiteral("SELECT Message FROM tbLabInstrumentMessage WHERE InstrumentID = ? AND "
                       "Protocol = 'HL7' AND Sender = ? AND ControlID = ? AND "
                       "Verdict NOT LIKE 'refused%'"),
        {m_instrument.id, text(message.sender), message.controlId});
    const QByteArray mine = body(message.raw);
    for (const QVariantList& row : earlier.rows)
        if (body(row[0].toString().toUtf8()) == mine)
            return true;
    return false;
}

Importer::Outcome Importer::import(const InstrumentMessage& message)
{
    // Two transactions that waited for each other: this one is run again.
    constexpr int kTries = 5;
    for (int attempt = 1;; ++attempt) {
        try {
            return importOnce(message);
        } catch (const LisError&) {
            if (!m_store.lastFailureWasConflict() || attempt == kTries)
                throw;
        }
    }
}

Importer::Outcome Importer::importOnce(const InstrumentMessage& message)
{
    const QString received = DateText::storage(Clock::now());
    Outcome outcome;
    {
        ScopedTransaction transaction(m_store);
        lockSamples(message);
        requireKnownInstrument();
        outcome.resent = deliveredBefore(message);
        QList<Audit> audits;
        if (!outcome.resent)
            takeSamples(message, outcome, audits);
        archiveMessage(message, received, outcome, audits);
        notifyWindows(message, outcome);
        transaction.commit();
    }
    return outcome;
}

// The instrument's lock first, then its samples' in one order: no other
// writer of them between check and insert, and no deadlock with a save
// posting a sample.
void Importer::lockSamples(const InstrumentMessage& message)
{
    m_store.lock(LabStore::Lock::Instrument, m_instrument.id);
    QStringList samples;
    for (const InstrumentSample& sample : message.samples)
        samples << m_instrument.id.trimmed() + QLatin1Char('|') + sample.specimenId.trimmed();
    samples.sort(Qt::CaseInsensitive);
    for (const QString& sample : std::as_const(samples))
        m_store.lock(LabStore::Lock::Sample, sample);
}

void Importer::requireKnownInstrument()
{
    if (m_store
            .query(QStringLiteral("SELECT 1 FROM tbLabInstrument WHERE InstrumentID = ?"),
                   {m_instrument.id})
            .rows.isEmpty())
        throw ImportRefusal(QStringLiteral("The instrument %1 is not one of the laboratory's "
                                           "instruments (tbLabInstrument); check its name in "
                                           "LIS Instruments.ini.")
                                .arg(m_instrument.id),
                            QStringLiteral("the laboratory does not know this instrument"));
}

void Importer::takeSamples(const InstrumentMessage& message, Outcome& outcome, QList<Audit>& audits)
{
    const QString sent = message.sent.isValid() ? DateText::storage(message.sent) : QString();
    for (const InstrumentSample& sample : message.samples) {
        const QString specimen = sample.specimenId.trimmed();
        if (specimen.isEmpty())
            throw ImportRefusal(QStringLiteral("A sample in the message has no specimen id."));
        const ResultSet worklist =
            m_store.query(QStringLiteral("SELECT refnum FROM tbLabInstrumentHemaWorkList "
                                         "WHERE InstrumentID = ? AND SampleNumber = ? "
                                         "ORDER BY orderdate DESC, WorkListID DESC LIMIT 1"),
                          {m_instrument.id, specimen});
        if (takeControls(specimen, sample, message.sent, outcome))
            continue;
        take(specimen, sample, worklist.rows.value(0).value(0).toString(), sent, outcome, audits);
    }
}

// The archive's row, then the audit of what the message changed, naming
// that row.
void Importer::archiveMessage(const InstrumentMessage& message, const QString& received,
                              const Outcome& outcome, const QList<Audit>& audits)
{
    const QString archive =
        QStringLiteral("INSERT INTO tbLabInstrumentMessage (InstrumentID, Protocol, ControlID, "
                       "ReceivedAt, Results, Duplicates, Held, Message, Sender, Verdict) "
                       "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?)");
    const QVariantList archived{m_instrument.id,
                                protocolName(message.protocol),
                                text(message.controlId),
                                received,
                                outcome.stored,
                                outcome.duplicates,
                                outcome.held,
                                QString::fromUtf8(message.raw),
                                text(message.sender),
                                outcome.resent ? QStringLiteral("resent: nothing stored")
                                               : QStringLiteral("stored")};
    // Its number only where the audit needs it.
    const QString messageId =
        audits.isEmpty() ? (m_store.exec(archive, archived), QString())
                         : m_store.query(archive + QStringLiteral(" RETURNING MessageID"), archived)
                               .rows.value(0)
                               .value(0)
                               .toString();
    for (const Audit& a : audits)
        ProcedureSupport::audit(m_store, a.requestNum, a.itemId,
                                QStringLiteral("Instrument result %1").arg(a.sample), a.was, a.now,
                                m_instrument.id, QStringLiteral("message %1").arg(messageId));
}

// Windows showing a sample learn of its new results once they are committed
// (on a server; the embedded laboratory has no notices).
void Importer::notifyWindows(const InstrumentMessage& message, const Outcome& outcome)
{
    QStringList told;
    for (const InstrumentSample& sample : message.samples) {
        const QString notice = m_instrument.id.trimmed().toUpper() + QLatin1Char('|') +
                               sample.specimenId.trimmed().toUpper();
        if (outcome.stored + outcome.changed > 0 && !told.contains(notice)) {
            m_store.notify(downloadsChannel(), notice);
            told << notice;
        }
    }
}

// What the last write left of an item, for the next result of it.
struct Importer::Written {
    QString item; // as the last write spelled it
    Found state;  // empty row: unknown (deleted)
    bool unnumbered = false;
};

// A fresh result against its item's last row.
struct Importer::Arrival {
    const InstrumentResult* result = nullptr;
    QString item;    // as the analyser spells it
    QString itemKey; // as the laboratory compares it
    QString status;
    QString time;
    Found state;
    bool unnumbered = false;
    bool exists = false; // the item has a row
    bool open = false;   // ... not posted yet
    QString was;         // its status
    bool mapped = false;
    QString itemId;
    QString unit;
    QVariant value;
    QString remarks;
};

// One sample's results under way.
struct Importer::Pass {
    QString specimen;
    const InstrumentSample& sample;
    QString refNum;
    Outcome& outcome;
    QList<Audit>& audits;
    QList<Found> prefetched;
    QList<qsizetype> answered; // index in prefetched, or -1
    QHash<QString, Written> written;
    QList<QVariantList> inserts;

    void audited(const Arrival& a, const QString& old, const QString& now)
    {
        audits.append({a.state.row.value(5).toString(), a.itemId, specimen, old, now});
    }
};

// A sample's results: each a duplicate, a new row, or a change of its item's
// last row as its status says. A few statements a message, whatever its
// size: the keys in one, what is known of the items in one, the new rows in
// one, written in the order the results came.
void Importer::take(const QString& specimen, const InstrumentSample& sample, const QString& refNum,
                    const QString& sent, Outcome& outcome, QList<Audit>& audits)
{
    QStringList statuses, times;
    const QList<Key> keys = keyResults(specimen, sample, sent, statuses, times);
    const QList<bool> fresh = keep(specimen, keys);

    // The first new result of each item is answered by one query. After a
    // write, the item's last row is the one written, known here unless the
    // next result needs the number of a row not written yet; or its item is
    // the laboratory's same item spelled otherwise: then it is asked again.
    Pass pass{specimen, sample, refNum, outcome, audits, {}, {}, {}, {}};
    pass.answered.fill(-1, keys.size());
    QStringList asked;
    QSet<QString> seen;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString f = folded(keys[i].item);
        if (fresh[i] && !seen.contains(f)) {
            seen.insert(f);
            pass.answered[i] = asked.size();
            asked << keys[i].item;
        }
    }
    pass.prefetched = found(specimen, asked);
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (!fresh[i]) {
            ++outcome.duplicates;
            continue;
        }
        const Arrival a = arrival(pass, i, keys[i], statuses[i], times[i]);
        if (a.status == u"D")
            deleteRow(pass, a);
        else if (a.open && (a.status == u"C" || a.was == u"P"))
            replaceRow(pass, a);
        else
            addRow(pass, a);
    }
    insertRows(pass.inserts);
}

QList<Importer::Key> Importer::keyResults(const QString& specimen, const InstrumentSample& sample,
                                          const QString& sent, QStringList& statuses,
                                          QStringList& times) const
{
    QList<Key> keys;
    QDateTime lastAt;
    QString lastStamp;
    for (const InstrumentResult& r : sample.results) {
        const QString item = itemCode(r);
        if (item.isEmpty())
            throw ImportRefusal(
                QStringLiteral("A result of sample %1 has no item code.").arg(specimen));
        const QString status = text(r.status.trimmed().toUpper());
        statuses << status;
        if (r.completed.isValid()) {
            if (r.completed != lastAt) {
                lastAt = r.completed;
                lastStamp = DateText::storage(lastAt);
            }
            times << lastStamp;
            keys.append({item, keyStatus(status), QStringLiteral("t:") + lastStamp});
        } else {
            times << (sent.isEmpty() ? DateText::storage(Clock::now()) : sent);
            keys.append({item, keyStatus(status), resultKey(r)});
        }
    }
    return keys;
}

Importer::Arrival Importer::arrival(Pass& pass, qsizetype i, const Key& k, const QString& status,
                                    const QString& time)
{
    Arrival a;
    const InstrumentResult& r = pass.sample.results[i];
    a.result = &r;
    a.item = k.item;
    a.itemKey = folded(k.item);
    a.status = status;
    a.time = time;
    const auto w = pass.written.constFind(a.itemKey);
    const bool numberNeeded =
        status == u"C" || status == u"D" ||
        (w != pass.written.cend() && w->state.row.value(3).toString() == u"P");
    if (w == pass.written.cend() && pass.answered[i] >= 0) {
        a.state = pass.prefetched[pass.answered[i]];
    } else if (w != pass.written.cend() && w->item == k.item && !w->state.row.isEmpty() &&
               !(numberNeeded && w->unnumbered)) {
        a.state = w->state;
        a.unnumbered = w->unnumbered;
    } else {
        insertRows(pass.inserts);
        a.state = found(pass.specimen, {k.item}).value(0);
    }
    const QVariantList& row = a.state.row;
    a.exists = row.size() > 1;
    a.open = a.exists && row[4].toString() != u"Y";
    a.was = row.value(3).toString();
    a.mapped = !a.state.mapping.isEmpty();
    a.itemId = a.mapped ? a.state.mapping[0].toString() : k.item;
    a.unit = r.units;
    for (const QVariant& own : a.state.mapping.mid(1))
        if (!a.unit.isEmpty() && own.toString().compare(a.unit, Qt::CaseInsensitive) == 0)
            a.unit = own.toString();
    a.value = status == u"X" ? QVariant() : QVariant(r.value);
    QStringList said{pass.sample.remarks, r.comment};
    said.removeAll(QString());
    a.remarks = said.join(QStringLiteral("; "));
    return a;
}

void Importer::deleteRow(Pass& pass, const Arrival& a)
{
    if (!a.open) {
        ++pass.outcome.duplicates; // nothing unposted to delete: a saved result stays
        pass.written[a.itemKey] = {a.item, a.state, a.unnumbered};
        return;
    }
    m_store.exec(QStringLiteral("DELETE FROM tbLabInstrumentDLHemaResult WHERE DLResultID = ?"),
                 {a.state.row[1]});
    pass.audited(a, shownValue(a.state.row[2], a.was), QStringLiteral("(deleted)"));
    ++pass.outcome.changed;
    pass.written[a.itemKey] = {a.item, {{}, a.state.mapping}, false};
}

void Importer::replaceRow(Pass& pass, const Arrival& a)
{
    const QVariantList& row = a.state.row;
    m_store.exec(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET ResultValue = ?, "
                                "Unit = ?, Flags = ?, ResultStatus = ?, SampleRemarks = ? "
                                "WHERE DLResultID = ?"),
                 {a.value, text(a.unit), text(a.result->flags), a.status, text(a.remarks), row[1]});
    pass.audited(a, shownValue(row[2], a.was), shownValue(a.value, a.status));
    ++pass.outcome.changed;
    QVariantList now = row;
    now[2] = a.value;
    now[3] = a.status;
    pass.written[a.itemKey] = {a.item, {now, a.state.mapping}, false};
}

void Importer::addRow(Pass& pass, const Arrival& a)
{
    // A correction of a posted row waits beside it for the windows.
    const bool correction = a.status == u"C" && a.exists;
    pass.inserts.append({m_instrument.id, pass.specimen, a.time, a.item, a.value, text(a.unit),
                         text(a.result->flags), text(pass.sample.patientName), text(pass.refNum),
                         a.status, correction ? a.state.row[1] : QVariant(), text(a.remarks)});
    if (correction)
        pass.audited(a, shownValue(a.state.row[2], a.was),
                     shownValue(a.value, a.status) +
                         QStringLiteral(", held: the result was posted"));
    ++pass.outcome.stored;
    if (!a.mapped || correction)
        ++pass.outcome.held;
    pass.written[a.itemKey] = {
        a.item,
        {{QVariant(), QVariant(), a.value, a.status, QStringLiteral("N"), QString()},
         a.state.mapping},
        true};
}

bool Importer::takeControls(const QString& specimen, const InstrumentSample& sample,
                            const QDateTime& sent, Outcome& outcome)
{
    if (!sample.control && !QualityControl::isControlSample(m_store, m_instrument.id, specimen))
        return false;
    // Known by their keys like any results, so a resend is judged once.
    QList<Key> keys;
    for (const InstrumentResult& r : sample.results)
        keys.append({itemCode(r), keyStatus(text(r.status.trimmed())), resultKey(r)});
    const QList<bool> fresh = keep(specimen, keys);
    for (qsizetype k = 0; k < keys.size(); ++k) {
        const InstrumentResult& r = sample.results[k];
        const QString& item = keys[k].item;
        if (!fresh[k]) {
            ++outcome.duplicates;
            continue;
        }
        const QString itemId =
            m_store
                .query(QStringLiteral("SELECT ItemID FROM tbLabInstrumentExams WHERE "
                                      "InstrumentID = ? AND InstrumentItem = ?"),
                       {m_instrument.id, item})
                .rows.value(0)
                .value(0)
                .toString();
        QualityControl::Arrival a;
        a.instrument = m_instrument.id;
        a.lotId = QualityControl::lotOfSample(m_store, m_instrument.id, specimen,
                                              itemId.isEmpty() ? item : itemId);
        a.value = r.value;
        a.measuredAt = r.completed.isValid() ? r.completed : sent.isValid() ? sent : Clock::now();
        a.source = QStringLiteral("I");
        a.sampleId = specimen;
        a.employee = m_instrument.id;
        QString why;
        if (a.lotId == 0)
            why = QStringLiteral("no control lot of %1 has the sample id %2").arg(item, specimen);
        else
            try {
                QualityControl::record(m_store, a);
                ++outcome.controls;
            } catch (const LisError& e) {
                // Refused before writing (an expired lot, no number): kept
                // with its reason. A failing statement fails the audit too.
                why = e.description();
            }
        if (!why.isEmpty())
            ProcedureSupport::audit(
                m_store, QStringLiteral("QC ") + m_instrument.id, itemId.isEmpty() ? item : itemId,
                QStringLiteral("QC control not judged"), QString(),
                QStringLiteral("%1 of sample %2: %3").arg(r.value, specimen, why), m_instrument.id,
                QString());
    }
    return true;
}
