#pragma once

#include "MessageLink.h"

#include <QList>

// HL7 v2 over MLLP, the receiving side. Each message arrives framed as the
// start byte 0x0B, the message text, the end byte 0x1C and a CR; the bytes
// come in pieces of any size, several messages may share one piece.
//
// A complete message is handed up with messageReceived (the bytes between
// start and end byte). Messages that follow are kept, in order, and handed
// up one at a time: the next only once the program has answered the one
// before with accept() (an ACK with MSA|AA goes out) or refuse(reason) (an
// ACK with MSA|AE and the reason), both built by Hl7Parser::ack from the
// message text.
//
// What cannot be a message is dropped with one event line each time:
// bytes outside a frame (one line per run of them, up to the next start
// byte; CR and LF right after a frame pass silently), a start byte inside a
// message (the part before it goes), a message over kLongestMessage (dropped
// up to the next start byte), a frame still open kFrameTimeoutMs after its
// start byte, and a message arriving while kMostWaiting already wait for an
// answer (the sender, getting no ACK, sends it again).
class MllpLink : public MessageLink {
    Q_OBJECT
public:
    static constexpr qsizetype kLongestMessage = 1024 * 1024;
    static constexpr qint64 kFrameTimeoutMs = 30 * 1000;
    static constexpr qsizetype kMostWaiting = 64;

    using MessageLink::MessageLink;

    void feed(const QByteArray& bytes) override;
    // Answers the message last handed up; ignored (with an event line) when
    // none waits for an answer, e.g. after reset().
    void accept() override;
    void refuse(const QString& reason) override;
    void tick() override;
    QDateTime nextDue() const override;
    // Drops a half message and the messages not yet answered: their sender
    // is gone and sends them again on its next connection.
    void reset() override;

private:
    enum class State {
        Between, // after a frame: CR and LF expected, then a start byte
        Outside, // dropping up to the next start byte, already reported
        InFrame,
    };

    void consume(const QByteArray& bytes);
    void startFrame();
    void endFrame();
    void deliver();
    void answer(bool accepted, const QString& reason);

    State m_state = State::Between;
    QByteArray m_frame;       // the message so far
    QDateTime m_frameStarted; // when its start byte came
    QByteArray m_input;       // bytes fed while a piece is being read
    bool m_reading = false;
    QList<QByteArray> m_waiting; // complete, not yet handed up
    QByteArray m_current;        // handed up, not yet answered
    bool m_answerDue = false;
};
