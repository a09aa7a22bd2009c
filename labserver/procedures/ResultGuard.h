#pragma once

#include <QString>

class LabStore;

// What the laboratory holds to before any result it wrote is committed,
// whichever path wrote it: who may verify, and what a verified result must
// have (a value, a critical call, an acknowledged delta, a second person
// where the laboratory asks for one).
namespace ResultGuard {
// Fails unless the employee is known and may verify (a medical
// technologist or pathologist).
void requireVerifier(LabStore& store, const QString& employee, const QString& requestNum);
// Fails unless the employee is known to the laboratory.
void requireKnownEmployee(LabStore& store, const QString& employee, const QString& what);
// True when the laboratory has results verified by someone other than the
// person who entered them.
bool separateVerifier(LabStore& store);
// Checks every result the open transaction verified; run before commit.
void checkVerified(LabStore& store);
} // namespace ResultGuard
