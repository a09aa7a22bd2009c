#include "MllpLink.h"

#include "Clock.h"
#include "Hl7Parser.h"

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
    while (!m_input.isEmpty())
        consume(std::exchange(m_input, {}));
    m_reading = false;
    deliver();
}

void MllpLink::consume(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    const char* const end = p + bytes.size();
    while (p < end) {
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
        case State::InFrame: {
            const char* stop =
                std::find_if(p, end, [](char c) { return c == kStart || c == kEnd; });
            if (stop - p > kLongestMessage - m_frame.size()) {
                emit event(u"message longer than %1 bytes dropped"_s.arg(kLongestMessage));
                m_frame.clear();
                m_state = State::Outside;
                p = stop;
                break;
            }
            m_frame.append(p, stop - p);
            p = stop;
            if (p == end)
                break;
            if (*p == kStart) {
                emit event(u"start byte inside a message: the %1 bytes before it dropped"_s.arg(
                    m_frame.size()));
                startFrame();
            } else {
                endFrame();
            }
            ++p;
            break;
        }
        }
    }
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
    const QByteArray text = std::exchange(m_frame, {});
    if (m_waiting.size() >= kMostWaiting) {
        emit event(u"%1 messages already wait for an answer: a message of %2 bytes dropped"_s
                       .arg(m_waiting.size())
                       .arg(text.size()));
        return;
    }
    m_waiting.append(text);
}

void MllpLink::deliver()
{
    if (m_answerDue || m_waiting.isEmpty())
        return;
    m_current = m_waiting.takeFirst();
    m_answerDue = true;
    emit messageReceived(m_current);
}

void MllpLink::accept()
{
    answer(true, {});
}

void MllpLink::refuse(const QString& reason)
{
    answer(false, reason);
}

void MllpLink::answer(bool accepted, const QString& reason)
{
    if (!m_answerDue) {
        emit event(u"answer ignored: no message waits for one"_s);
        return;
    }
    m_answerDue = false;
    const QByteArray ack = Hl7Parser::ack(std::exchange(m_current, {}), accepted, reason);
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
