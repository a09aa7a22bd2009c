#pragma once

#include <QString>

class LisError;

// Where a failure stopped the user, for what to say they can do next.
enum class FailedStep {
    Save,   // nothing was stored; every value is still on the screen
    Verify, // nothing was verified; the report is still open
    Command // any other button or key of a result window
};

// The advice under the message of a failure: what became of the request's
// values and what to do next, told apart by what the failure was (another
// workstation holding the database, a database this user may not write, a
// value the laboratory refused, anything else).
QString failureAdvice(const LisError& e, FailedStep step, const QString& request);
