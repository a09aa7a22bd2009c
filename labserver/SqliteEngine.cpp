#include "labserver/AuditChain.h"
#include "labserver/LabStore.h"
#include "labserver/ServerSchema.h"
#include "labserver/StoreEngine.h"
#include "platform/LisError.h"
#include "platform/PrivateFiles.h"

#include <QAtomicInt>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <string_view>

// What a file of the laboratory turned out to be.
enum class SqliteEngine::Found { Ours, Blank, Swapped, Foreign, Newer };

namespace {
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

using Found = SqliteEngine::Found;

Found judge(quint32 applicationId, int version, bool hasOwnTable, bool hasOtherTable,
            bool hasAnyTable, int ownId, int otherId)
{
    if (applicationId == quint32(otherId))
        return Found::Swapped;
    if (applicationId != quint32(ownId) && applicationId != 0)
        return Found::Foreign;
    if (version > LabStore::schemaVersion())
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

void SqliteEngine::open()
{
    LabStore& s = m_store;
    s.m_connectionName = nextConnectionName();
    const QString labPath = QDir(s.m_folder).filePath(QStringLiteral("laboratory.db"));
    const QString patientPath = QDir(s.m_folder).filePath(QStringLiteral("patient_data.db"));
    bool creating = checkFiles(labPath, patientPath);

    s.m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), s.m_connectionName);
    s.m_db.setDatabaseName(labPath);
    s.m_db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(kBusyTimeoutMs));
    if (!s.m_db.open())
        s.fail(QStringLiteral("The laboratory database %1 cannot be opened.").arg(labPath),
               s.m_db.lastError().text());

    // The header as the database sees it (a crash may have left the newest
    // in the journal), before anything is written to either file.
    int version = 0;
    bool marked = true;
    const Found lab = judgeHalf(QStringLiteral("main"), labPath, version, marked);
    // The laboratory is read before the patient data is attached to it.
    QSqlQuery attach(s.m_db);
    attach.prepare(QStringLiteral("ATTACH DATABASE ? AS patient_data"));
    attach.addBindValue(patientPath);
    if (!attach.exec())
        s.fail(QStringLiteral("The patient database %1 cannot be opened.").arg(patientPath),
               attach.lastError().text());
    int patientVersion = 0;
    const Found patients =
        judgeHalf(QStringLiteral("patient_data"), patientPath, patientVersion, marked);
    // Both halves new, or both made: a blank one beside a laboratory is a lost half.
    if (lab != patients)
        s.fail(QStringLiteral("The laboratory in %1 is incomplete: %2 holds nothing. Restore it "
                              "from the laboratory's backup; nothing is made in its place.")
                   .arg(s.m_folder, lab == Found::Blank ? labPath : patientPath),
               QString());
    creating = creating || lab == Found::Blank;

    s.exec(QStringLiteral("PRAGMA main.journal_mode=WAL"));
    s.exec(QStringLiteral("PRAGMA patient_data.journal_mode=WAL"));
    s.exec(QStringLiteral("PRAGMA foreign_keys=ON"));
    s.exec(QStringLiteral("PRAGMA synchronous=NORMAL"));

    if (version < LabStore::schemaVersion() || creating || !marked)
        makeOrUpgrade(version < LabStore::schemaVersion() && !creating);
}

