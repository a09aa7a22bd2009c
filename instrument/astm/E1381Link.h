#pragma once

#include "instrument/MessageLink.h"

#include <QByteArrayList>

// The receiving end of an analyser's ASTM line. The analyser opens a session
// with ENQ, sends its records in numbered, checksummed frames and closes with
// EOT; we answer ENQ and every frame with ACK, or NAK when the frame fails a
// check (the analyser then sends it again). A record may run over several
// frames (each but the last ended by ETB); a frame may hold several records.
//
// The records of one message, from its header (H) to its terminator (L), are
// handed up as one text, each record followed by CR. The frame holding the L
// record is answered only once the program has accepted the message (ACK) or
// refused it (NAK: the analyser resends that frame and the message is handed
// up again). Everything before it is acknowledged frame by frame. Several
// messages may follow one another in one session.
//
// What is dropped, never handed up: a message whose session ends (EOT, a new
// ENQ, 30 s without a frame, reset()) before its L record has arrived. A
// frame whose number is neither the one expected nor a repeat of the last one
// acknowledged means frames were lost: it is refused (NAK), and so is every
// frame after it until the analyser starts again with ENQ, so nothing before
// the gap is ever joined to what follows it. The sixth NAK in a row (the
// analyser gives up then) drops the message the same way.
//
// The link also sends, when the program queues a message with sendMessage()
// (the answer to an analyser's query). Once the line is idle it sends ENQ and
// waits up to 15 s for ACK; on NAK or silence (then closed with EOT) it tries
// again 10 s later, and drops the message after 6 ENQs. An analyser's ENQ
// crossing ours wins: its session is served first and ours is tried 20 s
// after it ends. Each record goes in frames of its own (text over 240
// characters continued in the next frame, ETB; the last ETX), numbered from 1
// modulo 8; each frame waits up to 15 s for ACK (an EOT counts as one) and is
// sent again on NAK, up to 6 times in all; a frame refused 6 times or not
// answered ends the message with EOT and drops it. The message ends with EOT.
class E1381Link : public MessageLink {
    Q_OBJECT
public:
    // Frames are usually at most 240 characters, but analysers send longer
    // ones; these caps only keep a broken line from filling the memory.
    static constexpr qsizetype MaxFrameText = 64 * 1024;
    static constexpr qsizetype MaxMessage = 4 * 1024 * 1024;
    // How long the analyser may take for its next frame or EOT after each
    // answer of ours.
    static constexpr qint64 FrameTimeoutMs = 30'000;
    // Sending: how long the analyser may take to answer our ENQ or a frame,
    // the waits before another ENQ, how often an ENQ or a frame is sent, and
    // the text of one frame.
    static constexpr qint64 ReplyTimeoutMs = 15'000;
    static constexpr qint64 RetryMs = 10'000;
    static constexpr qint64 ContentionMs = 20'000;
    static constexpr int MaxTries = 6;
    static constexpr qsizetype MaxFrameOut = 240;
    // NAKs in a row after which the analyser gives the frame up.
    static constexpr int MaxNaks = 6;

    using MessageLink::MessageLink;

    void feed(const QByteArray& bytes) override;
    void accept() override;
    void refuse(const QString& reason, bool retry = false) override;
    void tick() override;
    QDateTime nextDue() const override;
    void reset() override;

    // Queues a message for the analyser: its records, each without its CR.
    // Sent after the messages queued before it, once the line is idle.
    void sendMessage(const QByteArrayList& records);
    // Messages queued and not yet sent whole, the one being sent included.
    qsizetype outgoing() const { return m_outbox.size(); }

    // The bytes held for a frame and a message not yet complete: at most
    // MaxFrameText + MaxMessage, whatever arrives.
    qsizetype buffered() const;

private:
    enum class Mode {
        Idle,    // no session: waiting for ENQ
        Between, // in a session, between frames
        Text,    // inside a frame, up to ETB or ETX
        Trailer, // after ETB or ETX: checksum, CR, LF
        Skip,    // passing over bytes up to LF
    };

    void step(char c);
    void between(char c);
    void trailer(char c);
    void cutShort(char c);
    void endSkip();
    void frameComplete();
    bool takeRecords(QByteArrayList records);
    void acknowledge(QByteArray frame);
    void answerNak(const QString& reason);
    void poison(const QString& reason);
    void answer(char reply);
    void startSession();
    void endSession(const QString& why);
    void dropMessage();
    bool messageStarted() const;
    void startSending();
    void sendStep(char c);
    void sendFrame();
    void retryLater(const QString& why);
    void dropOutgoing(const QString& why);

    Mode m_mode = Mode::Idle;
    bool m_idleNoiseLogged = false;
    QByteArray m_frame;      // frame number, text and ETB/ETX of the frame arriving
    QByteArray m_trailer;    // its checksum digits and CR
    QString m_skipReason;    // the NAK owed when the skipped bytes end; empty for none
    int m_expected = 1;      // the frame number we wait for
    bool m_poisoned = false; // frames were lost: refuse all up to the next ENQ
    int m_naks = 0;          // NAKs in a row
    QByteArray m_lastFrame;  // the frame last acknowledged, to recognise it sent again

    QByteArray m_partial;     // a record continued in the next frame
    QByteArrayList m_records; // the finished records of the message so far
    qsizetype m_messageBytes = 0;

    // The frame completing a message, while the program decides.
    bool m_awaiting = false;
    QByteArray m_heldFrame;
    QByteArrayList m_afterTerminator; // records of that frame after its L record
    QByteArrayList m_recordsBefore;   // the message as it was before that frame
    QByteArray m_partialBefore;
    qsizetype m_bytesBefore = 0;

    QDateTime m_due;

    // The sending side; it is busy only while the receiving side is idle.
    enum class Out {
        Waiting,   // nothing sent: waiting for a message, an idle line or m_sendAt
        Enquiring, // our ENQ sent, waiting for the answer
        Framing,   // frame m_frameAt of the first message sent, waiting for the answer
    };
    Out m_out = Out::Waiting;
    QList<QByteArrayList> m_outbox; // the frames of each queued message
    qsizetype m_frameAt = 0;
    int m_enquiries = 0;    // ENQs sent for the first message
    int m_frameSends = 0;   // times the current frame was sent
    bool m_yielded = false; // the analyser's session won over our ENQ
    QDateTime m_sendAt;     // Waiting: not before then
    QDateTime m_replyDue;   // Enquiring, Framing: the answer's deadline
};
