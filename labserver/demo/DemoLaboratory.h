#pragma once

#include <QDate>
#include <QDateTime>
#include <QList>
#include <QString>

class LabStore;

// Builds the demo laboratory in a data folder: hospital, patients, exams of
// every format, requests, an instrument with samples downloaded on the day
// given, and saved results for some requests. Only in an empty laboratory,
// which it marks as the demo's, or in one it marked: any other is refused
// with nothing written (on a server, so is any login but the owner). Safe to
// run again: what exists stays, but for the demo's figures of an earlier
// build that were wrong; the instrument's unposted downloads move to the new
// day.
namespace DemoLaboratory {
struct Request {
    QString requestNum;
    QString patient;
    QString exam;
    QString formType;
    QString valueType;
    QString note;
};

struct Summary {
    QString instrumentId;
    QString instrumentName;
    QList<Request> requests;
};

// The demo's morning runs from 6:00 (requests) to 9:50 (the last download):
// the day to build at `now` is today from 10:00 and yesterday before, so
// nothing the demo records lies later than now (a save refuses such dates).
QDate dayAt(const QDateTime& now);

Summary build(const QString& folder, const QDate& day);
// The same in an open laboratory, embedded or on a server.
Summary build(LabStore& store, const QDate& day);
} // namespace DemoLaboratory