// What the folder holds, before anything opens it; true when the
// laboratory is to be made there.
bool SqliteEngine::checkFiles(const QString& labPath, const QString& patientPath)
{
    const QString& folder = m_store.m_folder;
    const QFileInfo dir(folder);
    if (!dir.exists())
        m_store.fail(QStringLiteral("The data folder %1 does not exist.").arg(folder), QString());
    if (!dir.isDir())
        m_store.fail(QStringLiteral("The data folder %1 is not a folder.").arg(folder), QString());
    for (const QString& path : {labPath, patientPath}) {
        const QFileInfo f(path);
        if (f.exists() && !f.isReadable())
            m_store.fail(QStringLiteral("The laboratory database %1 cannot be read by this user. "
                                        "Give this user read and write access to it.")
                             .arg(path),
                         QString());
    }
    const bool hasLab = QFileInfo(labPath).size() > 0;
    const bool hasPatients = QFileInfo(patientPath).size() > 0;
    if (!hasLab && !hasPatients && (QFileInfo::exists(labPath) || QFileInfo::exists(patientPath)))
        // A laboratory emptied by a fault looks like a first start cut short:
        // only whoever knows which it was may start it afresh.
        m_store.fail(
            QStringLiteral("The laboratory in %1 is empty: %2 holds nothing. If this folder "
                           "never held a laboratory (a first start that was cut short), remove "
                           "the empty files and start again; otherwise restore the laboratory "
                           "from its backup.")
                .arg(folder, QFileInfo::exists(labPath) && QFileInfo::exists(patientPath)
                                 ? QStringLiteral("%1 and %2").arg(labPath, patientPath)
                             : QFileInfo::exists(labPath) ? labPath
                                                          : patientPath),
            QString());
    refuseStrangers(labPath, patientPath, hasLab, hasPatients);
    // The database writes its journal beside itself, so even a good
    // laboratory cannot be worked in a folder this user cannot write.
    if (!dir.isWritable())
        m_store.fail(QStringLiteral("The data folder %1 is read-only: the laboratory database "
                                    "needs to write there. Give this user write access to the "
                                    "folder.")
                         .arg(folder),
                     QString());
    if (hasLab && !QFileInfo(labPath).isWritable())
        m_store.fail(QStringLiteral("The laboratory database %1 is read-only. Give this user "
                                    "write access to it.")
                         .arg(labPath),
                     QString());
    if (!hasLab) {
        // Patient data: SQLite gives the journal files the database's own
        // permissions, so files made owner-only keep the whole laboratory so.
        for (const QString& path : {labPath, patientPath})
            if (!PrivateFiles::touchFile(path))
                m_store.fail(
                    QStringLiteral("The laboratory database %1 cannot be created.").arg(path),
                    QString());
    }
    return !hasLab;
}

// Another program's file, the other half's, or half a laboratory: refused
// unopened.
void SqliteEngine::refuseStrangers(const QString& labPath, const QString& patientPath, bool hasLab,
                                   bool hasPatients)
{
    for (const auto& [path, ownId, otherId, present] :
         {std::tuple{labPath, kLaboratoryId, kPatientDataId, hasLab},
          std::tuple{patientPath, kPatientDataId, kLaboratoryId, hasPatients}}) {
        if (!present)
            continue;
        const FileHeader h = headerOf(path);
        if (!h.sqlite)
            notOurs(path,
                    QStringLiteral("is not a laboratory database (it is no database at all)"));
        if (h.applicationId == quint32(otherId))
            notOurs(path, ownId == kLaboratoryId
                              ? QStringLiteral("holds the patient data, not the laboratory")
                              : QStringLiteral("holds the laboratory, not the patient data"));
        if (h.applicationId != 0 && h.applicationId != quint32(ownId))
            notOurs(path, QStringLiteral("is not a laboratory database (another program's)"));
    }
    if (hasLab == hasPatients)
        return;
    const QString& present = hasLab ? labPath : patientPath;
    if (!hasTable(present, hasLab ? QStringLiteral("tbLabRequest") : QStringLiteral("tbPatient")))
        notOurs(present, QStringLiteral("is not a laboratory database"));
    // Half a laboratory: an empty stand-in for the missing half would
    // hide the loss and open requests without their patients.
    const QString& missing = hasLab ? patientPath : labPath;
    m_store.fail(
        QStringLiteral("The laboratory in %1 is incomplete: %2 is %3. Restore it from "
                       "the laboratory's backup; no empty database is made in its place.")
            .arg(m_store.m_folder, missing,
                 QFileInfo::exists(missing) ? QStringLiteral("empty") : QStringLiteral("missing")),
        QString());
}

