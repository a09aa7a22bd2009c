#include "LabSession.h"
#include "labserver/ProcedureRegistry.h"
#include "labserver/SqlDialect.h"
#include "platform/CommandExcerpt.h"
#include "platform/LisError.h"
#include "platform/db/ScopedTransaction.h"
#include "procedures/ProcedureSupport.h"
#include "procedures/ResultCheckSupport.h"
#include "procedures/ResultGuard.h"

namespace {
// How often a command two transactions waited for each other over is run.
constexpr int kConflictTries = 5;

[[noreturn]] void commandError(const QString& message)
{
    throw LisError(ErrNo::DbCommandFailed, message);
}

QString spelled(const ObjectName& o)
{
    if (o.database.isEmpty())
        return o.owner.isEmpty() ? o.name : o.owner + QLatin1Char('.') + o.name;
    return o.database + QLatin1Char('.') + o.owner + QLatin1Char('.') + o.name;
}

bool ownerAccepted(const QString& owner)
{
    return owner.isEmpty() || owner.compare(QStringLiteral("dbo"), Qt::CaseInsensitive) == 0;
}

QString quotedIdentifier(const QString& name)
{
    return QLatin1Char('"') + QString(name).replace(QLatin1Char('"'), QStringLiteral("\"\"")) +
           QLatin1Char('"');
}
} // namespace

LabSession::LabSession(const QString& folder)
    : LabSession(std::make_unique<LabStore>(folder))
{
}

LabSession::LabSession(std::unique_ptr<LabStore> store)
    : m_store(std::move(store))
{
    m_store->setBeforeCommit([s = m_store.get()] { ResultGuard::checkVerified(*s); });
    // Every statement outside a writer's transaction is read-only, on either
    // engine. The embedded laboratory switches only around writers: each
    // switch makes SQLite prepare every statement again, and readers are many.
    m_store->refuseWrites(true);
}

void LabSession::beginWriting()
{
    if (m_store->refusesWritesInTransactions())
        m_store->refuseWrites(false);
    try {
        m_store->begin();
    } catch (...) {
        restReadOnly();
        throw;
    }
}

// After a writer's transaction ended, however it ended; on a failure the
// first error is the one to report.
void LabSession::restReadOnly()
{
    if (!m_store->refusesWritesInTransactions())
        return;
    try {
        m_store->refuseWrites(true);
    } catch (const LisError&) {
    }
}

ResultSet LabSession::run(const QString& commandText)
{
    // On a server, writers of different requests run side by side; two that
    // come to wait for each other are told so by the server, and the one
    // it stopped runs again, as often as it takes, unseen by staff.
    for (int attempt = 1;; ++attempt) {
        try {
            ResultSet rs = runOnce(commandText);
            if (m_inTransaction && m_store->stopsConflicts())
                m_journal.append({commandText, rs});
            return rs;
        } catch (const LisError&) {
            if (!m_store->lastFailureWasConflict() || attempt == kConflictTries ||
                (m_inTransaction && !replayed()))
                throw;
        }
    }
}

// The component's transaction begun again and its commands run again; false
// when one of them answers otherwise than before, since the component went
// on from that answer (the transaction is then left for its rollback).
bool LabSession::replayed()
{
    const auto journal = m_journal;
    for (int attempt = 1;; ++attempt) {
        m_store->rollback();
        m_store->begin();
        m_journal.clear();
        try {
            for (const auto& [text, answer] : journal) {
                ResultSet rs = runOnce(text);
                if (rs.rows != answer.rows)
                    return false;
                m_journal.append({text, std::move(rs)});
            }
            return true;
        } catch (const LisError&) {
            if (!m_store->lastFailureWasConflict() || attempt == kConflictTries)
                throw;
        }
    }
}

const LabSession::Translated& LabSession::translated(const QString& commandText)
{
    auto it = m_translated.constFind(commandText);
    if (it != m_translated.constEnd())
        return *it;
    // Bounded: a client sending ever new texts does not grow the session.
    constexpr qsizetype kTexts = 2000;
    if (m_translated.size() >= kTexts)
        m_translated.clear();
    Command c = CommandParser::parse(commandText);
    Translated t = std::holds_alternative<SelectAll>(c) ? translatedSelect(std::get<SelectAll>(c))
                                                        : Translated{};
    t.command = std::move(c);
    return *m_translated.insert(commandText, std::move(t));
}

