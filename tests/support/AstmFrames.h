#pragma once

#include <QByteArrayList>

// ASTM E1381 frames as an analyser puts them on the line.
namespace AstmFrames {
constexpr char kEtx = '\x03', kEtb = '\x17';

// STX, the frame number modulo 8, the text, ETX (or ETB), the checksum in
// two upper-case hex digits, CR LF.
inline QByteArray frame(int number, const QByteArray& text, char end = kEtx)
{
    const QByteArray body = QByteArray::number(number % 8) + text + end;
    unsigned sum = 0;
    for (const char c : body)
        sum += static_cast<unsigned char>(c);
    return '\x02' + body + QByteArray::number(sum & 0xff, 16).rightJustified(2, '0').toUpper() +
           "\r\n";
}

// The frames of these records: each record ended by CR, cut into frames of
// at most `width` characters, numbered from `first`.
inline QByteArrayList framesOf(const QByteArrayList& records, int width = 240, int first = 1)
{
    QByteArrayList out;
    for (const QByteArray& record : records) {
        const QByteArray text = record + '\r';
        for (qsizetype at = 0; at < text.size(); at += width)
            out.append(frame(first + int(out.size()), text.mid(at, width),
                             at + width >= text.size() ? kEtx : kEtb));
    }
    return out;
}
} // namespace AstmFrames
