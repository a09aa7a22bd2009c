#include "LabStore.h"
#include "AuditChain.h"
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
#include <string_view>

namespace {
constexpr int kSchemaVersion = 8;
constexpr int kBusyTimeoutMs = 5000;
// A workstation's statements are short; one running longer holds the
// laboratory up. The client waits a little longer than the server before it
// takes the link for dead.
constexpr int kStatementTimeoutMs = 30000;
constexpr int kLinkGraceMs = 10000;
// A workstation that stops talking inside a transaction (a frozen link, a
// suspended computer) holds the write lock: the server ends its session.
constexpr int kIdleInTransactionMs = 20000;
// The advisory locks of a server's laboratory: "LIS" and the kind of
// thing locked, then the hash of its key. Sealing the audit has one of its own.
constexpr int kLockSpace = 0x4c495300;
constexpr int kSealLock = 0x4c495357;

QString nextConnectionName()
{
    static QAtomicInt counter;
    return QStringLiteral("lis-embedded-%1").arg(counter.fetchAndAddRelaxed(1));
}

// The marks in each file's header (PRAGMA application_id) that say which
// half of a laboratory it is: "LISL" and "LISP".
constexpr int kLaboratoryId = 0x4c49534c;
constexpr int kPatientDataId = 0x4c495350;

// A database file's own header: what it is before anything opens it.
struct FileHeader {
    bool sqlite = false;
    quint32 version = 0; // user_version
    quint32 applicationId = 0;
};

FileHeader headerOf(const QString& path)
{
    QFile f(path);
    const QByteArray h = f.open(QIODevice::ReadOnly) ? f.read(100) : QByteArray();
    const auto word = [&](int at) {
        return quint32(quint8(h[at])) << 24 | quint32(quint8(h[at + 1])) << 16 |
               quint32(quint8(h[at + 2])) << 8 | quint32(quint8(h[at + 3]));
    };
    if (h.size() < 100 || !h.startsWith(QByteArray("SQLite format 3", 16)))
        return {};
    return {true, word(60), word(68)};
}

// Read without writing anything, even beside it: whether a lone file of an
// unmarked build holds the table its half must have.
bool hasTable(const QString& path, const QString& table)
{
    if (headerOf(path).applicationId != 0)
        return true; // marked: ours, as checked before
    const QString name = QStringLiteral("lis-probe-%1").arg(quintptr(&path));
    bool found = true; // what cannot be read is reported as the half it is
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        const bool open = db.open();
        QSqlQuery q(db);
        if (open &&
            q.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE name = '%1' COLLATE "
                                  "NOCASE")
                       .arg(table)) &&
            q.next())
            found = q.value(0).toInt() > 0;
        q.finish();
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return found;
}

[[noreturn]] void notOurs(const QString& path, const QString& what)
{
    throw LisError(ErrNo::DbConnectionFailed,
                   QStringLiteral("The file %1 %2. It is left as it is: move it out of its "
                                  "folder and put the laboratory's own file there (from its "
                                  "backup), or name another data folder in the Server setting.")
                       .arg(path, what));
}

// What a file of the laboratory turned out to be.
enum class Found { Ours, Blank, Swapped, Foreign, Newer };

Found judge(quint32 applicationId, int version, bool hasOwnTable, bool hasOtherTable,
            bool hasAnyTable, int ownId, int otherId)
{
    if (applicationId == quint32(otherId))
        return Found::Swapped;
    if (applicationId != quint32(ownId) && applicationId != 0)
        return Found::Foreign;
    if (version > kSchemaVersion)
        return Found::Newer;
    if (applicationId == quint32(ownId))
        return Found::Ours;
    // Made before the mark: known by its version and its tables.
    if (version > 0 && hasOwnTable)
        return Found::Ours;
    if (version > 0 && hasOtherTable)
        return Found::Swapped;
    return version == 0 && !hasAnyTable ? Found::Blank : Found::Foreign;
}
} // namespace

