#pragma once

#include "instrument/MessageWriter.h"
#include "instrument/import/Importer.h"

#include <QString>
#include <QStringList>
#include <QTextStream>
#include <memory>

class LabStore;

// The instruments as "LIS Instruments.ini" sets them up, and the laboratory
// the workstation's settings name: what every sub-command starts from.
namespace InstrumentSettings {
extern const QString kSettings;

struct InstrumentSetup {
    Importer::Instrument instrument;
    quint16 port = 0;
    QString address;
    QString serial;
    qint32 baud = 9600;
    int idleSeconds = 300; // a TCP connection this long silent is closed; 0: never
};

[[noreturn]] void badUsage(const QString& why);
// A setting that is not what it must be is a usage error naming it.
InstrumentSetup setupOf(const QString& id);
QStringList instrumentIds();
std::unique_ptr<LabStore> laboratory();
// Opens the laboratory on a writer's own thread, as often as it is lost.
MessageWriter::Opener opener();
// One line of the log, stamped with the time.
void say(QTextStream& out, const QString& line);
} // namespace InstrumentSettings
