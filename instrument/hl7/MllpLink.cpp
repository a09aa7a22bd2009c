#include "MllpLink.h"

#include "instrument/hl7/Hl7Parser.h"
#include "platform/Clock.h"

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {
constexpr char kStart = 0x0B;
constexpr char kEnd = 0x1C;

QString hexByte(char c)
{
    return u"0x"_s +
           QString::number(static_cast<unsigned char>(c), 16).rightJustified(2, u'0').toUpper();
}
} // namespace

void MllpLink::feed(const QByteArray& bytes)
{
    m_input += bytes;
    // Fed again from a slot connected to one of our signals: the outer call
    // reads these bytes after the ones it holds, in order.
    if (m_reading)
        return;
    m_reading = true;
    tick(); // a frame past its time takes no more bytes
    // While the queue is full the rest waits, unread, for an answer to go.
    while (!m_input.isEmpty() && m_waiting.size() < kMostWaiting)
        m_input.remove(0, consume(m_input));
    if (m_input.size() > kMostUnread) {
        emit event(u"%1 bytes wait unread behind %2 messages: dropped"_s.arg(m_input.size())
                       .arg(m_waiting.size()));
        m_input.clear();
    }
    m_reading = false;
    deliver();
}

// Inside a message: its bytes up to its end byte or a start byte; where
// reading goes on.
const char* MllpLink::inFrame(const char* p, const char* end)
{
    const char* stop = std::find_if(p, end, [](char c) { return c == kStart || c == kEnd; });
    if (stop - p > kLongestMessage - m_frame.size()) {
        // Its header is kept for the answer, in its turn.
        m_frame.append(p, std::min<qsizetype>(stop - p, 4096));
        m_frame.truncate(std::max<qsizetype>(m_frame.indexOf('\r'), 0));
        m_state = State::TooLong;
        return stop;
    }
    m_frame.append(p, stop - p);
    p = stop;
    if (p == end)
        return p;
    if (*p == kStart) {
        emit event(
            u"start byte inside a message: the %1 bytes before it dropped"_s.arg(m_frame.size()));
        startFrame();
    } else {
        endFrame();
    }
    return p + 1;
}

// The bytes taken, up to the end of the message that fills the queue.
qsizetype MllpLink::consume(const QByteArray& bytes)
{
    const char* const begin = bytes.constData();
    const char* p = begin;
    const char* const end = p + bytes.size();
    while (p < end && m_waiting.size() < kMostWaiting) {
        switch (m_state) {
        case State::Between:
            if (*p == kStart) {
                startFrame();
            } else if (*p != '\r' && *p != '\n') {
                emit event(u"bytes outside a message dropped up to the next start byte, "
                           u"the first %1"_s.arg(hexByte(*p)));
                m_state = State::Outside;
            }
            ++p;
            break;
        case State::Outside:
            p = std::find(p, end, kStart);
            if (p < end) {
                startFrame();
                ++p;
            }
            break;
        case State::InFrame:
            p = inFrame(p, end);
            break;
        case State::TooLong:
            p = std::find_if(p, end, [](char c) { return c == kStart || c == kEnd; });
            if (p == end)
                break;
            if (*p == kStart) {
                emit event(u"start byte inside a message over %1 bytes: it is dropped"_s.arg(
                    kLongestMessage));
                startFrame();
            } else {
                m_state = State::Between;
                m_waiting.append({std::exchange(m_frame, {}), true});
            }
            ++p;
            break;
        }
    }
    return p - begin;
}

void MllpLink::startFrame()
{
    m_frame.clear();
    m_frameStarted = Clock::now();
    m_state = State::InFrame;
}

void MllpLink::endFrame()
{
    m_state = State::Between;
    m_waiting.append({std::exchange(m_frame, {}), false});
}

void MllpLink::deliver()
{
    while (!m_answerDue && !m_waiting.isEmpty()) {
        Waiting next = m_waiting.takeFirst();
        if (next.tooLong) {
            const QString why = u"message longer than %1 bytes"_s.arg(kLongestMessage);
            emit event(why + u": refused (AR)"_s);
            emit send(kStart + Hl7Parser::reply(next.text, "AR", why) + kEnd + '\r');
            continue;
        }
        m_current = next.text;
        m_answerDue = true;
        emit messageReceived(m_current);
    }
    // Bytes left unread while the queue was full.
    if (!m_answerDue && !m_input.isEmpty() && !m_reading)
        feed({});
}

void MllpLink::accept()
{
    answer("AA", {});
}

void MllpLink::refuse(const QString& reason, bool retry)
{
    answer(retry ? "AR" : "AE", reason);
}

void MllpLink::answer(QByteArrayView code, const QString& reason)
{
    if (!m_answerDue) {
        emit event(u"answer ignored: no message waits for one"_s);
        return;
    }
    m_answerDue = false;
    const QByteArray ack = Hl7Parser::reply(std::exchange(m_current, {}), code, reason);
    emit send(kStart + ack + kEnd + '\r');
    deliver();
}

void MllpLink::tick()
{
    if (m_state != State::InFrame || Clock::now() < nextDue())
        return;
    emit event(u"message incomplete %1 s after its start byte: %2 bytes dropped"_s
                   .arg(kFrameTimeoutMs / 1000)
                   .arg(m_frame.size()));
    m_frame.clear();
    m_state = State::Outside;
}

QDateTime MllpLink::nextDue() const
{
    return m_state == State::InFrame ? m_frameStarted.addMSecs(kFrameTimeoutMs) : QDateTime();
}

void MllpLink::reset()
{
    if (m_state == State::InFrame)
        emit event(u"connection reset: a half message of %1 bytes dropped"_s.arg(m_frame.size()));
    const qsizetype unanswered = m_waiting.size() + (m_answerDue ? 1 : 0);
    if (unanswered > 0)
        emit event(u"connection reset: %1 messages left unanswered"_s.arg(unanswered));
    m_state = State::Between;
    m_frame.clear();
    m_input.clear();
    m_waiting.clear();
    m_current.clear();
    m_answerDue = false;
}
