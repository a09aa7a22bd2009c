#pragma once

#include <QFile>
#include <QProcess>
#include <QString>

// lis-host (LIS_HOST_PATH) run to its end with these arguments and input.
struct HostRun {
    int status = -1;
    QString out;
    QString err;
};

inline HostRun host(const QStringList& args, const QByteArray& input = {})
{
    QProcess p;
    p.start(QStringLiteral(LIS_HOST_PATH), args);
    p.write(input);
    p.closeWriteChannel();
    p.waitForFinished(60000);
    return {p.exitCode(), QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}
