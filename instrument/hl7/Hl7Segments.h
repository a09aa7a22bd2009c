#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>
#include <variant>

// An HL7 message's bytes cut into segments, fields and their pieces, as the
// parser reads them and the acknowledgement answers them.
namespace Hl7 {
inline constexpr int kUnused = -1; // a delimiter MSH-2 leaves out

// The sender's delimiters. They are ASCII, so the bytes are split before
// they are decoded: no byte of a UTF-8 sequence can be taken for one.
struct Delimiters {
    char field = '|';
    int component = '^';
    int repeat = '~';
    int escape = '\\';
    int subcomponent = '&';
};

// Views into the message: splitting copies nothing.
using Bytes = QByteArrayView;
using Pieces = QList<QByteArrayView>;

// The header segment as read: its delimiters and its fields, split as sent
// (fields[0] is "MSH", fields[1] MSH-2, fields[n - 1] MSH-n).
struct Header {
    Delimiters d;
    Pieces fields;
    Bytes field(int n) const { return fields.value(n - 1); }
};

// Piece `index` of raw cut at delimiter, empty when there are fewer.
Bytes piece(Bytes raw, int delimiter, int index = 0);
Pieces split(Bytes raw, int delimiter);
// The segments, blank lines left out; with `first`, only the first one.
Pieces segments(Bytes text, bool first = false);
// The header's delimiters and fields, or why they cannot be read.
std::variant<Header, QString> readHeader(Bytes first);
} // namespace Hl7
