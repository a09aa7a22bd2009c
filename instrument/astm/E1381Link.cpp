#include "E1381Link.h"
#include "instrument/astm/E1381Frames.h"
#include "platform/Clock.h"

#include <utility>

using namespace E1381;

namespace {
bool interrupts(char c)
{
    return c == STX || c == EOT || c == ENQ;
}

bool endsRun(char c)
{
    return c == ETX || c == ETB || c == LF || interrupts(c);
}

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A byte of the line as a log shows it: printable ASCII as itself, anything
// else in hex.
QString shown(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && u < 0x7f)
        return QString(QLatin1Char(c));
    return QStringLiteral("0x%1").arg(u, 2, 16, QLatin1Char('0'));
}

} // namespace

void E1381Link::feed(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    const char* const end = p + bytes.size();
    while (p < end) {
        // A run of plain text inside a frame, or of bytes passed over, is
        // taken whole; only the byte ending it needs a step of its own.
        if (m_mode == Mode::Text || m_mode == Mode::Skip) {
            const char* q = p;
            while (q < end && !endsRun(*q))
                ++q;
            if (m_mode == Mode::Text) {
                const qsizetype room = MaxFrameText + 1 - m_frame.size();
                if (q - p > room)
                    q = p + room; // the next byte finds the frame too long
                m_frame.append(p, q - p);
            }
            p = q;
            if (p == end)
                break;
        }
        step(*p++);
    }
    startSending();
}

void E1381Link::step(char c)
{
    switch (m_mode) {
    case Mode::Idle:
        if (m_out != Out::Waiting) {
            sendStep(c);
        } else if (c == ENQ) {
            startSession();
        } else if (c != EOT && !m_idleNoiseLogged) {
            // A closing EOT after a timeout of ours is expected; anything else
            // is logged once until the next session.
            m_idleNoiseLogged = true;
            emit event(QStringLiteral("bytes outside a session ignored (first %1)").arg(shown(c)));
        }
        return;
    case Mode::Between:
        between(c);
        return;
    case Mode::Text:
        if (c == ETX || c == ETB) {
            m_frame.append(c);
            m_trailer.clear();
            m_mode = Mode::Trailer;
        } else if (c == LF) {
            m_mode = Mode::Between;
            answerNak(QStringLiteral("frame ends without ETB or ETX"));
        } else if (interrupts(c)) {
            cutShort(c);
        } else if (m_frame.size() > MaxFrameText) {
            m_frame.clear();
            m_mode = Mode::Skip;
            m_skipReason = QStringLiteral("frame too long (over %1 bytes)").arg(MaxFrameText);
        } else {
            m_frame.append(c);
        }
        return;
    case Mode::Trailer:
        trailer(c);
        return;
    case Mode::Skip:
        if (c == LF) {
            endSkip();
        } else if (interrupts(c)) {
            if (!m_skipReason.isEmpty())
                emit event(std::exchange(m_skipReason, {}) + QStringLiteral(", cut short"));
            m_mode = Mode::Between;
            step(c);
        }
        return;
    }
}

// In a session, between frames.
void E1381Link::between(char c)
{
    if (c == STX) {
        m_frame.clear();
        m_mode = Mode::Text;
    } else if (c == EOT) {
        endSession({});
    } else if (c == ENQ) {
        endSession(QStringLiteral("ENQ during a session"));
        startSession();
    } else {
        // Most likely a frame whose STX was lost: once its LF has come,
        // the analyser waits for an answer.
        m_mode = Mode::Skip;
        m_skipReason = QStringLiteral("byte outside a frame (%1)").arg(shown(c));
        if (c == LF)
            endSkip();
    }
}

void E1381Link::trailer(char c)
{
    const qsizetype at = m_trailer.size(); // 0 and 1: checksum digits, 2: CR, 3: LF
    if (at < 2 && interrupts(c)) {
        cutShort(c);
        return;
    }
    if (c == LF) {
        m_mode = Mode::Between;
        if (at == 3)
            frameComplete();
        else
            answerNak(at < 2 ? QStringLiteral("frame ends without its checksum")
                             : QStringLiteral("missing CR LF after the checksum"));
        return;
    }
    if (at < 2 || (at == 2 && c == CR)) {
        m_trailer.append(c);
        return;
    }
    m_mode = Mode::Between;
    answerNak(QStringLiteral("missing CR LF after the checksum"));
    if (interrupts(c)) {
        step(c);
    } else {
        m_mode = Mode::Skip;
        m_skipReason.clear();
    }
}

