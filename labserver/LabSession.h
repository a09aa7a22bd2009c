#pragma once

#include "labserver/CommandParser.h"
#include "labserver/LabStore.h"
#include "platform/db/DbDriver.h"

#include <QHash>
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
    // A command text as the laboratory runs it: texts repeat constantly, so
    // each distinct one is parsed and translated once.
    struct Translated {
        Command command;
        QString sql; // a select's statement, its values bound in order
        QVariantList binds;
        QStringList dateColumns;
        QStringList columns;
        QString request; // the request a select in a transaction reads
    };
    const Translated& translated(const QString& commandText);
    ResultSet runOnce(const QString& commandText);
    bool replayed();
    Translated translatedSelect(const SelectAll& s) const;
    ResultSet call(const ProcedureCall& c);
    ResultSet runWriter(const ProcedureDef& def, ProcedureContext& ctx);
    ResultSet runReader(const ProcedureDef& def, ProcedureContext& ctx);
    ResultSet inSavepoint(const ProcedureDef& def, ProcedureContext& ctx);
    void workFor();
    void beginWriting();
    void restReadOnly();

    std::unique_ptr<LabStore> m_store;
    bool m_inTransaction = false; // opened by beginTransaction
    QHash<QString, Translated> m_translated;
    // The component's transaction so far, run again as it was when two
    // transactions waited for each other: each command and what it answered.
    QList<std::pair<QString, ResultSet>> m_journal;
};
