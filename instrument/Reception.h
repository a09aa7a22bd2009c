#pragma once

#include "Importer.h"
#include "MessageLink.h"

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
class Reception : public QObject {
    Q_OBJECT
public:
    Reception(LabStore& store, Importer::Instrument instrument, QObject* parent = nullptr);
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
    void received(const QByteArray& text);
    // Empty when the message is stored, else why not.
    // The specimen ids the message asks orders for are added to `queries`.
    QString store(const QByteArray& text, InstrumentMessage::Protocol protocol,
                  QStringList* queries = nullptr);
    void answer(const QStringList& queries);
    void log(const QString& what);

    LabStore& m_store;
    Importer::Instrument m_instrument;
    std::unique_ptr<MessageLink> m_link;
    bool m_hl7 = false;
    int m_stored = 0;
    int m_refused = 0;
};