LabStore::LabStore(const QString& folder)
    : m_engine(Engine::SQLite)
    , m_folder(folder)
    , m_where(folder)
    , m_connectionName(nextConnectionName())
{
    try {
        openEmbedded();
        loadCatalogue();
        m_sealsAudit = true;
    } catch (...) {
        // Closed, so SQLite removes the journal files it opened beside them.
        close();
        throw;
    }
}

LabStore::LabStore(const ConnectionString& server)
    : m_engine(Engine::PostgreSQL)
    , m_where(ServerAddress::classify(server.dataSource()).displayName())
    , m_connectionName(PgConnection::open(server).connectionName())
    , m_db(QSqlDatabase::database(m_connectionName, false))
    , m_server(server)
    , m_address(ServerAddress::classify(server.dataSource()).address())
    , m_link(std::make_unique<PgLink>())
{
    try {
        setUpServerSession();
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
        m_sealsAudit = true;
    } catch (...) {
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

void LabStore::setUpServerSession()
{
    // Unqualified names find both databases, as on the embedded laboratory.
    exec(QStringLiteral("SET search_path TO laboratory, patient_data"));
    setBusyTimeout(m_busyTimeout < 0 ? kBusyTimeoutMs : m_busyTimeout);
    // What the laboratory's administrator set on the database or the login wins.
    for (const auto& [name, ms] : {std::pair{"statement_timeout", kStatementTimeoutMs},
                                   std::pair{"idle_in_transaction_session_timeout",
                                             kIdleInTransactionMs}})
        query(QStringLiteral("SELECT set_config(?, ?, false) WHERE current_setting(?) = '0'"),
              {QLatin1String(name), QString::number(ms), QLatin1String(name)});
    if (m_writesRefused)
        exec(QStringLiteral("SET default_transaction_read_only = on"));
}

void LabStore::reconnect()
{
    m_statements.clear();
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
    m_noticesConnected = false;
    try {
        m_db = PgConnection::open(m_server);
    } catch (const LisError& e) {
        throw LisError(ErrNo::DbConnectionFailed, unreachable(e.description()));
    }
    m_connectionName = m_db.connectionName();
    m_lost = false;
    setUpServerSession();
    const auto listeners = std::exchange(m_listeners, {});
    for (auto it = listeners.begin(); it != listeners.end(); ++it)
        listen(it.key(), it.value());
}

QString LabStore::unreachable(const QString& why) const
{
    QString text = QStringLiteral("The laboratory server at %1 cannot be reached: %2")
                       .arg(m_address, why.trimmed().isEmpty()
                                           ? QStringLiteral("the connection was lost.")
                                           : why.trimmed());
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    if (m_inTransaction)
        text += QStringLiteral(" Nothing of the unfinished save was kept; repeat it when the "
                               "server answers.");
    return text;
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
    for (const QString& path : {labPath, patientPath}) {
        const QFileInfo f(path);
        if (f.exists() && !f.isReadable())
            fail(QStringLiteral("The laboratory database %1 cannot be read by this user. Give "
                                "this user read and write access to it.")
                     .arg(path),
                 QString());
    }
    const bool hasLab = QFileInfo(labPath).size() > 0;
    const bool hasPatients = QFileInfo(patientPath).size() > 0;
    if (!hasLab && !hasPatients &&
        (QFileInfo::exists(labPath) || QFileInfo::exists(patientPath)))
        // A laboratory emptied by a fault looks like a first start cut short:
        // only whoever knows which it was may start it afresh.
        fail(QStringLiteral("The laboratory in %1 is empty: %2 holds nothing. If this folder "
                            "never held a laboratory (a first start that was cut short), remove "
                            "the empty files and start again; otherwise restore the laboratory "
                            "from its backup.")
                 .arg(folder, QFileInfo::exists(labPath) && QFileInfo::exists(patientPath)
                                  ? QStringLiteral("%1 and %2").arg(labPath, patientPath)
                              : QFileInfo::exists(labPath) ? labPath
                                                           : patientPath),
             QString());
    for (const auto& [path, ownId, otherId, present] :
         {std::tuple{labPath, kLaboratoryId, kPatientDataId, hasLab},
          std::tuple{patientPath, kPatientDataId, kLaboratoryId, hasPatients}}) {
        if (!present)
            continue;
        const FileHeader h = headerOf(path);
        if (!h.sqlite)
            notOurs(path, QStringLiteral("is not a laboratory database (it is no database at all)"));
        // Another program's mark, or the other half's: refused unopened.
        if (h.applicationId == quint32(otherId))
            notOurs(path, ownId == kLaboratoryId
                              ? QStringLiteral("holds the patient data, not the laboratory")
                              : QStringLiteral("holds the laboratory, not the patient data"));
        if (h.applicationId != 0 && h.applicationId != quint32(ownId))
            notOurs(path, QStringLiteral("is not a laboratory database (another program's)"));
    }
    if (hasLab != hasPatients) {
        const QString& present = hasLab ? labPath : patientPath;
        if (!hasTable(present, hasLab ? QStringLiteral("tbLabRequest")
                                      : QStringLiteral("tbPatient")))
            notOurs(present, QStringLiteral("is not a laboratory database"));
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
    bool creating = !hasLab;
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

    // The header as the database sees it (a crash may have left the newest
    // in the journal), before anything is written to either file.
    int version = 0;
    bool marked = true;
    QList<Found> found;
    for (const auto& [schema, path, ownId, otherId, ownTable, otherTable] :
         {std::tuple{QStringLiteral("main"), labPath, kLaboratoryId, kPatientDataId,
                     QStringLiteral("tbLabRequest"), QStringLiteral("tbPatient")},
          std::tuple{QStringLiteral("patient_data"), patientPath, kPatientDataId, kLaboratoryId,
                     QStringLiteral("tbPatient"), QStringLiteral("tbLabRequest")}}) {
        // The laboratory is read before the patient data is attached to it.
        if (schema == QLatin1String("patient_data")) {
            QSqlQuery attach(m_db);
            attach.prepare(QStringLiteral("ATTACH DATABASE ? AS patient_data"));
            attach.addBindValue(patientPath);
            if (!attach.exec())
                fail(QStringLiteral("The patient database %1 cannot be opened.").arg(patientPath),
                     attach.lastError().text());
        }
        QList<int> answers;
        for (const QString& sql :
             {QStringLiteral("PRAGMA %1.user_version").arg(schema),
              QStringLiteral("PRAGMA %1.application_id").arg(schema),
              QStringLiteral("SELECT count(*) FROM %1.sqlite_master WHERE name = '%2' COLLATE "
                             "NOCASE")
                  .arg(schema, ownTable),
              QStringLiteral("SELECT count(*) FROM %1.sqlite_master WHERE name = '%2' COLLATE "
                             "NOCASE")
                  .arg(schema, otherTable),
              QStringLiteral("SELECT count(*) FROM %1.sqlite_master").arg(schema)}) {
            QSqlQuery probe(m_db);
            if (!probe.exec(sql) || !probe.next())
                fail(QStringLiteral("The laboratory database %1 is damaged or is no laboratory "
                                    "database (%2). It is left as it is: restore the laboratory "
                                    "from its backup.")
                         .arg(path, probe.lastError().text()),
                     QString());
            answers << probe.value(0).toInt();
        }
        const int v = answers[0];
        const quint32 id = quint32(answers[1]);
        found << judge(id, v, answers[2] > 0, answers[3] > 0, answers[4] > 0, ownId, otherId);
        switch (found.last()) {
        case Found::Ours:
        case Found::Blank:
            break;
        case Found::Swapped:
            notOurs(path, ownId == kLaboratoryId
                              ? QStringLiteral("holds the patient data, not the laboratory")
                              : QStringLiteral("holds the laboratory, not the patient data"));
        case Found::Foreign:
            notOurs(path, QStringLiteral("is not a laboratory database"));
        case Found::Newer:
            fail(QStringLiteral("The laboratory database %1 was made by a newer version of this "
                                "component (schema version %2; this one knows %3). Install the "
                                "newer component on this workstation; the file is left as it is.")
                     .arg(path)
                     .arg(v)
                     .arg(kSchemaVersion),
                 QString());
        }
        marked = marked && id == quint32(ownId);
        if (schema == QLatin1String("main"))
            version = v;
    }
    // Both halves new, or both made: a blank one beside a laboratory is a lost half.
    if (found[0] != found[1])
        fail(QStringLiteral("The laboratory in %1 is incomplete: %2 holds nothing. Restore it "
                            "from the laboratory's backup; nothing is made in its place.")
                 .arg(folder, found[0] == Found::Blank ? labPath : patientPath),
             QString());
    creating = creating || found[0] == Found::Blank;

    exec(QStringLiteral("PRAGMA main.journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA patient_data.journal_mode=WAL"));
    exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    exec(QStringLiteral("PRAGMA synchronous=NORMAL"));

    if (version < kSchemaVersion || creating || !marked) {
        begin();
        try {
            if (version < kSchemaVersion && !creating)
                addMissingColumns();
            runScript(QStringLiteral(":/labserver/laboratory.sql"), QStringLiteral("main"));
            runScript(QStringLiteral(":/labserver/patient_data.sql"),
                      QStringLiteral("patient_data"));
            exec(QStringLiteral("PRAGMA main.user_version=%1").arg(kSchemaVersion));
            exec(QStringLiteral("PRAGMA patient_data.user_version=%1").arg(kSchemaVersion));
            exec(QStringLiteral("PRAGMA main.application_id=%1").arg(kLaboratoryId));
            exec(QStringLiteral("PRAGMA patient_data.application_id=%1").arg(kPatientDataId));
            commit();
        } catch (...) {
            rollback();
            throw;
        }
    }
}

LabStore::~LabStore()
{
    close();
}

void LabStore::close()
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
    if (m_engine != Engine::PostgreSQL)
        return run(sql, binds, dateColumns);
    // Outside a transaction nothing is lost by connecting again: a server
    // restarted between two saves costs the workstation nothing.
    for (int attempt = 0;; ++attempt) {
        if (m_lost && !m_inTransaction)
            reconnect();
        m_link->arm(m_db, kStatementTimeoutMs + kLinkGraceMs);
        try {
            ResultSet rs = run(sql, binds, dateColumns);
            m_link->disarm();
            return rs;
        } catch (const LisError&) {
            m_link->disarm();
            if (!m_lost || m_inTransaction || attempt > 0)
                throw;
        }
    }
}

ResultSet LabStore::run(const QString& sql, const QVariantList& binds,
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
        // Read committed, each writer behind the locks of what it touches:
        // a save sees the last committed save of its request and is never
        // mixed with another. The waits are bounded by lock_timeout.
        m_conflict = false;
        exec(QStringLiteral("BEGIN ISOLATION LEVEL READ COMMITTED, READ WRITE"));
        m_inTransaction = true;
        m_locked.clear();
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

void LabStore::lock(Lock kind, const QString& key)
{
    if (m_engine != Engine::PostgreSQL || !m_inTransaction)
        return;
    const QString k = QString::number(int(kind)) + QLatin1Char(':') + key.trimmed().toLower();
    if (m_locked.contains(k))
        return;
    exec(QStringLiteral("SELECT pg_advisory_xact_lock(?, hashtext(?))"),
         {kLockSpace + int(kind), k});
    m_locked.insert(k);
}

void LabStore::commit()
{
    if (m_beforeCommit)
        m_beforeCommit();
    if (m_hasAuditContext)
        exec(m_engine == Engine::PostgreSQL
                 ? QStringLiteral("DELETE FROM tbLabAuditContext WHERE Slot = pg_backend_pid()")
                 : QStringLiteral("DELETE FROM tbLabAuditContext"));
    m_hasAuditContext = false;
    m_auditEmployee.clear();
    if (m_sealsAudit) {
        // Writers run side by side on a server and commit in another order
        // than they numbered their audit rows: sealing takes turns, under a
        // lock of its own held until COMMIT, and the chain follows the order
        // of sealing, so no row is ever sealed before one it follows.
        if (m_engine == Engine::PostgreSQL)
            exec(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSealLock});
        sealAudit();
    }
    exec(QStringLiteral("COMMIT"));
    m_inTransaction = false;
    m_locked.clear();
    if (m_engine == Engine::SQLite)
        keepJournalsSmall();
}

// Under steady load some workstation always reads, so SQLite's own
// checkpoints never reach the end of the write-ahead log and it only grows
// (85 MB in seconds with eight savers). A save that finds it large waits a
// moment for the readers and empties it; one that cannot leaves it to the next.
void LabStore::keepJournalsSmall()
{
    constexpr qint64 kLargestJournal = 4 << 20;
    constexpr int kCheckpointWaitMs = 200;
    // Looked at twice a second at most: a commit is a fraction of a
    // millisecond, the look at both files' sizes a good part of that.
    constexpr qint64 kLookEveryMs = 500;
    if (m_journalsLooked.isValid() && m_journalsLooked.elapsed() < kLookEveryMs)
        return;
    m_journalsLooked.start();
    QStringList large;
    for (const char* half : {"laboratory", "patient_data"})
        if (QFileInfo(QDir(m_folder).filePath(QLatin1String(half) + QStringLiteral(".db-wal")))
                .size() > kLargestJournal)
            large << (half == std::string_view("laboratory") ? QStringLiteral("main")
                                                             : QStringLiteral("patient_data"));
    if (large.isEmpty())
        return;
    const int timeout = busyTimeout();
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(kCheckpointWaitMs));
    for (const QString& schema : std::as_const(large))
        q.exec(QStringLiteral("PRAGMA %1.wal_checkpoint(TRUNCATE)").arg(schema));
    q.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(timeout));
}