void E1381Link::cutShort(char c)
{
    emit event(QStringLiteral("frame cut short by %1").arg(shown(c)));
    m_frame.clear();
    m_mode = Mode::Between;
    step(c);
}

void E1381Link::endSkip()
{
    m_mode = Mode::Between;
    if (!m_skipReason.isEmpty())
        answerNak(std::exchange(m_skipReason, {}));
}

void E1381Link::frameComplete()
{
    const QByteArray frame = std::exchange(m_frame, {});
    const unsigned sum = checksum(frame).toUInt(nullptr, 16);
    const int high = hexDigit(m_trailer.at(0));
    const int low = hexDigit(m_trailer.at(1));
    const char number = frame.size() > 1 ? frame.at(0) : '?';
    if (high < 0 || low < 0 || unsigned(high * 16 + low) != sum) {
        answerNak(QStringLiteral("bad checksum in frame %1 (sent %2%3, computed %4)")
                      .arg(shown(number), shown(m_trailer.at(0)), shown(m_trailer.at(1)),
                           QStringLiteral("%1").arg(sum, 2, 16, QLatin1Char('0')).toUpper()));
        return;
    }
    if (m_awaiting) {
        emit event(QStringLiteral("frame %1 arrived while the last one awaits the program: "
                                  "not answered")
                       .arg(shown(number)));
        return;
    }
    if (m_poisoned) {
        answerNak(QStringLiteral("frame %1 of a message already refused").arg(shown(number)));
        return;
    }
    const int fn = number >= '0' && number <= '7' ? number - '0' : -1;
    if (fn != m_expected) {
        if (!m_lastFrame.isEmpty() && fn == (m_expected + 7) % 8 && frame == m_lastFrame) {
            emit event(QStringLiteral("frame %1 sent again (our ACK was lost?): "
                                      "acknowledged, not added twice")
                           .arg(fn));
            answer(ACK);
        } else {
            // Frames in between were lost: what came before cannot be
            // joined to anything after, so the whole message goes.
            poison(QStringLiteral("wrong frame number %1 (expected %2)")
                       .arg(shown(number))
                       .arg(m_expected));
        }
        return;
    }
    const QByteArray text = frame.mid(1, frame.size() - 2);
    if (m_messageBytes + m_partial.size() + text.size() > MaxMessage) {
        answerNak(QStringLiteral("message too long (over %1 bytes)").arg(MaxMessage));
        return;
    }
    if (frame.back() == ETB) {
        m_partial += text;
        acknowledge(frame);
        return;
    }
    m_recordsBefore = m_records;
    m_partialBefore = m_partial;
    m_bytesBefore = m_messageBytes;
    m_heldFrame = frame;
    const QByteArray records = std::exchange(m_partial, {}) + text;
    if (!takeRecords(records.split(CR)))
        acknowledge(frame);
}

// Adds finished records to the message; at an L record, hands the message up
// and returns true: the frame is then answered by accept() or refuse().
bool E1381Link::takeRecords(QByteArrayList records)
{
    for (qsizetype i = 0; i < records.size(); ++i) {
        const QByteArray& record = records.at(i);
        if (record.isEmpty())
            continue;
        if (record.startsWith('H') && !m_records.isEmpty()) {
            emit event(QStringLiteral("header record before the terminator: "
                                      "unfinished message dropped"));
            dropMessage();
        }
        m_records.append(record);
        m_messageBytes += record.size() + 1;
        if (record.startsWith('L')) {
            m_afterTerminator = records.mid(i + 1);
            m_awaiting = true;
            m_due = {};
            const QByteArray message = m_records.join(CR) + CR;
            dropMessage();
            emit messageReceived(message);
            return true;
        }
    }
    return false;
}

void E1381Link::accept()
{
    if (!m_awaiting) {
        emit event(QStringLiteral("accept with no message awaiting an answer: ignored"));
        return;
    }
    m_awaiting = false;
    if (!takeRecords(std::exchange(m_afterTerminator, {})))
        acknowledge(m_heldFrame);
}

void E1381Link::refuse(const QString& reason, bool)
{
    if (!m_awaiting) {
        emit event(QStringLiteral("refusal with no message awaiting an answer: ignored"));
        return;
    }
    m_awaiting = false;
    m_afterTerminator.clear();
    m_records = std::exchange(m_recordsBefore, {});
    m_partial = std::exchange(m_partialBefore, {});
    m_messageBytes = m_bytesBefore;
    answerNak(QStringLiteral("message refused: ") + reason);
}

void E1381Link::acknowledge(QByteArray frame)
{
    m_lastFrame = std::move(frame);
    m_expected = (m_expected + 1) % 8;
    m_heldFrame.clear();
    m_recordsBefore.clear();
    m_partialBefore.clear();
    answer(ACK);
}

