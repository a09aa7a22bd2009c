#pragma once

#include "instrument/InstrumentMessage.h"
#include "instrument/import/Importer.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>

class LabStore;
class QThread;

// What became of one message, judged by whether its transaction committed,
// never by an error's text (a lost connection's error has none).
struct Verdict {
    enum class Kind {
        Stored,   // committed: acknowledge it
        Invalid,  // the message itself is wrong: HL7 AE, ASTM NAK
        Rejected, // a message this link does not take: HL7 AR
        Busy,     // the laboratory could not take it now: HL7 AR, ASTM NAK; send again
    };
    Kind kind = Kind::Busy;
    // For the analyser: never a folder, a host or the laboratory's own text.
    QString answer;
    // The answers to the analyser's queries (ASTM records without CR), one
    // message per specimen asked for, to send once its session has ended.
    QList<QByteArrayList> replies;
    bool stored() const { return kind == Kind::Stored; }
};

// Stores analysers' messages in the laboratory, each in its own
// transaction, and says what became of each (done()).
//
// Inline, it writes with the store it is given, on the caller's thread, and
// done() comes before write() returns: import files and tests. Threaded, it
// writes on a thread of its own with a connection of its own, so a
// laboratory held busy by another writer stalls no line: the caller keeps
// answering ENQs and frames and may give a message up while it is written.
// A connection found lost is closed and opened again when the next message
// comes, at the earliest after a wait that doubles from 1 s up to 60 s; each
// loss and recovery is logged.
class MessageWriter : public QObject {
    Q_OBJECT
public:
    using Opener = std::function<std::unique_ptr<LabStore>()>;

    MessageWriter(LabStore& store, Importer::Instrument instrument, QObject* parent = nullptr);
    MessageWriter(Opener open, Importer::Instrument instrument, QObject* parent = nullptr);
    // Waits for the message being written, if any.
    ~MessageWriter() override;

    void write(quint64 id, const QByteArray& text, InstrumentMessage::Protocol protocol);

    // One message stored or refused with the store given: the verdict, the
    // log lines on the way. Also archives a refused message with its verdict
    // when the laboratory can still be written.
    static Verdict store(LabStore& store, const Importer::Instrument& instrument,
                         const QByteArray& text, InstrumentMessage::Protocol protocol,
                         const std::function<void(const QString&)>& log);

signals:
    void done(quint64 id, const Verdict& verdict);
    void logLine(const QString& line);

private:
    class Worker;
    LabStore* m_store = nullptr;
    Importer::Instrument m_instrument;
    QThread* m_thread = nullptr;
    Worker* m_worker = nullptr;
};
