#include "LabStore.h"
#include "labserver/AuditChain.h"
#include "labserver/PgConnection.h"
#include "labserver/ServerSchema.h"
#include "labserver/StoreEngine.h"
#include "platform/Clock.h"
#include "platform/DateText.h"
#include "platform/LisError.h"

#include <QSqlError>
#include <QSqlRecord>

namespace {
constexpr int kSchemaVersion = 9;
// A workstation's statements are short; one running longer holds the
// laboratory up.
constexpr int kStatementTimeoutMs = 30000;
} // namespace

LabStore::LabStore(const QString& folder)
    : m_engine(Engine::SQLite)
    , m_folder(folder)
    , m_where(folder)
    , m_impl(std::make_unique<SqliteEngine>(*this))
{
    Clock::readZoneOnce();
    opened();
}

LabStore::LabStore(const ConnectionString& server)
    : m_engine(Engine::PostgreSQL)
    , m_where(ServerAddress::classify(server.dataSource()).displayName())
    , m_impl(std::make_unique<PgEngine>(*this, server))
{
    Clock::readZoneOnce();
    opened();
}

void LabStore::opened()
{
    try {
        m_impl->open();
        loadCatalogue();
        m_sealsAudit = true;
    } catch (...) {
        // Closed, so SQLite removes the journal files it opened beside them.
        close();
        throw;
    }
}

int LabStore::schemaVersion()
{
    return kSchemaVersion;
}

int LabStore::statementTimeoutMs()
{
    return kStatementTimeoutMs;
}

LabStore::~LabStore()
{
    close();
}

