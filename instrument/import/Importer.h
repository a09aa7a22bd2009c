#pragma once

#include "InstrumentMessage.h"

#include <QByteArrayList>
#include <QList>
#include <QString>

class LabStore;

// Writes what an analyser sent into the laboratory's downloaded results,
// where the result windows find it, one message per transaction through the
// laboratory store (embedded or on a server):
//  - each result becomes a row of tbLabInstrumentDLHemaResult: the
//    instrument, the sample, the result time (the day the windows look the
//    sample up by), the analyser's item code, value as sent, unit, flags, the
//    patient's name when sent, and the refnum of the sample's worklist row;
//  - the analyser's item code is the test id's component the instrument's
//    settings name, else its first non-empty one; a unit that differs from
//    the laboratory item's only in case is written as the laboratory writes it;
//  - a result already stored for the same instrument, sample, item and
//    result time is not stored again, so a resent message is harmless and a
//    row already posted to a request is never touched;
//  - a result whose code has no mapping in tbLabInstrumentExams is stored
//    all the same, held: the windows cannot post it, `held()` lists it, and
//    it is posted like any other once the mapping exists;
//  - the message itself goes to tbLabInstrumentMessage.
// Either all of that is committed or nothing is, and the error is thrown.
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
    };
    struct HeldResult {
        QString instrument;
        QString sample;
        QString resultDate; // general date
        QString item;
        QString value;
    };

    Importer(LabStore& store, Instrument instrument);

    Outcome import(const InstrumentMessage& message);

    // The unposted results whose codes are not mapped, oldest first; all
    // instruments when none is named.
    static QList<HeldResult> held(LabStore& store, const QString& instrument = {});

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
    QString itemCode(const InstrumentResult& r) const;
    QString laboratoryUnit(const QString& item, const QString& unit);

    LabStore& m_store;
    Instrument m_instrument;
};
