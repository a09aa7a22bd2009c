#pragma once

#include <QDate>
#include <QString>
#include <QTemporaryDir>

class LabStore;

// A fresh demo laboratory for one figure, with request B-1 asking for n
// cut-off items B0001..Bn, which the instrument AN-01 downloaded today as
// sample B1 (in the worklist). The component's settings point at it.
class BenchLab {
public:
    explicit BenchLab(int items);
    const QString& folder() const { return m_folder; }
    static QString itemId(int i);

    // The bench exam BENCH with items B0001..Bn downloaded on `day` as
    // sample B1, and the requests B-1 to B-20 for it (the figures save B-1
    // through the component and B-2 by direct writes; the rest are for
    // repeated saves), in an open laboratory of either engine; one
    // transaction.
    static constexpr int kBenchRequests = 30;
    static void addBenchExam(LabStore& store, int items, const QDate& day);
    static QString benchRequest(int n); // B-n

    // Requests of the concurrent workstations: slot s has requests
    // workstationRequest(s, 1..perSlot) for BENCH and a sample of its own,
    // workstationSample(s), holding the first `rows` items downloaded on
    // `day`. Needs addBenchExam with at least `rows` items; one transaction.
    static void addWorkstationRequests(LabStore& store, int slotCount, int perSlot, int rows,
                                       const QDate& day);
    static QString workstationRequest(int slot, int n); // Wslot-n
    // A laboratory's history: `entries` logbook entries of requests H-1..
    // from a year before `day`; one transaction.
    // Years of a laboratory's work before `day`: requests Y1..Y<requests> of
    // the bench exam with their logbook entries, headers, `items` verified
    // results each with their audit rows, and one posted download each.
    static void addHistory(LabStore& store, int requests, int items, const QDate& day);
    static QString workstationSample(int slot);

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