void LabStore::rollback()
{
    m_hasAuditContext = false;
    m_auditEmployee.clear();
    QSqlQuery q(m_db);
    q.exec(QStringLiteral("ROLLBACK"));
    m_inTransaction = false;
    m_locked.clear();
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
             .arg(m_engine == Engine::PostgreSQL ? QStringLiteral("pg_backend_pid()")
                                                 : QStringLiteral("1")),
         {QStringLiteral("%1").arg(employee.trimmed()),
          QStringLiteral("%1").arg(workstation.trimmed()), changedAt,
          QStringLiteral("%1").arg(note)});
    m_hasAuditContext = true;
    m_auditEmployee = employee.trimmed();
}

void LabStore::setAuditNote(const QString& note)
{
    exec(QStringLiteral("UPDATE tbLabAuditContext SET Note = ? WHERE Slot = %1")
             .arg(m_engine == Engine::PostgreSQL ? QStringLiteral("pg_backend_pid()")
                                                 : QStringLiteral("1")),
         {QStringLiteral("%1").arg(note)});
}

// Each audit row written since the last commit gets the hash of its own
// text and the row sealed before it, and its place in the chain, in the
// order the rows were written; a few dozen rows to a statement.
void LabStore::sealAudit()
{
    const ResultSet open = query(
        QStringLiteral("SELECT AuditID, RequestNum, ItemID, Field, OldValue, NewValue, "
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
    constexpr qsizetype kRowsAStatement = 32;
    for (qsizetype first = 0; first < open.rows.size(); first += kRowsAStatement) {
        const qsizetype n = std::min(kRowsAStatement, open.rows.size() - first);
        QVariantList hashes, places, ids;
        for (qsizetype i = first; i < first + n; ++i) {
            previous = AuditChain::link(previous, open.rows[i]);
            hashes << open.rows[i].first() << previous;
            places << open.rows[i].first() << ++place;
            ids << open.rows[i].first();
        }
        const QString cases =
            QStringList(n, QStringLiteral("WHEN ? THEN ?")).join(QLatin1Char(' '));
        exec(QStringLiteral("UPDATE tbLabResultAudit SET Hash = CASE AuditID %1 END, SealNo = "
                            "CAST(CASE AuditID %1 END AS bigint) WHERE AuditID IN (%2)")
                 .arg(cases, QStringList(n, QStringLiteral("?")).join(QStringLiteral(", "))),
             hashes + places + ids);
    }
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

void LabStore::commandFailed(const QSqlError& e, const QString& sql)
{
    // Kept until the next transaction: undoing a savepoint must not hide it.
    m_conflict = m_conflict || (m_engine == Engine::PostgreSQL &&
                                (e.nativeErrorCode() == QLatin1String("40P01") ||
                                 e.nativeErrorCode() == QLatin1String("40001")));
    const QString said = (e.databaseText().trimmed().isEmpty() ? e.text() : e.databaseText())
                             .trimmed();
    if (m_engine == Engine::PostgreSQL) {
        if (m_link->expired()) {
            m_lost = true;
            throw LisError(ErrNo::DbConnectionFailed,
                           unreachable(QStringLiteral("it did not answer for %1 seconds, so the "
                                                      "network link to it is taken for broken.")
                                           .arg((kStatementTimeoutMs + kLinkGraceMs) / 1000)));
        }
        // The server's farewell (shut down, restarted, the session ended) may
        // arrive before libpq has seen the connection close.
        const QString state = e.nativeErrorCode();
        if (PgLink::isLost(m_db) || state.startsWith(QStringLiteral("08")) ||
            state.startsWith(QStringLiteral("57P0")) || state == QStringLiteral("25P03")) {
            m_lost = true;
            throw LisError(ErrNo::DbConnectionFailed, unreachable(said.section(QLatin1Char('\n'), 0, 0)));
        }
        // query_canceled: the statement ran into statement_timeout.
        if (e.nativeErrorCode() == QStringLiteral("57014"))
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The laboratory server at %1 stopped a command that "
                                          "took longer than %2 seconds; nothing of it was kept. "
                                          "Try again; if it happens again, tell the "
                                          "laboratory's administrator.")
                               .arg(m_address)
                               .arg(kStatementTimeoutMs / 1000));
    }
    if (m_engine == Engine::SQLite) {
        constexpr int kIoError = 10, kCorrupt = 11, kFull = 13, kNotADatabase = 26;
        const int primary = e.nativeErrorCode().toInt() & 0xff;
        if (primary == kFull)
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The disk that holds the laboratory database in %1 is "
                                          "full (%2): nothing of this command was kept. Free "
                                          "space on that disk, then repeat it.")
                               .arg(m_folder, said));
        if (primary == kCorrupt || primary == kNotADatabase)
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The laboratory database %1 is damaged (%2): nothing "
                                          "of this command was kept. Stop the workstations that "
                                          "use it and restore the laboratory from its backup.")
                               .arg(damagedFile(), said));
        if (primary == kIoError)
            throw LisError(ErrNo::DbCommandFailed,
                           QStringLiteral("The laboratory database in %1 cannot be read or "
                                          "written (%2): nothing of this command was kept. "
                                          "Check the disk and the folder, then repeat it.")
                               .arg(m_folder, said));
    }
    if (isBusy(e))
        throw LisError(ErrNo::DbCommandFailed, busyMessage());
    if (isReadOnlyRefusal(e))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("Only reading is allowed here, and this statement writes: %1")
                           .arg(sql.simplified()));
    throw LisError(ErrNo::DbCommandFailed,
                   said.isEmpty() ? QStringLiteral("The laboratory database %1 refused a command "
                                                   "without saying why: %2")
                                        .arg(m_where, sql.simplified().left(200))
                                  : said);
}

// The half of the embedded laboratory whose pages fail their check; both
// when neither does on its own.
QString LabStore::damagedFile() const
{
    QStringList damaged;
    for (const char* half : {"main", "patient_data"}) {
        QSqlQuery q(m_db);
        if (!q.exec(QStringLiteral("PRAGMA %1.quick_check(1)").arg(QLatin1String(half))) ||
            !q.next() || q.value(0).toString() != QLatin1String("ok"))
            damaged << QDir(m_folder).filePath(half == std::string_view("main")
                                                   ? QStringLiteral("laboratory.db")
                                                   : QStringLiteral("patient_data.db"));
    }
    if (damaged.isEmpty())
        damaged << QDir(m_folder).filePath(QStringLiteral("laboratory.db"))
                << QDir(m_folder).filePath(QStringLiteral("patient_data.db"));
    return damaged.join(QStringLiteral(" and "));
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