ResultSet LabSession::runOnce(const QString& commandText)
{
    const Translated& t = translated(commandText);
    if (const auto* p = std::get_if<ProcedureCall>(&t.command))
        return call(*p);
    // A save that reads its request before writing it holds the request
    // from that read on, so what it read stays true until it commits.
    if (m_inTransaction && !t.request.isEmpty())
        m_store->lock(LabStore::Lock::Request, t.request);
    ResultSet rs = m_store->query(t.sql, t.binds, t.dateColumns);
    rs.columns = t.columns; // as the laboratory spells them, on either engine
    return rs;
}

LabSession::Translated LabSession::translatedSelect(const SelectAll& s) const
{
    const LabStore::Table* t =
        ownerAccepted(s.table.owner) ? m_store->table(s.table.database, s.table.name) : nullptr;
    if (!t)
        commandError(
            QStringLiteral("Invalid object name %1.").arg(commandExcerpt(spelled(s.table))));

    QString sql = QStringLiteral("SELECT * FROM %1.%2")
                      .arg(quotedIdentifier(t->schema), quotedIdentifier(t->storedName));
    QVariantList binds;
    QString request;
    for (int i = 0; i < s.conditions.size(); ++i) {
        const Condition& c = s.conditions.at(i);
        const auto col = std::find_if(t->columns.begin(), t->columns.end(), [&](const QString& n) {
            return n.compare(c.column, Qt::CaseInsensitive) == 0;
        });
        const QString stored =
            col == t->columns.end() ? QString() : t->storedColumns.at(col - t->columns.begin());
        if (col == t->columns.end())
            commandError(QStringLiteral("Invalid column name %1.").arg(commandExcerpt(c.column)));
        // SQLite's own refusal of a longer pattern names neither column nor limit.
        constexpr int kLongestPattern = 50000; // bytes, SQLite's default
        if (c.like && c.value.toUtf8().size() > kLongestPattern)
            commandError(QStringLiteral("The LIKE pattern for column %1 is longer than %2 bytes.")
                             .arg(commandExcerpt(*col), QString::number(kLongestPattern)));
        // Text compares without case and without trailing blanks, as the
        // hospital's server does.
        sql += QLatin1String(i == 0 ? " WHERE " : " AND ") +
               (c.like ? SqlDialect::likeIgnoringCase(m_store->engine(), quotedIdentifier(stored))
                : t->caseBlindColumns.contains(*col)
                    ? SqlDialect::keyEquals(m_store->engine(), quotedIdentifier(stored))
                    : SqlDialect::equalsIgnoringCase(m_store->engine(), quotedIdentifier(stored)));
        binds.append(c.value);
        if (!c.like && col->compare(QStringLiteral("RequestNum"), Qt::CaseInsensitive) == 0)
            request = c.value;
    }
    return {SelectAll{}, sql, binds, t->dateColumns, t->columns, request};
}

ResultSet LabSession::call(const ProcedureCall& c)
{
    const ObjectName& p = c.procedure;
    const bool inLaboratory =
        p.database.isEmpty() ||
        p.database.compare(QStringLiteral("laboratory"), Qt::CaseInsensitive) == 0;
    const ProcedureDef* def =
        inLaboratory && ownerAccepted(p.owner) ? ProcedureRegistry::find(p.name) : nullptr;
    if (!def)
        commandError(
            QStringLiteral("Could not find stored procedure %1.").arg(commandExcerpt(spelled(p))));
    const int n = int(c.arguments.size());
    if (n > def->maxArguments)
        commandError(QStringLiteral("Procedure or function '%1' has too many arguments "
                                    "specified.")
                         .arg(def->name));
    if (n < def->minArguments)
        commandError(QStringLiteral("Procedure or function '%1' expects parameter %2, which was "
                                    "not supplied.")
                         .arg(def->name)
                         .arg(n + 1));

    ProcedureContext ctx(*m_store, def->name, c.arguments);
    return def->access == ProcedureAccess::Reads ? runReader(*def, ctx) : runWriter(*def, ctx);
}

