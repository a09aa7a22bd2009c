#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

// One message from an analyser, as the ASTM (E1394) and HL7 (ORU^R01)
// parsers hand it to the importer: the samples it reports and their results,
// with every text unescaped and every delimiter of the sender's own already
// applied.
struct InstrumentResult {
    // The test id field split into its components as sent (ASTM R-3 such as
    // "^^^413" gives {"", "", "", "413"}; HL7 OBX-3 such as "WBC^White cells^L"
    // gives {"WBC", "White cells", "L"}). Which component carries the
    // analyser's own item code is the importer's choice, per instrument.
    QStringList testId;
    QString value;          // as sent: "12.50" stays "12.50"
    QString units;
    QString referenceRange; // as sent, e.g. "3.5-5.1" or "3.5 to 5.1"
    QString flags;          // abnormal flags, repeats joined with ' ' ("H", "L", "A")
    QString status;         // result status (ASTM R-9, HL7 OBX-11): "F", "C", "P", ...
    QDateTime completed;    // when the analyser finished it; invalid when not sent
    QString comment;        // ASTM C records, HL7 NTE segments after it, joined with "; "
};

struct InstrumentSample {
    QString specimenId;  // ASTM O-3, HL7 OBR-3 (else OBR-2)
    QString patientName; // "LAST, FIRST MIDDLE" when sent, else empty
    QList<InstrumentResult> results;
    QString remarks; // comments on the sample itself (C after O, NTE after OBR)
    // Marked as a control: ASTM O-12 action code Q, HL7 OBR-11 or SPM-11 Q.
    bool control = false;
};

struct InstrumentMessage {
    enum class Protocol { Astm, Hl7 };
    Protocol protocol = Protocol::Astm;
    QString sender;    // ASTM H-5 (first component), HL7 MSH-3
    QString controlId; // HL7 MSH-10; empty for ASTM
    QDateTime sent;    // ASTM H-14, HL7 MSH-7; invalid when not sent
    QByteArray raw;    // the message as received, framing removed, for the archive
    QList<InstrumentSample> samples;
    // ASTM Q records: the specimen ids whose orders the analyser asks for,
    // in the order asked. A message of queries alone has no samples.
    QStringList queries;
};

// What a parser says of a message it cannot read: the position (record or
// segment number from 1, 0 for the whole message) and what is wrong, in
// words fit for a log line and for an HL7 MSA|AE text.
struct MessageError {
    int at = 0;
    QString reason;
    bool unsupported = false; // a kind of message not taken here, not a broken one
};