void LabStore::close()
{
    if (m_impl)
        m_impl->closing();
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

void LabStore::fail(const QString& what, const QString& detail) const
{
    throw LisError(ErrNo::DbConnectionFailed,
                   detail.trimmed().isEmpty() ? what : what + QLatin1Char(' ') + detail.trimmed());
}

void LabStore::addMissingColumns()
{
    // A table made by an earlier version keeps its rows and gains the
    // columns of later ones at its end: conventional limits (version 3), the
    // checks of a result and who entered, called and acknowledged it
    // (version 5). A table not made yet is made whole by the script.
    static const QList<std::pair<QString, QStringList>> added = {
        {QStringLiteral("tbLabExamItem"),
         {QStringLiteral("CMin REAL"), QStringLiteral("CMax REAL"),
          QStringLiteral("CriticalLow REAL"), QStringLiteral("CriticalHigh REAL"),
          QStringLiteral("PlausibleLow REAL"), QStringLiteral("PlausibleHigh REAL"),
          QStringLiteral("DeltaLimit REAL"),
          QStringLiteral("DeltaPercent TEXT NOT NULL DEFAULT 'N'"),
          QStringLiteral("DeltaDays INTEGER NOT NULL DEFAULT 0")}},
        {QStringLiteral("tbLabResult"),
         {QStringLiteral("EntryBy TEXT"), QStringLiteral("EntryAt DATETIME"),
          QStringLiteral("EntrySource TEXT"), QStringLiteral("EntryInstrument TEXT"),
          QStringLiteral("EntrySample TEXT"), QStringLiteral("EntryWorkstation TEXT"),
          QStringLiteral("CriticalCalledTo TEXT"), QStringLiteral("CriticalCalledAt DATETIME"),
          QStringLiteral("CriticalCalledBy TEXT"), QStringLiteral("DeltaAcknowledgedBy TEXT"),
          QStringLiteral("DeltaAcknowledgedAt DATETIME"), QStringLiteral("CorrectedFrom TEXT")}},
        {QStringLiteral("tbLabResultAudit"),
         {QStringLiteral("Note TEXT NOT NULL DEFAULT ''"), QStringLiteral("Hash TEXT"),
          QStringLiteral("SealNo INTEGER")}},
        // Result statuses of downloads; each message's sender and verdict.
        {QStringLiteral("tbLabInstrumentDLHemaResult"),
         {QStringLiteral("ResultStatus TEXT NOT NULL DEFAULT ''"),
          QStringLiteral("Corrects INTEGER")}},
        {QStringLiteral("tbLabInstrumentMessage"),
         {QStringLiteral("Sender TEXT NOT NULL DEFAULT ''"),
          QStringLiteral("Verdict TEXT NOT NULL DEFAULT ''")}},
    };
    for (const auto& [table, columns] : added) {
        QStringList present;
        for (const QVariantList& c :
             query(QStringLiteral("PRAGMA main.table_info(%1)").arg(table)).rows)
            present.append(c.at(1).toString());
        if (present.isEmpty())
            continue;
        for (const QString& column : columns)
            if (!present.contains(column.section(QLatin1Char(' '), 0, 0), Qt::CaseInsensitive))
                exec(QStringLiteral("ALTER TABLE main.%1 ADD COLUMN %2").arg(table, column));
    }
}

void LabStore::runScript(const QString& path, const QString& schema)
{
    for (const QString& statement : ServerSchema::statements(path, schema)) {
        QSqlQuery q(m_db);
        if (!q.exec(statement))
            fail(QStringLiteral("The script %1 failed in %2.").arg(path, m_where),
                 q.lastError().text());
    }
}

void LabStore::loadCatalogue()
{
    for (const Table& t : m_impl->tables())
        m_tables.insert(t.schema + QLatin1Char('.') + t.name.toLower(), t);
}

const LabStore::Table* LabStore::table(const QString& database, const QString& name) const
{
    const QString schema = Catalogue::schemaOf(engine(), database);
    if (schema.isEmpty())
        return nullptr;
    auto it = m_tables.constFind(schema + QLatin1Char('.') + name.toLower());
    return it == m_tables.constEnd() ? nullptr : &it.value();
}

LabStore::Statement& LabStore::prepared(const QString& sql)
{
    auto it = m_statements.find(sql);
    if (it == m_statements.end()) {
        QSqlQuery q(m_db);
        q.setForwardOnly(true);
        if (!q.prepare(sql))
            commandFailed(q.lastError(), sql);
        it = m_statements.emplace(sql, Statement{std::move(q), {}, {}, {}, false}).first;
    }
    return it->second;
}

ResultSet LabStore::query(const QString& sql, const QVariantList& binds,
                          const QStringList& dateColumns)
{
    if (!m_inTransaction)
        m_conflict = false;
    return m_impl->guarded([&] { return run(sql, binds, dateColumns); });
}

ResultSet LabStore::run(const QString& sql, const QVariantList& binds,
                        const QStringList& dateColumns)
{
    // What the engine does not prepare has nothing to bind.
    if (binds.isEmpty() && !m_impl->prepares(sql))
        return direct(sql, dateColumns);
    if (m_impl->runsItself(sql))
        return m_impl->runItself(sql, binds, dateColumns);
    Statement& st = prepared(sql);
    QSqlQuery& q = st.query;
    for (int i = 0; i < binds.size(); ++i)
        q.bindValue(i, binds.at(i));
    if (!q.exec()) {
        const QSqlError e = q.lastError();
        q.finish();
        commandFailed(e, sql);
    }
    // A prepared statement's columns stay as they are: they are read once.
    if (!st.described || st.dateColumns != dateColumns) {
        describe(q.record(), sql, dateColumns, st.columns, st.dates);
        st.dateColumns = dateColumns;
        st.described = true;
    }
    ResultSet rs;
    rs.columns = st.columns;
    readRows(q, st.dates, rs);
    m_affected = q.numRowsAffected();
    q.finish();
    return rs;
}

ResultSet LabStore::direct(const QString& sql, const QStringList& dateColumns)
{
    QSqlQuery q(m_db);
    q.setForwardOnly(true);
    if (!q.exec(sql))
        commandFailed(q.lastError(), sql);
    ResultSet rs;
    QList<int> dates;
    describe(q.record(), sql, dateColumns, rs.columns, dates);
    readRows(q, dates, rs);
    m_affected = q.numRowsAffected();
    return rs;
}

void LabStore::describe(const QSqlRecord& rec, const QString& sql, const QStringList& dateColumns,
                        QStringList& columns, QList<int>& dates) const
{
    columns.clear();
    dates.clear();
    for (int i = 0; i < rec.count(); ++i) {
        columns.append(rec.fieldName(i));
        if (dateColumns.contains(rec.fieldName(i), Qt::CaseInsensitive))
            dates.append(i);
    }
    columns = m_impl->spelt(sql, columns);
}

// Values reach the procedures as the embedded laboratory hands them out:
// date-times as stored text ("yyyy-MM-dd HH:mm:ss"), so both engines give
// the same answers; the date columns asked for become general dates.
void LabStore::readRows(QSqlQuery& q, const QList<int>& dates, ResultSet& rs)
{
    const int count = int(rs.columns.size());
    while (q.next()) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i) {
            QVariant v = q.value(i);
            if (v.typeId() == QMetaType::QDateTime && !v.isNull())
                v = DateText::storage(v.toDateTime());
            else if (v.typeId() == QMetaType::QDate && !v.isNull())
                v = v.toDate().toString(Qt::ISODate);
            row.append(std::move(v));
        }
        for (int i : dates) {
            if (!row.at(i).isNull())
                row[i] = DateText::asGeneral(row.at(i).toString());
        }
        rs.rows.append(std::move(row));
    }
}

