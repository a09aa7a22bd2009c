#pragma once

#include <QStringList>
#include <QTextStream>

// The sub-commands of the host program. Each returns the exit status;
// errors reach the caller as LisError.
namespace HostCommands {
int open(const QStringList& args);
int settings(const QStringList& args, QTextStream& out);
int connstr(const QStringList& args, QTextStream& out);
int demo(const QStringList& args, QTextStream& out);
int query(const QStringList& args, QTextStream& out);
// init: makes or upgrades the laboratory on the server the settings name;
// import FOLDER: copies an embedded laboratory into it.
int server(const QStringList& args, QTextStream& out);
// audit REQUESTNUM: the recorded changes to the request's results.
int audit(const QStringList& args, QTextStream& out);
// option [NAME on|off]: the laboratory-wide options, set by the administrator.
int option(const QStringList& args, QTextStream& out);
// qc ...: quality control (QcCommands.cpp).
int qc(const QStringList& args, QTextStream& out);
// Every form of every sub-command, or only those of one.
void usage(QTextStream& out, const QString& command = {});
// --help (or -h) anywhere after a sub-command asks for its usage.
bool asksForHelp(const QStringList& args);

// Error 5 naming what is wrong with the command line.
[[noreturn]] void badUsage(const QString& why);
// The connection string the component opens its database with.
QString componentConnection();
} // namespace HostCommands
