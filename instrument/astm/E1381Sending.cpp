#include "instrument/astm/E1381Frames.h"
#include "instrument/astm/E1381Link.h"
#include "platform/Clock.h"

// The sending half: our messages to the analyser, framed, each frame
// answered before the next, an ENQ refused or unanswered tried again later.

using namespace E1381;

namespace {
// The frames of one outgoing message, numbered from 1.
QByteArrayList framesOf(const QByteArrayList& records, qsizetype width)
{
    QByteArrayList frames;
    int number = 1;
    for (const QByteArray& record : records) {
        const QByteArray text = record + CR;
        for (qsizetype at = 0; at < text.size(); at += width) {
            const QByteArray body = QByteArray::number(number++ % 8) + text.mid(at, width) +
                                    (at + width >= text.size() ? ETX : ETB);
            frames.append(STX + body + checksum(body) + CR + LF);
        }
    }
    return frames;
}
} // namespace

void E1381Link::sendMessage(const QByteArrayList& records)
{
    if (m_outbox.isEmpty() && m_out == Out::Waiting)
        m_sendAt = Clock::now();
    m_outbox.append(framesOf(records, MaxFrameOut));
    startSending();
}

void E1381Link::startSending()
{
    if (m_mode != Mode::Idle || m_out != Out::Waiting || m_outbox.isEmpty() || m_yielded ||
        Clock::now() < m_sendAt)
        return;
    m_out = Out::Enquiring;
    ++m_enquiries;
    m_replyDue = Clock::now().addMSecs(ReplyTimeoutMs);
    emit send(QByteArray(1, ENQ));
}

// A byte from the analyser while we send.
void E1381Link::sendStep(char c)
{
    if (m_out == Out::Enquiring) {
        if (c == ACK) {
            m_out = Out::Framing;
            m_frameAt = 0;
            m_frameSends = 0;
            sendFrame();
        } else if (c == NAK) {
            retryLater(QStringLiteral("the analyser answered our ENQ with NAK"));
        } else if (c == ENQ) {
            emit event(QStringLiteral("the analyser's ENQ crossed ours: its session goes first"));
            m_out = Out::Waiting;
            m_replyDue = {};
            m_yielded = true;
            --m_enquiries;
            startSession();
        }
        return;
    }
    if (c == ACK || c == EOT) {
        m_frameSends = 0;
        if (++m_frameAt < m_outbox.first().size()) {
            sendFrame();
            return;
        }
        emit send(QByteArray(1, EOT));
        m_outbox.removeFirst();
        m_out = Out::Waiting;
        m_replyDue = {};
        m_enquiries = 0;
        m_sendAt = Clock::now();
        startSending();
    } else if (c == NAK) {
        if (m_frameSends < MaxTries) {
            sendFrame();
        } else {
            emit send(QByteArray(1, EOT));
            dropOutgoing(
                QStringLiteral("frame %1 refused %2 times").arg(m_frameAt + 1).arg(MaxTries));
        }
    }
}

void E1381Link::sendFrame()
{
    ++m_frameSends;
    m_replyDue = Clock::now().addMSecs(ReplyTimeoutMs);
    emit send(m_outbox.first().at(m_frameAt));
}

// Our ENQ was refused or not answered: another try later, or the message is
// given up.
void E1381Link::retryLater(const QString& why)
{
    if (m_enquiries >= MaxTries) {
        dropOutgoing(why + QStringLiteral(" (%1 tries)").arg(MaxTries));
        return;
    }
    emit event(why + QStringLiteral(": trying again in %1 s").arg(RetryMs / 1000));
    m_out = Out::Waiting;
    m_replyDue = {};
    m_sendAt = Clock::now().addMSecs(RetryMs);
}

// Gives up the message being sent; the next one waits as after a refusal.
void E1381Link::dropOutgoing(const QString& why)
{
    emit event(why + QStringLiteral(": message for the analyser dropped"));
    m_outbox.removeFirst();
    m_out = Out::Waiting;
    m_replyDue = {};
    m_enquiries = 0;
    m_sendAt = Clock::now().addMSecs(RetryMs);
}
