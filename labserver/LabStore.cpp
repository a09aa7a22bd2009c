#include "LabStore.h"
#include "DateText.h"
#include "LisError.h"
#include "PrivateFiles.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlRecord>
#include <QThread>

namespace {
constexpr int kSchemaVersion = 3;

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
    : m_folder(folder)
    , m_connectionName(nextConnectionName())
{
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
    m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
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
            if (version < 3)
                addConventionalLimits();
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
    loadCatalogue();
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

void LabStore::addConventionalLimits()
{
    // Version 3 gives exam items conventional limits of their own; a table
    // made before keeps its rows and gains the columns at its end.
    QStringList columns;
    for (const QVariantList& c :
         query(QStringLiteral("PRAGMA main.table_info(tbLabExamItem)")).rows)
        columns.append(c.at(1).toString());
    if (columns.isEmpty())
        return; // no table yet: the script makes it whole
    for (const QString& name : {QStringLiteral("CMin"), QStringLiteral("CMax")})
        if (!columns.contains(name, Qt::CaseInsensitive))
            exec(QStringLiteral("ALTER TABLE main.tbLabExamItem ADD COLUMN %1 REAL").arg(name));
}

void LabStore::runScript(const QString& path, const QString& schema)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        fail(QStringLiteral("The script %1 cannot be read.").arg(path), f.errorString());
    QString script;
    for (const QString& line : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n')))
        if (!line.trimmed().startsWith(QStringLiteral("--")))
            script += line + QLatin1Char('\n');
    for (const QString& part : script.split(QStringLiteral(";\n"))) {
        QString statement = part.trimmed();
        if (statement.isEmpty())
            continue;
        if (!schema.isEmpty()) {
            statement.replace(QStringLiteral("CREATE TABLE IF NOT EXISTS "),
                              QStringLiteral("CREATE TABLE IF NOT EXISTS %1.").arg(schema));
            statement.replace(QStringLiteral("CREATE INDEX IF NOT EXISTS "),
                              QStringLiteral("CREATE INDEX IF NOT EXISTS %1.").arg(schema));
        }
        QSqlQuery q(m_db);
        if (!q.exec(statement))
            fail(QStringLiteral("The script %1 failed in %2.").arg(path, m_folder),
                 q.lastError().text());
    }
}

void LabStore::loadCatalogue()
{
    for (const Table& t : SqliteCatalogue(m_db).tables())
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
            throw LisError(ErrNo::DbCommandFailed, q.lastError().text());
        it = m_statements.emplace(sql, Statement{std::move(q), {}, {}, {}, false}).first;
    }
    return it->second;
}

ResultSet LabStore::query(const QString& sql, const QVariantList& binds,
                          const QStringList& dateColumns)
{
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
        const QSqlRecord rec = q.record();
        st.columns.clear();
        st.dates.clear();
        for (int i = 0; i < rec.count(); ++i) {
            st.columns.append(rec.fieldName(i));
            if (dateColumns.contains(rec.fieldName(i), Qt::CaseInsensitive))
                st.dates.append(i);
        }
        st.dateColumns = dateColumns;
        st.described = true;
    }
    ResultSet rs;
    rs.columns = st.columns;
    const int count = int(st.columns.size());
    while (q.next()) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i)
            row.append(q.value(i));
        for (int i : st.dates) {
            if (!row.at(i).isNull())
                row[i] = DateText::asGeneral(row.at(i).toString());
        }
        rs.rows.append(std::move(row));
    }
    q.finish();
    return rs;
}

void LabStore::exec(const QString& sql, const QVariantList& binds)
{
    query(sql, binds);
}

void LabStore::begin()
{
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
    exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms));
    m_busyTimeout = ms;
}

int LabStore::busyTimeout()
{
    if (m_busyTimeout < 0)
        m_busyTimeout = query(QStringLiteral("PRAGMA busy_timeout")).rows.value(0).value(0).toInt();
    return m_busyTimeout;
}

bool LabStore::isBusy(const QSqlError& e)
{
    // The driver reports SQLite's result code; the low byte is the primary one.
    constexpr int kBusy = 5;
    return (e.nativeErrorCode().toInt() & 0xff) == kBusy;
}

void LabStore::refuseWrites(bool refuse)
{
    exec(refuse ? QStringLiteral("PRAGMA query_only = 1")
                : QStringLiteral("PRAGMA query_only = 0"));
    m_writesRefused = refuse;
}

void LabStore::commandFailed(const QSqlError& e, const QString& sql) const
{
    constexpr int kReadOnly = 8;
    if (isBusy(e))
        throw LisError(ErrNo::DbCommandFailed, busyMessage());
    if ((e.nativeErrorCode().toInt() & 0xff) == kReadOnly && m_writesRefused)
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("Only reading is allowed here, and this statement writes: %1")
                           .arg(sql.simplified()));
    throw LisError(ErrNo::DbCommandFailed,
                   e.databaseText().isEmpty() ? e.text() : e.databaseText());
}

QString LabStore::busyMessage() const
{
    // The timeout as the connection has it, not as it was meant to be set.
    QSqlQuery q(m_db);
    const int ms =
        q.exec(QStringLiteral("PRAGMA busy_timeout")) && q.next() ? q.value(0).toInt() : 0;
    return QStringLiteral("The laboratory database %1 is busy: another workstation has held it "
                          "for more than %2 %3. Try again; if it stays busy, let the saves on "
                          "the other workstations finish, and restart the one whose save does "
                          "not end.")
        .arg(m_folder, QString::number(ms / 1000.0),
             ms == 1000 ? QStringLiteral("second") : QStringLiteral("seconds"));
}
