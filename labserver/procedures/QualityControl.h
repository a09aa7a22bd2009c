#pragma once

#include "platform/db/DbDriver.h"

#include <QDateTime>
#include <QString>
#include <QVariant>

class LabStore;

// Quality control in the laboratory: control results judged on arrival
// (Westgard), the hold a rejected run puts on the patient results of its
// instrument and item, and its release. Called inside the writing
// transaction by the qc procedures and by the importer.
namespace QualityControl {
struct Arrival {
    QString instrument;
    qint64 lotId = 0;
    QString value;
    QDateTime measuredAt;
    QString source = QStringLiteral("M"); // 'I' from an analyser's message
    QString sampleId;
    QString employee;
};

// The lot of the item an instrument sends a control of under that sample
// id; 0 for none.
qint64 lotOfSample(LabStore& store, const QString& instrument, const QString& sampleId,
                   const QString& itemId);
// True when the instrument sends controls under that sample id.
bool isControlSample(LabStore& store, const QString& instrument, const QString& sampleId);
// The lot of an instrument and item by its number or one of its sample
// ids; fails naming what is missing.
qint64 lotOf(LabStore& store, const QString& instrument, const QString& item, const QString& lot);
// Stores and judges one control result, re-judges its run and opens,
// closes or releases the item's hold. One row: Level, ZScore, Rules,
// Verdict, RunVerdict, Hold (the hold's text, empty when none is open).
ResultSet record(LabStore& store, const Arrival& arrival);
// A hold as the windows show it: "QC rejected 9:40 AM: 2-2s, level 2".
QString holdText(const QVariant& rejectedAt, const QString& rules, int level);
// Why a saved patient result taken over from an instrument may not be
// verified yet; empty when it may. orDownload: a result not saved yet, by
// its request's worklist sample.
QString holdOf(LabStore& store, const QString& requestNum, const QString& itemId,
               bool orDownload = false);
// The failed interval's hold a result falls in (reviewed or not), saved
// or still its worklist sample's download; Null when none.
QVariant heldBy(LabStore& store, const QString& requestNum, const QString& itemId);
// What the result windows mark on a request's rows: ItemID, QCHold
// ("QC rejected 9:40 AM: 2-2s, level 2") and InstrumentID, for its saved results and for
// its samples' downloads, one row per item held or waiting for review.
ResultSet holdMarks(LabStore& store, const QString& requestNum);
} // namespace QualityControl
