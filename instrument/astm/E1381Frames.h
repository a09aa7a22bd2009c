#pragma once

#include <QByteArray>

// The control characters of an E1381 line and a frame's checksum, for the
// link's receiving and sending halves.
namespace E1381 {
inline constexpr char STX = 0x02;
inline constexpr char ETX = 0x03;
inline constexpr char EOT = 0x04;
inline constexpr char ENQ = 0x05;
inline constexpr char ACK = 0x06;
inline constexpr char NAK = 0x15;
inline constexpr char ETB = 0x17;
inline constexpr char CR = '\r';
inline constexpr char LF = '\n';

// Two upper-case hex digits: the sum of the frame's bytes modulo 256.
inline QByteArray checksum(const QByteArray& body)
{
    unsigned sum = 0;
    for (const char c : body)
        sum += static_cast<unsigned char>(c);
    return QByteArray::number(sum & 0xff, 16).rightJustified(2, '0').toUpper();
}
} // namespace E1381
