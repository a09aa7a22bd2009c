#pragma once

#include <QString>

class LabStore;

// Copies an embedded laboratory into a laboratory on a PostgreSQL server,
// for a laboratory that outgrows one workstation. The folder is only read.
// Everything goes in one transaction, into a laboratory that holds no
// requests and no patients yet, so two laboratories' records are never
// mixed; any failure leaves the server as it was, with a message naming the
// table and row.
namespace ServerImport {
struct Summary {
    int tables = 0;
    qint64 rows = 0;
};

Summary run(const QString& folder, LabStore& server);
} // namespace ServerImport
