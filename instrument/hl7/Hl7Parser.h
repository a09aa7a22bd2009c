#pragma once

#include "instrument/InstrumentMessage.h"

#include <QByteArray>
#include <QString>
#include <variant>

// Reads an HL7 v2 result message (ORU^R01, versions 2.3 to 2.5) into an
// InstrumentMessage, and writes the acknowledgement that answers a message.
//
// Segments end with CR, LF or CR LF; blank lines are skipped. The delimiters
// are the sender's own: the field separator is the character after "MSH",
// the component, repeat, escape and subcomponent characters are MSH-2 (any
// printable, non-alphanumeric ASCII characters, all different; a missing one
// is simply not used). Texts are unescaped (\F\ \S\ \T\ \R\ \E\ and \Xhh..\,
// any other sequence stays as sent) and decoded as UTF-8, or as Latin-1 when
// MSH-18 says 8859/1 or the bytes are no UTF-8.
//
// What is read: MSH-3 (first component) the sender, MSH-7 when it was sent,
// MSH-10 its control id; PID-5 the patient name of the OBR groups after it;
// each OBR a sample, its specimen id OBR-3 (first component) or else OBR-2;
// each OBX a result of the last OBR: OBX-3 split into components, OBX-5 as
// sent (SN values joined, "<^10" reads "<10"; coded values their code, else
// their text), OBX-6 first component, OBX-7, OBX-8 repeats joined by a space,
// OBX-11 and OBX-14; NTE-3 (repeats joined by a space) after an OBX is its
// result's comment, after an OBR the sample's remarks. Other segments (ORC,
// PV1, SPM, ...) are passed over.
//
// Date-times are YYYY[MM[DD[HH[MM[SS[.S[S[S[S]]]]]]]]][+/-ZZZZ] and read as
// the analyser's local time: a time zone offset is checked, then dropped, so
// a result keeps the clock time the analyser printed on it, which is what
// the laboratory stores for every instrument.
class Hl7Parser {
public:
    // A MessageError names the segment (from 1, blank lines not counted) and
    // what is wrong, in words fit for a log line and an MSA|AE text; it never
    // quotes patient data.
    static std::variant<InstrumentMessage, MessageError> parse(const QByteArray& text);

    // The ACK answering `original`, segments ended by CR, unframed: MSH with
    // the original's delimiters, sending and receiving application and
    // facility swapped, the time from Clock::now(), type ACK^<original
    // trigger> (and ^ACK from version 2.3.1 on), its own control id, processing id
    // and version copied; then MSA|AA|<control id>, or MSA|AE (AR for a
    // retry)|<control id>|<reason, escaped>. A batch (FHS, BHS) is answered
    // from its header: applications swapped, its control id (field 11).
    static QByteArray reply(const QByteArray& original, QByteArrayView code,
                            const QString& reason = {});
    static QByteArray ack(const QByteArray& original, bool accepted, const QString& reason = {})
    {
        return reply(original, accepted ? "AA" : "AE", reason);
    }
};