int LabStore::exec(const QString& sql, const QVariantList& binds)
{
    query(sql, binds);
    return m_affected;
}

void LabStore::begin()
{
    m_conflict = false;
    m_impl->begin();
    m_inTransaction = true;
    m_readOnce.clear();
    m_lastWrite.clear();
}

ResultSet LabStore::queryOnce(const QString& sql, const QVariantList& binds)
{
    if (!m_inTransaction)
        return query(sql, binds);
    QString key = sql;
    for (const QVariant& v : binds)
        key += QLatin1Char('\x1f') + v.toString();
    auto it = m_readOnce.constFind(key);
    if (it != m_readOnce.cend())
        return it.value();
    ResultSet rs = query(sql, binds);
    // What was missing may be added later in the transaction: asked again.
    if (!rs.rows.isEmpty())
        m_readOnce.insert(key, rs);
    return rs;
}

bool LabStore::repeatsLast(const QString& kind, const QString& key)
{
    if (!m_inTransaction)
        return false;
    auto it = m_lastWrite.find(kind);
    if (it != m_lastWrite.end() && *it == key)
        return true;
    m_lastWrite.insert(kind, key);
    return false;
}

void LabStore::lock(Lock kind, const QString& key)
{
    m_impl->lock(int(kind), key);
}

void LabStore::forgetLocks()
{
    m_impl->forgetLocks();
    m_readOnce.clear();
    m_lastWrite.clear();
}

void LabStore::commit()
{
    if (m_beforeCommit)
        m_beforeCommit();
    if (m_hasAuditContext)
        exec(m_impl->clearAuditContext());
    m_hasAuditContext = false;
    m_auditEmployee.clear();
    if (m_sealsAudit) {
        m_impl->beforeSeal();
        sealAudit();
    }
    exec(QStringLiteral("COMMIT"));
    m_inTransaction = false;
    m_readOnce.clear();
    m_lastWrite.clear();
    m_impl->ended(true);
}

void LabStore::rollback()
{
    m_hasAuditContext = false;
    m_auditEmployee.clear();
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
    m_inTransaction = false;
    m_readOnce.clear();
    m_lastWrite.clear();
    m_impl->ended(false);
}

void LabStore::setAuditContext(const QString& employee, const QString& workstation,
                               const QString& changedAt, const QString& note)
{
    // On a server each connection has a slot of its own: writers side by
    // side never share (nor wait for) one.
    exec(QStringLiteral("INSERT INTO tbLabAuditContext (Slot, Employee, Workstation, ChangedAt, "
                        "Note) VALUES (%1, ?, ?, ?, ?) ON CONFLICT (Slot) DO UPDATE SET "
                        "Employee = excluded.Employee, Workstation = excluded.Workstation, "
                        "ChangedAt = excluded.ChangedAt, Note = excluded.Note")
             .arg(m_impl->auditSlot()),
         {QStringLiteral("%1").arg(employee.trimmed()),
          QStringLiteral("%1").arg(workstation.trimmed()), changedAt,
          QStringLiteral("%1").arg(note)});
    m_hasAuditContext = true;
    m_auditEmployee = employee.trimmed();
}

void LabStore::setAuditNote(const QString& note)
{
    exec(QStringLiteral("UPDATE tbLabAuditContext SET Note = ? WHERE Slot = %1")
             .arg(m_impl->auditSlot()),
         {QStringLiteral("%1").arg(note)});
}

void LabStore::addAuditRow(const QString& requestNum, const QString& itemId, const QString& field,
                           const QString& oldValue, const QString& newValue)
{
    exec(m_impl->auditRow(), {requestNum, itemId, field, oldValue, newValue});
}