// One half as the open connection reads it: its version, its mark and its
// tables; a half that is not ours is refused.
SqliteEngine::Found SqliteEngine::judgeHalf(const QString& schema, const QString& path,
                                            int& version, bool& marked)
{
    const bool main = schema == QLatin1String("main");
    const int ownId = main ? kLaboratoryId : kPatientDataId;
    const int otherId = main ? kPatientDataId : kLaboratoryId;
    const QString ownTable = main ? QStringLiteral("tbLabRequest") : QStringLiteral("tbPatient");
    const QString otherTable = main ? QStringLiteral("tbPatient") : QStringLiteral("tbLabRequest");
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
        QSqlQuery probe(m_store.m_db);
        if (!probe.exec(sql) || !probe.next())
            m_store.fail(QStringLiteral("The laboratory database %1 is damaged or is no "
                                        "laboratory database (%2). It is left as it is: restore "
                                        "the laboratory from its backup.")
                             .arg(path, probe.lastError().text()),
                         QString());
        answers << probe.value(0).toInt();
    }
    version = answers[0];
    const quint32 id = quint32(answers[1]);
    const Found found =
        judge(id, version, answers[2] > 0, answers[3] > 0, answers[4] > 0, ownId, otherId);
    switch (found) {
    case Found::Ours:
    case Found::Blank:
        break;
    case Found::Swapped:
        notOurs(path, main ? QStringLiteral("holds the patient data, not the laboratory")
                           : QStringLiteral("holds the laboratory, not the patient data"));
    case Found::Foreign:
        notOurs(path, QStringLiteral("is not a laboratory database"));
    case Found::Newer:
        m_store.fail(QStringLiteral("The laboratory database %1 was made by a newer version of "
                                    "this component (schema version %2; this one knows %3). "
                                    "Install the newer component on this workstation; the file "
                                    "is left as it is.")
                         .arg(path)
                         .arg(version)
                         .arg(LabStore::schemaVersion()),
                     QString());
    }
    marked = marked && id == quint32(ownId);
    return found;
}

// A new laboratory made whole; one of an earlier version (or unmarked)
// brought to this one, its rows kept.
void SqliteEngine::makeOrUpgrade(bool upgrading)
{
    LabStore& s = m_store;
    s.begin();
    try {
        if (upgrading)
            s.addMissingColumns();
        s.runScript(QStringLiteral(":/labserver/laboratory.sql"), QStringLiteral("main"));
        s.runScript(QStringLiteral(":/labserver/patient_data.sql"), QStringLiteral("patient_data"));
        s.exec(QStringLiteral("PRAGMA main.user_version=%1").arg(LabStore::schemaVersion()));
        s.exec(
            QStringLiteral("PRAGMA patient_data.user_version=%1").arg(LabStore::schemaVersion()));
        s.exec(QStringLiteral("PRAGMA main.application_id=%1").arg(kLaboratoryId));
        s.exec(QStringLiteral("PRAGMA patient_data.application_id=%1").arg(kPatientDataId));
        s.commit();
    } catch (...) {
        s.rollback();
        throw;
    }
}

QList<Catalogue::Table> SqliteEngine::tables()
{
    return SqliteCatalogue(m_store.m_db).tables();
}

void SqliteEngine::begin()
{
    // SQLite's own wait asks ever more rarely, in the end every 100 ms, and
    // a workstation saving steadily wins the short gaps between its
    // transactions for seconds. Asking every millisecond gets one of them.
    const int timeout = busyTimeout();
    QSqlQuery& q = m_store.prepared(QStringLiteral("BEGIN IMMEDIATE")).query;
    m_store.exec(QStringLiteral("PRAGMA busy_timeout = 0"));
    const QDeadlineTimer deadline(timeout);
    while (!q.exec()) {
        const QSqlError e = q.lastError();
        q.finish();
        if (!isBusy(e) || deadline.hasExpired()) {
            setBusyTimeout(timeout);
            m_store.commandFailed(e, QStringLiteral("BEGIN IMMEDIATE"));
        }
        QThread::usleep(1000);
    }
    q.finish();
    setBusyTimeout(timeout);
}

void SqliteEngine::ended(bool committed)
{
    if (committed)
        keepJournalsSmall();
}

QString SqliteEngine::clearAuditContext() const
{
    return QStringLiteral("DELETE FROM tbLabAuditContext");
}

