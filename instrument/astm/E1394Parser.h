#pragma once

#include "instrument/InstrumentMessage.h"

#include <QByteArray>
#include <variant>

// Reads the records of one ASTM message (as E1381Link hands it up, or as an
// analyser's export file holds it) into an InstrumentMessage.
//
// Records end with CR, LF or CR LF; blank lines are skipped. The delimiters
// are the sender's own: the four characters after "H" in the header record
// are the field, repeat, component and escape characters (all different, no
// letters or digits). Texts are unescaped (&F& &S& &R& &E&, written with the
// sender's escape character; any other sequence stays as sent) and decoded
// as UTF-8, or as Latin-1 when the bytes are no UTF-8.
//
// What is read: H-5 (first component) the sender, H-14 when it was sent; P-6
// the patient name (last^first^middle, given as "last, first middle") of the
// orders after it; each O a sample, its specimen id the first non-empty
// component of O-3; each R a result of the last O: R-3 split into
// components, R-4 as sent, R-5, R-6, R-7 repeats joined by a space, R-9 and
// R-13; each Q a host query, its specimen ids from Q-3 (each repeat's second
// component, else its first non-empty one; "ALL" is no specimen id).
// C records after an R are the result's comment, after an O the sample's
// remarks (C-4, components joined by a space); manufacturer and scientific
// records (M, S) are passed over. Date-times are YYYYMMDD, YYYYMMDDHHMM or
// YYYYMMDDHHMMSS, the
// analyser's local time.
class E1394Parser {
public:
    // A MessageError names the record (from 1, blank lines not counted; 0 for
    // the whole message) and what is wrong; it never quotes patient data.
    static std::variant<InstrumentMessage, MessageError> parse(const QByteArray& text);
};