// Each audit row written since the last commit gets the hash of its own
// text and the row sealed before it, and its place in the chain, in the
// order the rows were written.
void LabStore::sealAudit()
{
    const ResultSet open =
        query(QStringLiteral("SELECT AuditID, RequestNum, ItemID, Field, OldValue, NewValue, "
                             "ChangedBy, Workstation, ChangedAt, Note FROM tbLabResultAudit "
                             "WHERE Hash IS NULL ORDER BY AuditID"));
    if (open.rows.isEmpty())
        return;
    // The chain's end; rows sealed before the seal had its place follow
    // their numbers.
    ResultSet last = query(QStringLiteral("SELECT Hash, SealNo FROM tbLabResultAudit WHERE "
                                          "SealNo IS NOT NULL ORDER BY SealNo DESC LIMIT 1"));
    if (last.rows.isEmpty())
        last = query(QStringLiteral("SELECT Hash, 0 FROM tbLabResultAudit WHERE Hash IS NOT NULL "
                                    "ORDER BY AuditID DESC LIMIT 1"));
    QString previous = last.rows.value(0).value(0).toString();
    qint64 place = last.rows.value(0).value(1).toLongLong();
    // Each statement seals up to a hundred rows, joined to their hashes and
    // places by number.
    constexpr qsizetype kRowsAStatement = 100;
    for (qsizetype first = 0; first < open.rows.size(); first += kRowsAStatement) {
        const qsizetype n = std::min(kRowsAStatement, open.rows.size() - first);
        QVariantList binds;
        for (qsizetype i = first; i < first + n; ++i) {
            previous = AuditChain::link(previous, open.rows[i]);
            binds << open.rows[i].first() << previous << ++place;
        }
        exec(QStringLiteral("UPDATE tbLabResultAudit SET Hash = v.column2, SealNo = v.column3 "
                            "FROM (VALUES %1) AS v WHERE AuditID = v.column1")
                 .arg(QStringList(n, QStringLiteral("(CAST(? AS bigint), CAST(? AS text), "
                                                    "CAST(? AS bigint))"))
                          .join(QStringLiteral(", "))),
             binds);
    }
}

void LabStore::setBusyTimeout(int ms)
{
    m_impl->setBusyTimeout(ms);
}

void LabStore::refuseWrites(bool refuse)
{
    m_impl->refuseWrites(refuse);
    m_writesRefused = refuse;
}

bool LabStore::refusesWritesInTransactions() const
{
    return m_impl->refusesWritesInTransactions();
}

bool LabStore::stopsConflicts() const
{
    return m_impl->stopsConflicts();
}

bool LabStore::readsInReadOnlySavepoints() const
{
    return m_impl->readsInReadOnlySavepoints();
}

void LabStore::commandFailed(const QSqlError& e, const QString& sql)
{
    // Kept until the next transaction: undoing a savepoint must not hide it.
    m_conflict = m_conflict || m_impl->isConflict(e);
    const QString said =
        (e.databaseText().trimmed().isEmpty() ? e.text() : e.databaseText()).trimmed();
    m_impl->explain(e, said);
    if (m_impl->isBusy(e))
        throw LisError(ErrNo::DbCommandFailed, busyMessage());
    if (m_impl->isReadOnlyRefusal(e))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("Only reading is allowed here, and this statement writes: %1")
                           .arg(sql.simplified()));
    throw LisError(ErrNo::DbCommandFailed,
                   said.isEmpty() ? QStringLiteral("The laboratory database %1 refused a command "
                                                   "without saying why: %2")
                                        .arg(m_where, sql.simplified().left(200))
                                  : said);
}

QString LabStore::busyMessage() const
{
    const int ms = m_impl->busyTimeoutInForce();
    return QStringLiteral("The laboratory database %1 is busy: another workstation has held it "
                          "for more than %2 %3. Try again; if it stays busy, let the saves on "
                          "the other workstations finish, and restart the one whose save does "
                          "not end.")
        .arg(m_where, QString::number(ms / 1000.0),
             ms == 1000 ? QStringLiteral("second") : QStringLiteral("seconds"));
}

bool LabStore::listen(const QString& channel, std::function<void(const QString&)> onNotice)
{
    return m_impl->listen(channel, std::move(onNotice));
}

void LabStore::unlisten(const QString& channel)
{
    m_impl->unlisten(channel);
}

void LabStore::notify(const QString& channel, const QString& payload)
{
    m_impl->notify(channel, payload);
}
