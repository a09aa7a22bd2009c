#pragma once

#include "component/ConnSettings.h"
#include "component/RequestInfo.h"
#include "platform/db/Connection.h"
#include "platform/report/Report.h"

#include <QDateTime>
#include <memory>

// The state every part of the component shares: one record per host thread,
// created empty on the thread's first use and never cleared, so values of
// one request stay visible to the next call on that thread.
struct SessionState {
    // Objects held by the session.
    std::unique_ptr<Connection> LabDb;
    std::unique_ptr<ConnSettings> Settings;
    std::unique_ptr<Report> CurrentReport;

    // Set by the host through clsLISResultEntry.
    QString RequestNum;
    bool VerifyMode = false;
    bool EditMode = false;
    qint16 EntryMode = 0;
    QString EmployeeCode;
    QString EmployeeName;
    bool Clerk = false;
    QString SupervisorId;

    // Hospital header.
    QString HeaderTitle;
    QString HeaderCompany;
    QString HeaderAddress;

    // Log-on values for the report engine.
    QString DbUser;
    QString DbPassword;
    QString DbServer;

    RequestInfo Request;

    // Result header of the current request.
    QString Remarks;
    QDateTime LRATime;
    QDateTime SampleSubmitted;
    QDateTime ResultDate;
    QString AccessionNum;
    QString Method;

    // Hand-over between windows.
    QString SelectedSampleNum;
    bool PrintRequested = false;
    bool ReportVerified = false;
    // The results the preview shows, at their change numbers: what its
    // verification verifies.
    QString PreviewedChangeNumbers;
    QDateTime DateTimeReported;
    const QString LogbookNote; // never assigned: always empty
};

// This thread's session.
SessionState& session();

// Loads the request and patient of session().RequestNum. True when the
// database returned a row; then the record is wholly the new request's. On
// no row, and on any failure, the record is left exactly as it was.
bool LoadRequestInfo();
