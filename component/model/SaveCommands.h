#pragma once

#include "component/model/ResultGrid.h"

#include <QDate>
#include <QDateTime>
#include <QMap>
#include <QString>
#include <QStringList>

// What a save takes from the session and the window's header fields.
struct SaveHeader {
    QString requestNum;
    QString formType;
    QString valueType;
    QString employeeCode;
    QString accessionNum;
    QString remarks;
    QString logbookNote;
    QString method; // the instrument, for the normal-values save
    QString instrumentId;
    QDateTime submitted;
    QDateTime lraTime;
    QDateTime reported;
    QDate resultDate; // the day of the instrument's results
};

// The command texts both result windows send, as plain functions of the
// grid's rows and the header: what the window reads and asks stays in the
// window, which hands the answers in.
namespace SaveCommands {

// The request's logbook entry: looked for, then written when missing.
QString logbookSelect(const QString& request);
QString logbookEntry(const QString& request, const SaveHeader& h);
// The laboratory refuses the save when a row changed since it was read.
QString checkUnchanged(const QString& request, const QString& changeNumbers,
                       const QString& employee);
// The sample must still stand posted only where the window saw it.
QString sampleUnposted(const SaveHeader& h, const QString& sample, const QStringList& seen);
// The verification of a request's saved results.
QString verify(const QString& request, const QString& employee);

// The instrument's results of a sample (sp_InstrumentGetAxsymSample); the
// modes differ in the join before the reference number (last).
QString sampleCall(char mode, const QString& day, const QString& instrumentId,
                   const QString& sample, const QString& patient, const QString& refNum,
                   bool spacedLast);

// --- the cut-off window
// The request a row saves to: a package's rows save to the window's own.
QString cutOffRequest(const GridRow<CutOffCol>& row, const SaveHeader& h);
// The items of the rows with an exam, by the request they save to.
QMap<QString, QStringList> cutOffItems(const ResultGrid<CutOffCol>& grid, const SaveHeader& h);
QString showResultValueSelect(const QString& item);
// What the laboratory holds for the request's rows.
QString cutOffResults(const QString& request);
// A row's result; reason (a corrected verified result's) goes last when given.
QString cutOffSave(const GridRow<CutOffCol>& row, const SaveHeader& h, bool showCutOff,
                   const QString& reason);
// The instrument's results of the sample posted to the request.
QString cutOffPost(const QString& request, const QString& sample, const SaveHeader& h);

// --- the normal-values window
struct NvRowSave {
    int gridRow = 0;
    QString requestNum;
    QString examCode;
    QString examName; // trimmed
    QString value;    // the SI result typed
    QString statement;
    // The result summary; without its conventional part when the laboratory
    // derives that on save (derived), read back after the row is saved.
    QString summary;
    bool derived = false;
};
// One statement and one summary per row with an exam.
QList<NvRowSave> nvRows(const ResultGrid<NvCol>& grid, const SaveHeader& h, bool verifies);
// The statement with the reason for correcting a verified result.
QString withReason(const QString& statement, const QString& reason);
QString emptySummary(const QString& request);
QString saveSummary(const QString& request, const QString& summary);
// The rows as saved, with the conventional results derived (readBack: the
// text a save reads them back with; otherwise the one the window fills from).
QString conventionalResults(const QString& request, bool readBack);

} // namespace SaveCommands
