#pragma once

#include "instrument/MessageLink.h"

#include <QList>

// HL7 v2 over MLLP, the receiving side. Each message arrives framed as the
// start byte 0x0B, the message text, the end byte 0x1C and a CR; the bytes
// come in pieces of any size, several messages may share one piece.
//
// A complete message is handed up with messageReceived (the bytes between
// start and end byte). Messages that follow are kept, in order, and handed
// up one at a time: the next only once the program has answered the one
// before with accept() (an ACK with MSA|AA goes out) or refuse(reason) (an
// ACK with MSA|AE, or MSA|AR for a retry, and the reason), all built by
// Hl7Parser::ack from the message text. Every message is answered, in the
// order sent: one over kLongestMessage with MSA|AR and the reason, in its
// turn; while kMostWaiting wait, the bytes after them are read only once an
// answer has gone out.
//
// What cannot be a message is dropped with one event line each time:
// bytes outside a frame (one line per run of them, up to the next start
// byte; CR and LF right after a frame pass silently), a start byte inside a
// message (the part before it goes), a frame still open kFrameTimeoutMs
// after its start byte, and bytes past kMostUnread not yet read.
class MllpLink : public MessageLink {
    Q_OBJECT
public:
    static constexpr qsizetype kLongestMessage = 1024 * 1024;
    static constexpr qint64 kFrameTimeoutMs = 30 * 1000;
    static constexpr qsizetype kMostWaiting = 64;
    static constexpr qsizetype kMostUnread = 64 * 1024 * 1024;

    using MessageLink::MessageLink;

    void feed(const QByteArray& bytes) override;
    // Answers the message last handed up; ignored (with an event line) when
    // none waits for an answer, e.g. after reset().
    void accept() override;
    void refuse(const QString& reason, bool retry = false) override;
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
        TooLong, // passing over a message too long, up to its end byte
    };
    struct Waiting {
        QByteArray text; // the message, or the start of one too long
        bool tooLong = false;
    };

    qsizetype consume(const QByteArray& bytes);
    const char* inFrame(const char* p, const char* end);
    void startFrame();
    void endFrame();
    void deliver();
    void answer(QByteArrayView code, const QString& reason);

    State m_state = State::Between;
    QByteArray m_frame;       // the message so far
    QDateTime m_frameStarted; // when its start byte came
    QByteArray m_input;       // bytes fed while a piece is being read
    bool m_reading = false;
    QList<Waiting> m_waiting; // complete, not yet handed up
    QByteArray m_current;     // handed up, not yet answered
    bool m_answerDue = false;
};
