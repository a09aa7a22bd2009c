#pragma once

#include <QStringList>
#include <QTextStream>

// The sub-commands of lis-instrument; each returns the exit status, errors
// reach main as LisError. Instruments are sections of "LIS Instruments.ini":
//   [AN-01]
//   Port=5001          TCP port to listen on for this instrument
//   Address=0.0.0.0    the address to listen on (default: every address)
//   Serial=/dev/ttyS0  or a serial line, with
//   Baud=9600
//   ItemComponent=4    which component of the test id is the item code
//                      (default: the first that is not empty)
//   IdleTimeout=300    seconds a silent TCP connection stays open (0: always)
namespace InstrumentCommands {
int listen(const QStringList& args, QTextStream& out);
int serial(const QStringList& args, QTextStream& out);
int importFile(const QStringList& args, QTextStream& out);
int serve(const QStringList& args, QTextStream& out);
int held(const QStringList& args, QTextStream& out);
int map(const QStringList& args, QTextStream& out);
int replay(const QStringList& args, QTextStream& out);
int status(const QStringList& args, QTextStream& out);
void usage(QTextStream& out);
} // namespace InstrumentCommands
