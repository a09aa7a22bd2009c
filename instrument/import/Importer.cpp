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

// A sample's results: each a duplicate, a new row, or a change of its item's
// last row as its status says. A few statements a message, whatever its
// size: the keys in one, what is known of the items in one, the new rows in
// one, written in the order the results came.
void Importer::take(const QString& specimen, const InstrumentSample& sample, const QString& refNum,
                    const QString& sent, Outcome& outcome, QList<Audit>& audits)
{
    // Each result's key, the status it is stored with and its result time.
    QList<Key> keys;
    QStringList statuses, times;
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
    const QList<bool> fresh = keep(specimen, keys);

    // The first new result of each item is answered by one query. After a
    // write, the item's last row is the one written, known here unless the
    // next result needs the number of a row not written yet; or its item is
    // the laboratory's same item spelled otherwise: then it is asked again.
    QStringList asked;
    QList<qsizetype> answered(keys.size(), -1);
    QSet<QString> seen;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const QString f = folded(keys[i].item);
        if (fresh[i] && !seen.contains(f)) {
            seen.insert(f);
            answered[i] = asked.size();
            asked << keys[i].item;
        }
    }
    const QList<Found> prefetched = found(specimen, asked);
    struct Written {
        QString item; // as the last write spelled it
        Found state;  // empty row: unknown (deleted)
        bool unnumbered = false;
    };
    QHash<QString, Written> written;
    QList<QVariantList> inserts;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (!fresh[i]) {
            ++outcome.duplicates;
            continue;
        }
        const InstrumentResult& r = sample.results[i];
        const Key& k = keys[i];
        const QString& status = statuses[i];
        const QString f = folded(k.item);
        const auto w = written.constFind(f);
        Found state;
        bool unnumbered = false;
        const bool numberNeeded = status == u"C" || status == u"D" ||
                                  (w != written.cend() && w->state.row.value(3).toString() == u"P");
        if (w == written.cend() && answered[i] >= 0) {
            state = prefetched[answered[i]];
        } else if (w != written.cend() && w->item == k.item && !w->state.row.isEmpty() &&
                   !(numberNeeded && w->unnumbered)) {
            state = w->state;
            unnumbered = w->unnumbered;
        } else {
            insertRows(inserts);
            state = found(specimen, {k.item}).value(0);
        }
        const QVariantList& row = state.row;
        const bool exists = row.size() > 1;
        const bool open = exists && row[4].toString() != u"Y";
        const QString was = row.value(3).toString();
        const bool mapped = !state.mapping.isEmpty();
        const QString itemId = mapped ? state.mapping[0].toString() : k.item;
        QString unit = r.units;
        for (const QVariant& own : state.mapping.mid(1))
            if (!unit.isEmpty() && own.toString().compare(unit, Qt::CaseInsensitive) == 0)
                unit = own.toString();
        const QVariant value = status == u"X" ? QVariant() : QVariant(r.value);
        QStringList said{sample.remarks, r.comment};
        said.removeAll(QString());
        const QString remarks = said.join(QStringLiteral("; "));
        const auto audited = [&](const QString& old, const QString& now) {
            audits.append({row.value(5).toString(), itemId, specimen, old, now});
        };
        if (status == u"D") {
            if (!open) {
                ++outcome.duplicates; // nothing unposted to delete: a saved result stays
                written[f] = {k.item, state, unnumbered};
                continue;
            }
            m_store.exec(
                QStringLiteral("DELETE FROM tbLabInstrumentDLHemaResult WHERE DLResultID = ?"),
                {row[1]});
            audited(shownValue(row[2], was), QStringLiteral("(deleted)"));
            ++outcome.changed;
            written[f] = {k.item, {{}, state.mapping}, false};
        } else if (open && (status == u"C" || was == u"P")) {
            m_store.exec(QStringLiteral("UPDATE tbLabInstrumentDLHemaResult SET ResultValue = ?, "
                                        "Unit = ?, Flags = ?, ResultStatus = ?, SampleRemarks = ? "
                                        "WHERE DLResultID = ?"),
                         {value, text(unit), text(r.flags), status, text(remarks), row[1]});
            audited(shownValue(row[2], was), shownValue(value, status));
            ++outcome.changed;
            QVariantList now = row;
            now[2] = value;
            now[3] = status;
            written[f] = {k.item, {now, state.mapping}, false};
        } else {
            // A correction of a posted row waits beside it for the windows.
            const bool correction = status == u"C" && exists;
            inserts.append({m_instrument.id, specimen, times[i], k.item, value, text(unit),
                            text(r.flags), text(sample.patientName), text(refNum), status,
                            correction ? row[1] : QVariant(), text(remarks)});
            if (correction)
                audited(shownValue(row[2], was),
                        shownValue(value, status) +
                            QStringLiteral(", held: the result was posted"));
            ++outcome.stored;
            if (!mapped || correction)
                ++outcome.held;
            written[f] = {k.item,
                          {{QVariant(), QVariant(), value, status, QStringLiteral("N"), QString()},
                           state.mapping},
                          true};
        }
    }
    insertRows(inserts);
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
