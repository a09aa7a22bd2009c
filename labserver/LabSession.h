#pragma once

#include "CommandParser.h"
#include "DbDriver.h"
#include "LabStore.h"

#include <memory>

struct ProcedureDef;
class ProcedureContext;

// A session with the laboratory database, embedded or on a server: parses
// each command text, runs the select or the stored procedure, and keeps
// every procedure whole: it either completes or writes nothing. Writing
// procedures wait for another workstation's write lock; reading ones and
// selects never wait.
class LabSession : public DbSession {
public:
    explicit LabSession(const QString& folder);
    explicit LabSession(std::unique_ptr<LabStore> store);

    ResultSet run(const QString& commandText) override;
    void beginTransaction() override;
    void commitTransaction() override;
    void rollbackTransaction() override;
    bool watch(const QString& channel, std::function<void(const QString&)> onNotice) override;
    void unwatch(const QString& channel) override;

    // The store underneath, for tools and tests that tune it (busy timeout).
    LabStore& store() { return *m_store; }

private:
    ResultSet select(const SelectAll& s);
    ResultSet call(const ProcedureCall& c);
    ResultSet runWriter(const ProcedureDef& def, ProcedureContext& ctx);
    ResultSet runReader(const ProcedureDef& def, ProcedureContext& ctx);
    ResultSet inSavepoint(const ProcedureDef& def, ProcedureContext& ctx);
    void workFor();

    std::unique_ptr<LabStore> m_store;
    bool m_inTransaction = false; // opened by beginTransaction: the write lock is held
};
