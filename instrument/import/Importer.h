#pragma once

#include "instrument/InstrumentMessage.h"
#include "platform/LisError.h"

#include <QByteArrayList>
#include <QList>
#include <QString>
#include <QVariant>
#include <functional>

class LabStore;

// Writes what an analyser sent into the laboratory's downloaded results,
// where the result windows find it, one message per transaction through the
// laboratory store (embedded or on a server):
//  - each result becomes a row of tbLabInstrumentDLHemaResult: the
//    instrument, the sample, the result time (the day the windows look the
//    sample up by), the analyser's item code, value as sent, unit, flags, the
//    patient's name when sent, the refnum of the sample's worklist row, and
//    the sample's remarks and the result's comments as SampleRemarks;
//  - the analyser's item code is the test id's component the instrument's
//    settings name, else its first non-empty one; a unit that differs from
//    the laboratory item's only in case is written as the laboratory writes it;
//  - a result already received for the same instrument, sample, item and
//    status, with the same result time (or, when none was sent, the same
//    value, unit and flags) is not stored again, and neither is an HL7
//    message its sender already delivered under the same control id
//    (MSH-10): a resent message is harmless;
//  - the result status says what a result does: P is stored as preliminary
//    (never posted) or replaces the unposted preliminary value; F (or none)
//    replaces an unposted preliminary value, else is a new row; C replaces
//    the last unposted value of the item and marks it corrected, and for a
//    row already posted to a request is stored beside it, held for the
//    result windows (`held()` lists it), never written over what was saved;
//    X is stored as not done, with no value; D deletes the last unposted row
//    of the item. Each replacement and deletion is audited, naming the
//    message archived for it;
//  - a result whose code has no mapping in tbLabInstrumentExams is stored
//    all the same, held: the windows cannot post it, `held()` lists it, and
//    it is posted like any other once the mapping exists;
//  - a control (its sample id one of the instrument's control lots', or
//    marked as a control by the analyser) never becomes a download: each
//    result goes to quality control, judged on arrival against its lot; one
//    that cannot be judged (no lot of the item, an expired lot) is audited
//    in the instrument's quality-control trail with the reason;
//  - the message itself goes to tbLabInstrumentMessage with its verdict.
// Either all of that is committed or nothing is, and the error is thrown:
// an ImportRefusal when the message cannot be taken as it is.
class ImportRefusal : public LisError {
public:
    // `answer` is what the analyser is told, when the description names
    // more than it should hear.
    explicit ImportRefusal(const QString& description, const QString& answer = {})
        : LisError(ErrNo::DbCommandFailed, description)
        , m_answer(answer.isEmpty() ? description : answer)
    {
    }
    const QString& answer() const { return m_answer; }

private:
    QString m_answer;
};

class Importer {
public:
    struct Instrument {
        QString id;
        int itemComponent = 0; // 1-based position in the test id; 0: the first non-empty
    };
    struct Outcome {
        int stored = 0;
        int duplicates = 0;
        int held = 0;
        int changed = 0;     // rows replaced or deleted by a result's status
        bool resent = false; // an HL7 message delivered before: nothing done
        int controls = 0;    // control results taken by quality control
    };
    struct HeldResult {
        QString instrument;
        QString sample;
        QString resultDate; // general date
        QString item;
        QString value;
        QString why; // "not mapped", or a correction of a posted result
    };

    Importer(LabStore& store, Instrument instrument);

    Outcome import(const InstrumentMessage& message);

    // The unposted results whose codes are not mapped and the corrections
    // of posted results, oldest first; all instruments when none is named.
    static QList<HeldResult> held(LabStore& store, const QString& instrument = {});

    // Archives a message that was refused, with its verdict and when it
    // came (now when not given), in a transaction of its own; a laboratory
    // that cannot take it is logged. False then.
    static bool archiveRefused(LabStore& store, const QString& instrument,
                               InstrumentMessage::Protocol protocol, const QByteArray& raw,
                               const QString& controlId, const QString& verdict,
                               const std::function<void(const QString&)>& log,
                               const QDateTime& receivedAt = {});

    // The answer to an analyser's query for one specimen, as ASTM records
    // without their CR, delimiters |\^&: H, P (the requesting patient's
    // hospital number and name), then an O record for each of the instrument's
    // worklist rows of that sample, its tests the instrument's own codes of
    // the exam's mapped items in the exam's order (`^^^code`, repeats), action
    // code N; then L. A sample with no order the instrument can run is
    // answered H, P (empty), L with termination code I (no information).
    // Reads only; a store error is thrown.
    static QByteArrayList answerRecords(LabStore& store, const QString& instrument,
                                        const QString& specimen);

private:
    static QString protocolName(InstrumentMessage::Protocol p);
    Outcome importOnce(const InstrumentMessage& message);
    QString itemCode(const InstrumentResult& r) const;
    // A change a result's status made, audited once the message is archived.
    struct Audit {
        QString requestNum;
        QString itemId;
        QString sample;
        QString was;
        QString now;
    };
    bool deliveredBefore(const InstrumentMessage& message);
    // A control sample's results to quality control; false for a patient's.
    bool takeControls(const QString& specimen, const InstrumentSample& sample,
                      const QDateTime& sent, Outcome& outcome);
    void lockSamples(const InstrumentMessage& message);
    void requireKnownInstrument();
    void takeSamples(const InstrumentMessage& message, Outcome& outcome, QList<Audit>& audits);
    void archiveMessage(const InstrumentMessage& message, const QString& received,
                        const Outcome& outcome, const QList<Audit>& audits);
    void notifyWindows(const InstrumentMessage& message, const Outcome& outcome);
    // A sample's results; sent: the message's time in storage form, if any.
    void take(const QString& specimen, const InstrumentSample& sample, const QString& refNum,
              const QString& sent, Outcome& outcome, QList<Audit>& audits);
    // A result's identity beside instrument and sample.
    struct Key {
        QString item;
        QString status;
        QString key;
    };
    // Each result's key, with the status it is stored with and its result time.
    QList<Key> keyResults(const QString& specimen, const InstrumentSample& sample,
                          const QString& sent, QStringList& statuses, QStringList& times) const;
    // Which keys are new to the sample, kept from now on.
    QList<bool> keep(const QString& specimen, const QList<Key>& keys);
    // What the laboratory knows of an item of the sample: its last row
    // ({null} or {null, id, value, status, posted, request}) and its mapping
    // ({} or {item, SI unit, conventional unit}).
    struct Found {
        QVariantList row{QVariant()};
        QVariantList mapping;
    };
    QList<Found> found(const QString& specimen, const QStringList& items);
    struct Written;
    struct Arrival;
    struct Pass;
    // The i-th result against what is known of its item's last row.
    Arrival arrival(Pass& pass, qsizetype i, const Key& k, const QString& status,
                    const QString& time);
    // What a result's status does: D deletes the item's unposted row; C, or
    // any result after a P, replaces it; anything else is a new row.
    void deleteRow(Pass& pass, const Arrival& a);
    void replaceRow(Pass& pass, const Arrival& a);
    void addRow(Pass& pass, const Arrival& a);
    // New rows of tbLabInstrumentDLHemaResult, written in order; emptied.
    void insertRows(QList<QVariantList>& rows);

    LabStore& m_store;
    Instrument m_instrument;
};
