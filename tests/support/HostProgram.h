#pragma once

#include "platform/SettingsStore.h"

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

// What lis-host said where it should: its output when it ended with 0, its
// errors otherwise. Another status than the one expected gives "ended with
// N:" and all it said, which no expected text matches.
inline QString said(const QStringList& args, int status = 0, const QByteArray& input = {})
{
    const HostRun r = host(args, input);
    if (r.status != status)
        return QStringLiteral("ended with %1: %2%3").arg(r.status).arg(r.out, r.err);
    return status == 0 ? r.out : r.err;
}

// This workstation's [Connection] setting, as lis-host reads it.
inline void setConnection(const char* key, const QString& value)
{
    SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Connection"),
                       QLatin1String(key), value);
}