QString SqliteEngine::auditRow() const
{
    return QStringLiteral("INSERT INTO tbLabResultAudit (RequestNum, ItemID, Field, OldValue, "
                          "NewValue, ChangedBy, Workstation, ChangedAt) SELECT ?, ?, ?, ?, ?, "
                          "Employee, Workstation, ChangedAt FROM tbLabAuditContext WHERE Slot = 1");
}

// Under steady load some workstation always reads, so SQLite's own
// checkpoints never reach the end of the write-ahead log and it only grows
// (85 MB in seconds with eight savers). A save that finds it large waits a
// moment for the readers and empties it; one that cannot leaves it to the next.
void SqliteEngine::keepJournalsSmall()
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
        if (QFileInfo(
                QDir(m_store.m_folder).filePath(QLatin1String(half) + QStringLiteral(".db-wal")))
                .size() > kLargestJournal)
            large << (half == std::string_view("laboratory") ? QStringLiteral("main")
                                                             : QStringLiteral("patient_data"));
    if (large.isEmpty())
        return;
    const int timeout = busyTimeout();
    QSqlQuery q(m_store.m_db);
    q.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(kCheckpointWaitMs));
    for (const QString& schema : std::as_const(large))
        q.exec(QStringLiteral("PRAGMA %1.wal_checkpoint(TRUNCATE)").arg(schema));
    q.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(timeout));
}

void SqliteEngine::setBusyTimeout(int ms)
{
    m_store.exec(QStringLiteral("PRAGMA busy_timeout = %1").arg(ms));
    m_busyTimeout = ms;
}

int SqliteEngine::busyTimeout()
{
    if (m_busyTimeout < 0)
        m_busyTimeout =
            m_store.query(QStringLiteral("PRAGMA busy_timeout")).rows.value(0).value(0).toInt();
    return m_busyTimeout;
}

// The timeout as the connection has it, not as it was meant to be set.
int SqliteEngine::busyTimeoutInForce()
{
    QSqlQuery q(m_store.m_db);
    return q.exec(QStringLiteral("PRAGMA busy_timeout")) && q.next() ? q.value(0).toInt() : 0;
}

void SqliteEngine::refuseWrites(bool refuse)
{
    m_store.exec(refuse ? QStringLiteral("PRAGMA query_only = 1")
                        : QStringLiteral("PRAGMA query_only = 0"));
}

bool SqliteEngine::isBusy(const QSqlError& e) const
{
    // The driver reports SQLite's result code; the low byte is the primary one.
    constexpr int kBusy = 5;
    return (e.nativeErrorCode().toInt() & 0xff) == kBusy;
}

bool SqliteEngine::isReadOnlyRefusal(const QSqlError& e) const
{
    constexpr int kReadOnly = 8;
    return (e.nativeErrorCode().toInt() & 0xff) == kReadOnly && m_store.m_writesRefused;
}

void SqliteEngine::explain(const QSqlError& e, const QString& said)
{
    constexpr int kIoError = 10, kCorrupt = 11, kFull = 13, kNotADatabase = 26;
    const int primary = e.nativeErrorCode().toInt() & 0xff;
    if (primary == kFull)
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The disk that holds the laboratory database in %1 is "
                                      "full (%2): nothing of this command was kept. Free "
                                      "space on that disk, then repeat it.")
                           .arg(m_store.m_folder, said));
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
                           .arg(m_store.m_folder, said));
}

// The half of the embedded laboratory whose pages fail their check; both
// when neither does on its own.
QString SqliteEngine::damagedFile() const
{
    const QDir folder(m_store.m_folder);
    QStringList damaged;
    for (const char* half : {"main", "patient_data"}) {
        QSqlQuery q(m_store.m_db);
        if (!q.exec(QStringLiteral("PRAGMA %1.quick_check(1)").arg(QLatin1String(half))) ||
            !q.next() || q.value(0).toString() != QLatin1String("ok"))
            damaged << folder.filePath(half == std::string_view("main")
                                           ? QStringLiteral("laboratory.db")
                                           : QStringLiteral("patient_data.db"));
    }
    if (damaged.isEmpty())
        damaged << folder.filePath(QStringLiteral("laboratory.db"))
                << folder.filePath(QStringLiteral("patient_data.db"));
    return damaged.join(QStringLiteral(" and "));
}
