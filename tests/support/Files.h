#pragma once

#include <QFile>

// Neither group nor others may read, write or enter it.
inline bool ownerOnly(const QString& path)
{
    return (QFile::permissions(path) & 0x0077) == QFileDevice::Permissions();
}

// The file's bytes; empty when it cannot be read.
inline QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
