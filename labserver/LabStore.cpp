#include "LabStore.h"
#include "DateText.h"
#include "LisError.h"
#include "PgConnection.h"
#include "PrivateFiles.h"
#include "ServerSchema.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QSqlDriver>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlRecord>
#include <QThread>

namespace {
constexpr int kSchemaVersion = 5;
constexpr int kBusyTimeoutMs = 5000;
// The one advisory lock all writers of a server's laboratory take.
constexpr int kWriteLockKey = 0x4c495357;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("lis-embedded-%1").arg(counter.fetchAndAddRelaxed(1));
}

bool isSqliteFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) && f.read(16) == QByteArray("SQLite format 3", 16);
}
} // namespace

LabStore::LabStore(const QString& folder)
    : m_engine(Engine::SQLite)
    , m_folder(folder)
    , m_where(folder)
    , m_connectionName(nextConnectionName())
{
    openEmbedded();
    loadCatalogue();
}

LabStore::LabStore(const ConnectionString& server)
    : m_engine(Engine::PostgreSQL)
    , m_where(ServerAddress::classify(server.dataSource()).displayName())
    , m_connectionName(PgConnection::open(server).connectionName())
    , m_db(QSqlDatabase::database(m_connectionName, false))
{
    try {
        // Unqualified names find both databases, as on the embedded laboratory.
        exec(QStringLiteral("SET search_path TO laboratory, patient_data"));
        setBusyTimeout(kBusyTimeoutMs);
        const int version = ServerSchema::version(m_db);
        if (version == 0)
            fail(QStringLiteral("The database %1 on %2 holds no laboratory. Make it with "
                                "\"lis-host server init\" under this workstation's settings.")
                     .arg(m_db.databaseName(), m_where),
                 QString());
        if (version != kSchemaVersion)
            fail(QStringLiteral("The laboratory database %1 on %2 has schema version %3; this "
                                "workstation expects version %4. %5")
                     .arg(m_db.databaseName(), m_where)
                     .arg(version)
                     .arg(kSchemaVersion)
                     .arg(version < kSchemaVersion
                              ? QStringLiteral("Upgrade the server's laboratory with \"lis-host "
                                               "server init\".")
                              : QStringLiteral("Install this component's newer version on this "
                                               "workstation.")),
                 QString());
        loadCatalogue();
    } catch (...) {
        m_statements.clear();
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connectionName);
        throw;
    }
}

int LabStore::schemaVersion()
{
    return kSchemaVersion;
}

