#pragma once

#include "MessageLink.h"

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
// ENQ, 30 s without a frame, reset()) before its L record has arrived.
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

    using MessageLink::MessageLink;

    void feed(const QByteArray& bytes) override;
    void accept() override;
    void refuse(const QString& reason) override;
    void tick() override;
    QDateTime nextDue() const override;
    void reset() override;

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
    void trailer(char c);
    void cutShort(char c);
    void endSkip();
    void frameComplete();
    bool takeRecords(QByteArrayList records);
    void acknowledge(QByteArray frame);
    void answerNak(const QString& reason);
    void answer(char reply);
    void startSession();
    void endSession(const QString& why);
    void dropMessage();
    bool messageStarted() const;

    Mode m_mode = Mode::Idle;
    bool m_idleNoiseLogged = false;
    QByteArray m_frame;     // frame number, text and ETB/ETX of the frame arriving
    QByteArray m_trailer;   // its checksum digits and CR
    QString m_skipReason;   // the NAK owed when the skipped bytes end; empty for none
    int m_expected = 1;     // the frame number we wait for
    QByteArray m_lastFrame; // the frame last acknowledged, to recognise it sent again

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
};
