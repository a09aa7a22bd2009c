#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QString>

// The low level of one connection to an analyser: bytes in, checked message
// text out, and the protocol's own answers back. A link never reads a device
// itself: the program (or a test) feeds it whatever bytes arrived, in pieces
// of any size, and writes out what it asks to send. It never waits either:
// its timeouts are due times computed from Clock::now(), checked by tick().
//
// A complete message is handed up by messageReceived (the text without
// framing: ASTM records separated by CR, an HL7 message as sent); the link
// then holds the sender until the program answers with accept(), once the
// message is stored, or refuse(reason, retry), when it is not: only what is
// kept is acknowledged, and the analyser resends what is refused. `retry`
// says the message itself is fine (the laboratory was busy, or it is of a
// kind not taken here): HL7 answers AR then, AE otherwise.
class MessageLink : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    virtual void feed(const QByteArray& bytes) = 0;
    virtual void accept() = 0;
    virtual void refuse(const QString& reason, bool retry = false) = 0;
    // Acts on every timeout due by Clock::now().
    virtual void tick() = 0;
    // The earliest due time, invalid when nothing is timed.
    virtual QDateTime nextDue() const = 0;
    // The connection went away: whatever is half received is dropped.
    virtual void reset() = 0;

signals:
    void send(const QByteArray& bytes);
    void messageReceived(const QByteArray& text);
    // One line per protocol event worth a log entry (a NAK and why, a
    // timeout, a duplicate frame), without patient data.
    void event(const QString& line);
};