void LabStore::openEmbedded()
{
    const QString& folder = m_folder;
    const QFileInfo dir(folder);
    if (!dir.exists())
        fail(QStringLiteral("The data folder %1 does not exist.").arg(folder), QString());
    if (!dir.isDir())
        fail(QStringLiteral("The data folder %1 is not a folder.").arg(folder), QString());

    const QString labPath = QDir(folder).filePath(QStringLiteral("laboratory.db"));
    const QString patientPath = QDir(folder).filePath(QStringLiteral("patient_data.db"));
    // An empty file is what an interrupted creation leaves: it holds nothing.
    const bool hasLab = QFileInfo(labPath).size() > 0;
    const bool hasPatients = QFileInfo(patientPath).size() > 0;
    if (hasLab != hasPatients) {
        const QString& present = hasLab ? labPath : patientPath;
        if (!isSqliteFile(present))
            fail(QStringLiteral("The file %1 is not a laboratory database.").arg(present),
                 QString());
        // Half a laboratory: an empty stand-in for the missing half would
        // hide the loss and open requests without their patients.
        const QString& missing = hasLab ? patientPath : labPath;
        fail(QStringLiteral("The laboratory in %1 is incomplete: %2 is %3. Restore it from the "
                            "laboratory's backup; no empty database is made in its place.")
                 .arg(folder, missing,
                      QFileInfo::exists(missing) ? QStringLiteral("empty")
                                                 : QStringLiteral("missing")),
             QString());
    }
    const bool creating = !hasLab;
    // The database writes its journal beside itself, so even a good
    // laboratory cannot be worked in a folder this user cannot write.
    if (!dir.isWritable())
        fail(QStringLiteral("The data folder %1 is read-only: the laboratory database needs to "
                            "write there. Give this user write access to the folder.")
                 .arg(folder),
             QString());
    if (!creating && !QFileInfo(labPath).isWritable())
        fail(QStringLiteral("The laboratory database %1 is read-only. Give this user write "
                            "access to it.")
                 .arg(labPath),
             QString());
    if (creating) {
        // Patient data: SQLite gives the journal files the database's own
        // permissions, so files made owner-only keep the whole laboratory so.
        for (const QString& path : {labPath, patientPath})
            if (!PrivateFiles::touchFile(path))
                fail(QStringLiteral("The laboratory database %1 cannot be created.").arg(path),
                     QString());
    }

    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    m_db.setDatabaseName(labPath);
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!m_db.open())
        fail(QStringLiteral("The laboratory database %1 cannot be opened.").arg(labPath),
             m_db.lastError().text());

    // Reading the header first tells a foreign file from a database before
    // anything is written to it.
    QSqlQuery probe(m_db);
    if (!probe.exec(QStringLiteral("PRAGMA main.user_version")) || !probe.next())
        fail(QStringLiteral("The file %1 is not a laboratory database.").arg(labPath),
             probe.lastError().text());
    const int version = probe.value(0).toInt();
    probe.finish();
    if (version > kSchemaVersion)
        fail(QStringLiteral("The laboratory database %1 was made by a newer version of this "
                            "component.")
                 .arg(labPath),
             QString());

    QSqlQuery attach(m_db);
    attach.prepare(QStringLiteral("ATTACH DATABASE ? AS patient_data"));
    attach.addBindValue(patientPath);
    if (!attach.exec())
        fail(QStringLiteral("The patient database %1 cannot be opened.").arg(patientPath),
             attach.lastError().text());
    if (!probe.exec(QStringLiteral("PRAGMA patient_data.user_version")) || !probe.next())
        fail(QStringLiteral("The file %1 is not a patient database.").arg(patientPath),
             probe.lastError().text());
    probe.finish();

    exec(QStringLiteral("PRAGMA main.journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA patient_data.journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    exec(QStringLiteral("PRAGMA synchronous=NORMAL"));

    if (version < kSchemaVersion || creating) {
        begin();
        try {
            if (version < kSchemaVersion)
                addMissingColumns();
            runScript(QStringLiteral(":/labserver/laboratory.sql"), QStringLiteral("main"));
            runScript(QStringLiteral(":/labserver/patient_data.sql"),
                      QStringLiteral("patient_data"));
            exec(QStringLiteral("PRAGMA main.user_version=%1").arg(kSchemaVersion));
            exec(QStringLiteral("PRAGMA patient_data.user_version=%1").arg(kSchemaVersion));
            commit();
        } catch (...) {
            rollback();
            throw;
        }
    }
}

LabStore::~LabStore()
{
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
    const QList<Table> tables = m_engine == Engine::SQLite
                                    ? SqliteCatalogue(m_db).tables()
                                    : PgCatalogue(m_db, ServerSchema::spelling()).tables();
    for (const Table& t : tables) {
        m_tables.insert(t.schema + QLatin1Char('.') + t.name.toLower(), t);
        if (m_engine == Engine::PostgreSQL)
            for (const QString& c : t.columns)
                m_columnSpelling.insert(c.toLower(), c);
    }
}

// The server answers unquoted names in lower case; callers get them as the
// statement wrote them (an alias, a column), else as the laboratory spells
// the column.
QStringList LabStore::spelt(const QString& sql, const QStringList& served) const
{
    QStringList names;
    for (const QString& name : served) {
        if (name != name.toLower()) {
            names.append(name); // quoted, so already as written
            continue;
        }
        // An alias wins over a column of the same name ("LRATime AS lratime").
        const QString word = QRegularExpression::escape(name) + QStringLiteral("(?![\\w\"])");
        const QRegularExpression alias(QStringLiteral("\\bAS\\s+(") + word + QLatin1Char(')'),
                                       QRegularExpression::CaseInsensitiveOption);
        const QRegularExpression anywhere(QStringLiteral("(?<![\\w\"])") + word,
                                          QRegularExpression::CaseInsensitiveOption);
        QRegularExpressionMatch m = alias.match(sql);
        if (!m.hasMatch())
            m = anywhere.match(sql);
        names.append(m.hasMatch() ? m.captured(m.lastCapturedIndex())
                                  : m_columnSpelling.value(name, name));
    }
    return names;
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
            throw LisError(ErrNo::DbCommandFailed, q.lastError().text());
        it = m_statements.emplace(sql, Statement{std::move(q), {}, {}, {}, false}).first;
    }
    return it->second;
}