void E1381Link::answerNak(const QString& reason)
{
    if (m_awaiting) {
        emit event(reason + QStringLiteral(": not answered, the last frame awaits the program"));
        return;
    }
    emit event(QStringLiteral("NAK: ") + reason);
    if (++m_naks >= MaxNaks && !m_poisoned && m_mode != Mode::Idle) {
        // The analyser gives the frame up now; whatever it sends next is no
        // continuation of this message.
        m_poisoned = true;
        if (messageStarted())
            emit event(QStringLiteral("%1 NAKs in a row: unfinished message dropped").arg(MaxNaks));
        dropMessage();
    }
    answer(NAK);
}

void E1381Link::poison(const QString& reason)
{
    m_poisoned = true;
    if (messageStarted())
        emit event(reason + QStringLiteral(": unfinished message dropped"));
    dropMessage();
    answerNak(reason + QStringLiteral(", every frame refused until the next ENQ"));
}

void E1381Link::answer(char reply)
{
    if (reply == ACK)
        m_naks = 0;
    m_due = Clock::now().addMSecs(FrameTimeoutMs);
    emit send(QByteArray(1, reply));
}

void E1381Link::tick()
{
    const QDateTime now = Clock::now();
    if (m_due.isValid() && now >= m_due)
        endSession(QStringLiteral("no frame or EOT for %1 s").arg(FrameTimeoutMs / 1000));
    if (m_out != Out::Waiting && now >= m_replyDue) {
        emit send(QByteArray(1, EOT));
        if (m_out == Out::Enquiring)
            retryLater(QStringLiteral("no answer to our ENQ in %1 s").arg(ReplyTimeoutMs / 1000));
        else
            dropOutgoing(QStringLiteral("no answer to frame %1 in %2 s")
                             .arg(m_frameAt + 1)
                             .arg(ReplyTimeoutMs / 1000));
    }
    startSending();
}

QDateTime E1381Link::nextDue() const
{
    QDateTime sending;
    if (m_out != Out::Waiting)
        sending = m_replyDue;
    else if (m_mode == Mode::Idle && !m_outbox.isEmpty() && !m_yielded)
        sending = m_sendAt;
    if (!m_due.isValid() || (sending.isValid() && sending < m_due))
        return sending;
    return m_due;
}

void E1381Link::reset()
{
    endSession({});
    if (!m_outbox.isEmpty())
        emit event(QStringLiteral("connection closed: %1 message(s) for the analyser not sent")
                       .arg(m_outbox.size()));
    m_outbox.clear();
    m_out = Out::Waiting;
    m_enquiries = 0;
    m_yielded = false;
}

qsizetype E1381Link::buffered() const
{
    return m_frame.size() + m_trailer.size() + m_partial.size() + m_messageBytes;
}

void E1381Link::startSession()
{
    m_mode = Mode::Between;
    m_expected = 1;
    m_poisoned = false;
    answer(ACK);
}

// Back to idle. `why` names a session end that is not the analyser's EOT;
// what was unfinished is dropped and said so.
void E1381Link::endSession(const QString& why)
{
    QString line = why;
    if (m_awaiting) {
        line = (why.isEmpty() ? QStringLiteral("session ended") : why) +
               QStringLiteral(" while the last frame awaited the program: it goes unanswered");
    } else if (messageStarted()) {
        line = (why.isEmpty() ? QStringLiteral("session ended") : why) +
               QStringLiteral(" before the terminator record: unfinished message dropped");
    } else if (!why.isEmpty()) {
        line = why + QStringLiteral(": session closed");
    }
    const bool wasIdle = m_mode == Mode::Idle;
    m_mode = Mode::Idle;
    m_idleNoiseLogged = false;
    m_frame.clear();
    m_trailer.clear();
    m_skipReason.clear();
    m_expected = 1;
    m_poisoned = false;
    m_naks = 0;
    m_lastFrame.clear();
    m_awaiting = false;
    m_heldFrame.clear();
    m_afterTerminator.clear();
    m_recordsBefore.clear();
    m_partialBefore.clear();
    m_due = {};
    dropMessage();
    if (m_yielded) {
        m_yielded = false;
        m_sendAt = Clock::now().addMSecs(ContentionMs);
    }
    if (!line.isEmpty() && !wasIdle)
        emit event(line);
}

void E1381Link::dropMessage()
{
    m_records.clear();
    m_partial.clear();
    m_messageBytes = 0;
}

bool E1381Link::messageStarted() const
{
    return !m_records.isEmpty() || !m_partial.isEmpty();
}
