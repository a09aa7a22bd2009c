#pragma once

#include <QDateTime>
#include <QHash>
#include <QStringList>
#include <QString>
#include <functional>
#include <memory>

// The saved result header, verification, and picking an instrument sample.

// Reads the saved result header of session().RequestNum into the session;
// without a saved header nothing changes. The saved entry mode is taken
// over only when asked.
void LoadResultHeader(bool withEntryMode = true);
// Verifies the request's results when the request has a logbook entry and
// none of them changed since the preview showed them (the numbers
// PreviewedChangeNumbers holds); says so when results the verifier entered
// wait for another technologist.
bool VerifyRequestResults();

class Connection;
// Verification, as both the preview and the normal-values save make it: a
// request is verified only once it has a logbook entry.
bool RequestLogged(Connection& db, const QString& requestNum);
// Verifies the request's results; returns the exams the verifier entered,
// which wait for another technologist.
QStringList VerifyResults(Connection& db, const QString& requestNum, const QString& employee);
// Each saved result of a request with its change number (item in lower
// case -> number), as the laboratory hands them out.
QHash<QString, QString> ResultChangeNumbers(Connection& db, const QString& requestNum);
// "ITEM:N;ITEM:N" of the items at the numbers read (0: not saved then).
QString ChangeNumberList(const QHash<QString, QString>& numbers, const QStringList& items);
// Says so and returns false when the host gave no employee code: nothing is
// saved or verified without knowing who did it. The action is "saved" or
// "verified".
bool EmployeeCodeGiven(const QString& action);

// The sample search dialog as PickSampleNumber drives it.
class SampleSearchDialog {
public:
    virtual ~SampleSearchDialog();
    virtual void set_wResultDate(const QString& value) = 0;
    virtual void set_wInstrumentID(const QString& value) = 0;
    virtual void set_wSearchString(const QString& value) = 0;
    // Shows the dialog modally. When it finds nothing it closes itself
    // while loading, which is error 364 here.
    virtual void showModal() = 0;
};

// The windows library installs how the one shared dialog is made.
void installSampleSearchDialog(std::function<std::unique_ptr<SampleSearchDialog>()> make);
// Destroys this thread's dialog, if one was made: a window must never
// outlive the application object, which a thread-local would.
void releaseSampleSearchDialog();

// How a sample search ended.
enum class SampleSearchEnd { Picked, Cancelled, NothingFound, Failed };

// Shows the sample search and returns the picked "sample|patient" text, or
// empty text. Never fails: no samples and other failures are told to the
// user (database failures, which carry negative numbers, silently). How
// the search ended goes to *end when given: the window asks its next
// question only as far as it is true.
QString PickSampleNumber(const QDateTime& SampleDate, const QString& InstrumentId,
                         const QString& InstrumentName, const QString& SearchString,
                         SampleSearchEnd* end = nullptr);