ResultSet LabStore::query(const QString& sql, const QVariantList& binds,
                          const QStringList& dateColumns)
{
    // PostgreSQL prepares only queries and changes: transaction control,
    // settings and scripts go as they are. They have nothing to bind.
    if (m_engine == Engine::PostgreSQL && binds.isEmpty() && !isPreparable(sql))
        return direct(sql, dateColumns);
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

bool LabStore::isPreparable(const QString& sql)
{
    static const QRegularExpression dml(QStringLiteral("^\\s*(SELECT|WITH|INSERT|UPDATE|DELETE|VALUES)\\b"),
                                        QRegularExpression::CaseInsensitiveOption);
    return dml.match(sql).hasMatch();
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

void LabStore::describe(const QSqlRecord& rec, const QString& sql,
                        const QStringList& dateColumns, QStringList& columns,
                        QList<int>& dates) const
{
    columns.clear();
    dates.clear();
    for (int i = 0; i < rec.count(); ++i) {
        columns.append(rec.fieldName(i));
        if (dateColumns.contains(rec.fieldName(i), Qt::CaseInsensitive))
            dates.append(i);
    }
    if (m_engine == Engine::PostgreSQL)
        columns = spelt(sql, columns);
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
    if (m_engine == Engine::PostgreSQL) {
        // Read committed, with every writer behind one lock: a save sees
        // the last committed save of any workstation and is never mixed
        // with another. The wait is bounded by lock_timeout.
        exec(QStringLiteral("BEGIN ISOLATION LEVEL READ COMMITTED, READ WRITE"));
        try {
            exec(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kWriteLockKey});
        } catch (...) {
            rollback();
            throw;
        }
        return;
    }
    // SQLite's own wait asks ever more rarely, in the end every 100 ms, and
    // a workstation saving steadily wins the short gaps between its
    // transactions for seconds. Asking every millisecond gets one of them.
    const int timeout = busyTimeout();
    QSqlQuery& q = prepared(QStringLiteral("BEGIN IMMEDIATE")).query;
    exec(QStringLiteral("PRAGMA busy_timeout = 0"));
    const QDeadlineTimer deadline(timeout);
    while (!q.exec()) {
        const QSqlError e = q.lastError();
        q.finish();
        if (!isBusy(e) || deadline.hasExpired()) {
            setBusyTimeout(timeout);
            commandFailed(e, QStringLiteral("BEGIN IMMEDIATE"));
        }
        QThread::usleep(1000);
    }
    q.finish();
    setBusyTimeout(timeout);
}

void LabStore::commit()
{
    exec(QStringLiteral("COMMIT"));
}

void LabStore::rollback()
{
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
}

void LabStore::setBusyTimeout(int ms)
{
    exec(m_engine == Engine::SQLite ? QStringLiteral("PRAGMA busy_timeout = %1").arg(ms)
                                    : QStringLiteral("SET lock_timeout = %1").arg(ms));
    m_busyTimeout = ms;
}

int LabStore::busyTimeout()
{
    if (m_engine == Engine::PostgreSQL)
        return m_busyTimeout;
    if (m_busyTimeout < 0)
        m_busyTimeout = query(QStringLiteral("PRAGMA busy_timeout")).rows.value(0).value(0).toInt();
    return m_busyTimeout;
}

bool LabStore::isBusy(const QSqlError& e) const
{
    // PostgreSQL: lock not available (lock_timeout), deadlock, serialization.
    if (m_engine == Engine::PostgreSQL)
        return QStringList{QStringLiteral("55P03"), QStringLiteral("40P01"),
                           QStringLiteral("40001")}
            .contains(e.nativeErrorCode());
    // The driver reports SQLite's result code; the low byte is the primary one.
    constexpr int kBusy = 5;
    return (e.nativeErrorCode().toInt() & 0xff) == kBusy;
}

bool LabStore::isReadOnlyRefusal(const QSqlError& e) const
{
    if (m_engine == Engine::PostgreSQL)
        return e.nativeErrorCode() == QStringLiteral("25006");
    constexpr int kReadOnly = 8;
    return (e.nativeErrorCode().toInt() & 0xff) == kReadOnly && m_writesRefused;
}

void LabStore::refuseWrites(bool refuse)
{
    if (m_engine == Engine::PostgreSQL)
        exec(refuse ? QStringLiteral("SET default_transaction_read_only = on")
                    : QStringLiteral("SET default_transaction_read_only = off"));
    else
        exec(refuse ? QStringLiteral("PRAGMA query_only = 1")
                    : QStringLiteral("PRAGMA query_only = 0"));
    m_writesRefused = refuse;
}

void LabStore::commandFailed(const QSqlError& e, const QString& sql) const
{
    if (isBusy(e))
        throw LisError(ErrNo::DbCommandFailed, busyMessage());
    if (isReadOnlyRefusal(e))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("Only reading is allowed here, and this statement writes: %1")
                           .arg(sql.simplified()));
    throw LisError(ErrNo::DbCommandFailed,
                   e.databaseText().isEmpty() ? e.text() : e.databaseText());
}

