#pragma once

#include <QByteArray>
#include <QRandomGenerator>
#include <functional>

// Bytes damaged as a bad line or a careless sender damages them: one to six
// times, a byte inserted or overwritten (from `pick`), a run cut out, or a
// piece of the bytes repeated.
inline QByteArray mutated(QByteArray bytes, QRandomGenerator& rng,
                          const std::function<char()>& pick)
{
    for (int n = rng.bounded(1, 7); n > 0; --n) {
        const int at = rng.bounded(int(bytes.size()) + 1);
        const int op = rng.bounded(4);
        if (op == 0)
            bytes.insert(at, pick());
        else if (op == 1 && at < bytes.size())
            bytes[at] = pick();
        else if (op == 2)
            bytes.remove(at, rng.bounded(1, 30));
        else if (op == 3)
            bytes.insert(at, bytes.mid(rng.bounded(int(bytes.size()) + 1), rng.bounded(1, 90)));
    }
    return bytes;
}
