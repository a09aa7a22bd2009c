#pragma once

#include <QString>
#include <QVariantList>

// The chain that makes the audit trail tamper-evident: each row's hash
// covers its own columns and the hash of the row before it, so a row
// changed, removed or put in between breaks every hash after it.
namespace AuditChain {
// row: AuditID, RequestNum, ItemID, Field, OldValue, NewValue, ChangedBy,
// Workstation, ChangedAt (as stored: text, or a date-time), Note.
QString link(const QString& previousHash, const QVariantList& row);
} // namespace AuditChain