QString LabStore::busyMessage() const
{
    // The timeout as the connection has it, not as it was meant to be set.
    int ms = m_busyTimeout;
    if (m_engine == Engine::SQLite) {
        QSqlQuery q(m_db);
        ms = q.exec(QStringLiteral("PRAGMA busy_timeout")) && q.next() ? q.value(0).toInt() : 0;
    }
    return QStringLiteral("The laboratory database %1 is busy: another workstation has held it "
                          "for more than %2 %3. Try again; if it stays busy, let the saves on "
                          "the other workstations finish, and restart the one whose save does "
                          "not end.")
        .arg(m_where, QString::number(ms / 1000.0),
             ms == 1000 ? QStringLiteral("second") : QStringLiteral("seconds"));
}

bool LabStore::listen(const QString& channel, std::function<void(const QString&)> onNotice)
{
    if (m_engine != Engine::PostgreSQL)
        return false;
    QSqlDriver* driver = m_db.driver();
    if (!m_noticesConnected) {
        QObject::connect(driver, &QSqlDriver::notification, driver,
                         [this](const QString& name, QSqlDriver::NotificationSource,
                                const QVariant& payload) {
                             const auto it = m_listeners.constFind(name.toLower());
                             if (it != m_listeners.constEnd() && *it)
                                 (*it)(payload.toString());
                         });
        m_noticesConnected = true;
    }
    const QString name = channel.toLower();
    if (!m_listeners.contains(name) && !driver->subscribeToNotification(name))
        fail(QStringLiteral("The laboratory on %1 cannot send notices of \"%2\".")
                 .arg(m_where, name),
             driver->lastError().text());
    m_listeners.insert(name, std::move(onNotice));
    return true;
}

void LabStore::unlisten(const QString& channel)
{
    const QString name = channel.toLower();
    if (m_listeners.remove(name) > 0 && m_db.isOpen())
        m_db.driver()->unsubscribeFromNotification(name);
}

void LabStore::notify(const QString& channel, const QString& payload)
{
    if (m_engine == Engine::PostgreSQL)
        query(QStringLiteral("SELECT pg_notify(?, ?)"), {channel.toLower(), payload});
}
