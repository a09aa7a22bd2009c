#pragma once

#include "instrument/MessageLink.h"
#include "instrument/MessageWriter.h"
#include "instrument/import/Importer.h"

#include <QDateTime>
#include <QObject>
#include <memory>

class LabStore;

// One connection from one analyser, whatever carries its bytes (a TCP
// socket, a serial line, a captured file, a test's buffer): the first byte
// picks the protocol (ENQ: ASTM E1381; VT: HL7 over MLLP), then every
// complete message is read, stored and only then acknowledged; a message
// that cannot be read or stored is refused, so the analyser sends it again.
// An ASTM message asking for a sample's orders (Q records) is stored like
// any other, then answered: the orders of each sample asked for, as
// Importer::answerRecords builds them, go back on the line once the
// analyser's session has ended.
//
// Given a store, messages are written inline. Given a way to open one, they
// are written on a thread of the reception's own (MessageWriter), and a
// message not written within kAnswerWithinMs is refused (NAK, MSA|AR
// "database busy, send again") so the analyser hears within its own timers;
// if it is stored after all, its resend is known as a duplicate.
class Reception : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kAnswerWithinMs = 10'000;
    static constexpr int kEventsPerMinute = 30;

    Reception(LabStore& store, Importer::Instrument instrument, QObject* parent = nullptr);
    Reception(MessageWriter::Opener open, Importer::Instrument instrument,
              QObject* parent = nullptr);
    ~Reception() override;

    void feed(const QByteArray& bytes);
    // A message that came without framing (an analyser's export file):
    // stored as one from the line would be; false when it is refused.
    bool take(const QByteArray& text, InstrumentMessage::Protocol protocol);
    void tick();
    QDateTime nextDue() const;
    // The line dropped: a half message is forgotten, nothing is stored.
    void reset();

    int stored() const { return m_stored; }
    int refused() const { return m_refused; }

signals:
    void send(const QByteArray& bytes);
    // A log line: what arrived, what was stored or refused and why.
    void logLine(const QString& line);

private:
    void ensureWriter();
    void connectWriter();
    void received(const QByteArray& text);
    void written(quint64 id, const Verdict& verdict);
    void log(const QString& what);
    // A link's event, at most kEventsPerMinute a minute: line noise must
    // not fill the disk with the same complaint.
    void linkEvent(const QString& what);

    Importer::Instrument m_instrument;
    MessageWriter::Opener m_open;
    std::unique_ptr<MessageWriter> m_writer;
    std::unique_ptr<MessageLink> m_link;
    bool m_hl7 = false;
    int m_stored = 0;
    int m_refused = 0;
    quint64 m_lastId = 0;
    quint64 m_pending = 0; // the message written now; 0 for none
    QDateTime m_answerDue; // when it is refused unless written by then
    bool m_lastStored = false;
    QDateTime m_eventMinute; // when the present minute of events began
    int m_events = 0;        // link events in it
    int m_eventsLeftOut = 0;
};
