#pragma once

#include "CommandParser.h"
#include "DbDriver.h"
#include "LabStore.h"

// A session with the embedded laboratory database: parses each command text,
// runs the select or the stored procedure, and keeps every procedure whole:
// it either completes or writes nothing.
class EmbeddedSession : public DbSession {
public:
    explicit EmbeddedSession(const QString& folder);

    ResultSet run(const QString& commandText) override;
    void beginTransaction() override;
    void commitTransaction() override;
    void rollbackTransaction() override;

private:
    ResultSet select(const SelectAll& s);
    ResultSet call(const ProcedureCall& c);

    LabStore m_store;
};
