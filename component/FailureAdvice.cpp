#include "FailureAdvice.h"
#include "platform/LisError.h"

namespace {
enum class Failure { Busy, ReadOnly, Unreachable, Refused, Other };

// The component knows the laboratory only by its messages: a lock held
// too long is "busy" (SQLite's own word is "locked"), files this user
// cannot write are "read-only" ("readonly"), and a procedure's refusal
// reads "Procedure Name: ...".
Failure failureOf(const LisError& e)
{
    const QString& d = e.description();
    if (e.number() >= 0)
        return Failure::Other;
    if (d.contains(QLatin1String("busy"), Qt::CaseInsensitive) ||
        d.contains(QLatin1String("locked"), Qt::CaseInsensitive))
        return Failure::Busy;
    if (d.contains(QLatin1String("read-only"), Qt::CaseInsensitive) ||
        d.contains(QLatin1String("readonly"), Qt::CaseInsensitive))
        return Failure::ReadOnly;
    if (e.number() == ErrNo::DbConnectionFailed)
        return Failure::Unreachable;
    if (d.startsWith(QLatin1String("Procedure ")))
        return Failure::Refused;
    return Failure::Other;
}
} // namespace

QString failureAdvice(const LisError& e, FailedStep step, const QString& request)
{
    const QString req =
        request.trimmed().isEmpty() ? QStringLiteral("this request") : request.trimmed();
    QString state;
    QString again;
    switch (step) {
    case FailedStep::Save:
        state = QStringLiteral("Nothing of %1 was stored; every value is still on the screen.");
        again = QStringLiteral("save again");
        break;
    case FailedStep::Verify:
        state = QStringLiteral("The results of %1 were not verified; the report is still open.");
        again = QStringLiteral("verify again");
        break;
    case FailedStep::Command:
        state = QStringLiteral("The window of %1 and every value on it stay as they were.");
        again = QStringLiteral("try again");
        break;
    }
    QString next;
    switch (failureOf(e)) {
    case Failure::Busy:
        next = QStringLiteral("Another workstation is saving to the laboratory database: wait a "
                              "moment and %1.");
        break;
    case Failure::ReadOnly:
        next = QStringLiteral("This user may not write to the laboratory database: ask the "
                              "system administrator for write access, then %1.");
        break;
    case Failure::Unreachable:
        next = QStringLiteral("The laboratory database cannot be reached: check the network and "
                              "the Server setting with the system administrator, then %1.");
        break;
    case Failure::Refused:
        next = QStringLiteral("The laboratory database refused what was sent: correct the value "
                              "the message names and %1; if it names nothing on the screen, "
                              "give the message to the system administrator.");
        break;
    case Failure::Other:
        next = QStringLiteral("Correct what the message names, if anything, and %1; if the same "
                              "error comes back, give the message to the system administrator.");
        break;
    }
    return state.arg(req) + QLatin1Char(' ') + next.arg(again);
}