// A writer holds the write lock before its first read. A transaction that
// has read cannot wait for the lock (SQLite answers busy at once when its
// snapshot may be stale); BEGIN IMMEDIATE waits up to the busy timeout.
// Inside the component's transaction the lock is held already.
ResultSet LabSession::runWriter(const ProcedureDef& def, ProcedureContext& ctx)
{
    if (m_inTransaction) {
        workFor();
        return inSavepoint(def, ctx);
    }
    beginWriting();
    try {
        workFor();
        ResultSet rs = def.body(ctx);
        m_store->commit();
        restReadOnly();
        return rs;
    } catch (...) {
        m_store->rollback();
        restReadOnly();
        throw;
    }
}

// Until a procedure names the employee, the transaction's changes are
// recorded as this workstation's.
void LabSession::workFor()
{
    if (!m_store->hasAuditContext())
        m_store->setAuditContext({}, ProcedureSupport::workstation(), ProcedureSupport::now());
}

// A reader never asks for the write lock, so it never waits for a writer
// (WAL, or PostgreSQL's snapshots); with writes refused, a writer registered
// as a reader fails at its first write instead of writing outside the lock.
ResultSet LabSession::runReader(const ProcedureDef& def, ProcedureContext& ctx)
{
    if (m_store->readsInReadOnlySavepoints()) {
        // Outside a transaction the session is read-only (see the
        // constructor). Inside the component's, the reader's savepoint is
        // made read-only and always rolled back: a reader keeps nothing, and
        // the setting goes with it.
        if (m_inTransaction) {
            m_store->exec(QStringLiteral("SAVEPOINT procedure_call"));
            const auto undo = [this] {
                m_store->forgetLocks();
                m_store->exec(QStringLiteral("ROLLBACK TO procedure_call"));
                m_store->exec(QStringLiteral("RELEASE procedure_call"));
            };
            try {
                m_store->exec(QStringLiteral("SET LOCAL transaction_read_only = on"));
                ResultSet rs = def.body(ctx);
                undo();
                return rs;
            } catch (...) {
                undo();
                throw;
            }
        }
        return def.body(ctx); // each statement on its own, read-only
    }
    if (!m_inTransaction)
        return inSavepoint(def, ctx); // writes are refused already
    m_store->refuseWrites(true);
    try {
        ResultSet rs = inSavepoint(def, ctx);
        m_store->refuseWrites(false);
        return rs;
    } catch (...) {
        m_store->refuseWrites(false);
        throw;
    }
}

// Undoes only the call's own work on failure: an enclosing transaction stays
// usable for the component's rollback.
ResultSet LabSession::inSavepoint(const ProcedureDef& def, ProcedureContext& ctx)
{
    m_store->exec(QStringLiteral("SAVEPOINT procedure_call"));
    try {
        ResultSet rs = def.body(ctx);
        m_store->exec(QStringLiteral("RELEASE procedure_call"));
        return rs;
    } catch (...) {
        m_store->forgetLocks();
        try {
            m_store->exec(QStringLiteral("ROLLBACK TO procedure_call"));
            m_store->exec(QStringLiteral("RELEASE procedure_call"));
        } catch (const LisError&) {
            // SQLite ended the transaction itself (disk full, I/O error);
            // the first error is the one to report.
            if (!m_inTransaction)
                m_store->rollback();
        }
        throw;
    }
}

void LabSession::beginTransaction()
{
    beginWriting();
    m_inTransaction = true;
    m_journal.clear();
}

void LabSession::commitTransaction()
{
    // A failed commit leaves the transaction for the caller's rollback.
    for (int attempt = 1;; ++attempt) {
        try {
            m_store->commit();
            break;
        } catch (const LisError&) {
            if (!m_store->lastFailureWasConflict() || attempt == kConflictTries || !replayed())
                throw;
        }
    }
    m_inTransaction = false;
    m_journal.clear();
    restReadOnly();
}

void LabSession::rollbackTransaction()
{
    m_inTransaction = false;
    m_journal.clear();
    m_store->rollback();
    restReadOnly();
}

bool LabSession::watch(const QString& channel, std::function<void(const QString&)> onNotice)
{
    return m_store->listen(channel, std::move(onNotice));
}

void LabSession::unwatch(const QString& channel)
{
    m_store->unlisten(channel);
}
