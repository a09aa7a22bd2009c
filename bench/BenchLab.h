#pragma once

#include <QDate>
#include <QString>
#include <QTemporaryDir>

// A fresh demo laboratory for one figure, with request B-1 asking for n
// cut-off items B0001..Bn, which the instrument AN-01 downloaded today as
// sample B1 (in the worklist). The component's settings point at it.
class BenchLab {
public:
    explicit BenchLab(int items);
    const QString& folder() const { return m_folder; }
    static QString itemId(int i);

private:
    QTemporaryDir m_dir;
    QString m_folder;
};

// Milliseconds of one call of f.
template <typename F> double msOf(F&& f);

#include <QElapsedTimer>
template <typename F> double msOf(F&& f)
{
    QElapsedTimer t;
    t.start();
    f();
    return double(t.nsecsElapsed()) / 1e6;
}
