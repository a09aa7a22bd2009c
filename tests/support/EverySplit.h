#pragma once

#include <QByteArrayList>

// The bytes as a reader may be handed them: whole, a byte at a time, and
// cut in two at every point.
inline QList<QByteArrayList> everySplit(const QByteArray& bytes)
{
    QList<QByteArrayList> out{{bytes}, {}};
    for (qsizetype at = 0; at < bytes.size(); ++at) {
        out[1] += bytes.mid(at, 1);
        if (at > 0)
            out += QByteArrayList{bytes.left(at), bytes.mid(at)};
    }
    return out;
}
