#include "PgCluster.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace Qt::StringLiterals;

namespace {
const QString kStateMark = u"lis-test-pg-cluster 1"_s;

// A cluster still alive when the program ends (exit() from inside a test, a
// cluster never destroyed) is stopped then, before the scratch folder goes.
std::vector<PgCluster*>& liveClusters()
{
    static std::vector<PgCluster*> live;
    return live;
}

void stopLeftovers()
{
    for (PgCluster* cluster : liveClusters())
        cluster->stop();
}

bool hasServerPrograms(const QString& dir)
{
    for (const char* program : {"initdb", "pg_ctl", "postgres"})
        if (!QFileInfo(dir + u'/' + QLatin1StringView(program)).isExecutable())
            return false;
    return true;
}

// Debian keeps the server programs off PATH, in one folder per major version.
// An initdb that is on PATH may be a link, or a local build of some other
// version than the postgres it would start, so ask pg_config where they are
// and then fall back on the newest Debian folder.
QString findServerBinDir()
{
    QStringList candidates;
    QProcess pgConfig;
    pgConfig.start(u"pg_config"_s, {u"--bindir"_s});
    if (pgConfig.waitForFinished(10000) && pgConfig.exitCode() == 0)
        candidates << QString::fromLocal8Bit(pgConfig.readAllStandardOutput()).trimmed();
    QStringList versions =
        QDir(u"/usr/lib/postgresql"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::sort(versions.begin(), versions.end(),
              [](const QString& a, const QString& b) { return a.toInt() > b.toInt(); });
    for (const QString& v : versions)
        candidates << u"/usr/lib/postgresql/%1/bin"_s.arg(v);
    for (const QString& dir : candidates)
        if (hasServerPrograms(dir))
            return dir;
    return {};
}

QString quotedIdentifier(QString name)
{
    return u'"' + name.replace(u'"', u"\"\""_s) + u'"';
}

QString madeTempDir(const QString& pattern, QString* error)
{
    QByteArray path = QFile::encodeName(pattern);
    if (mkdtemp(path.data()))
        return QFile::decodeName(path);
    *error = u"Cannot make %1: %2"_s.arg(pattern, QString::fromLocal8Bit(std::strerror(errno)));
    return {};
}
} // namespace

PgCluster::PgCluster()
{
    liveClusters().push_back(this);
    static const bool stopsAtExit = std::atexit(stopLeftovers) == 0;
    Q_UNUSED(stopsAtExit);

    m_binDir = findServerBinDir();
    if (m_binDir.isEmpty()) {
        m_missing = u"No PostgreSQL server programs (initdb, pg_ctl, postgres) were found"_s;
        return;
    }
    if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s)) {
        m_missing = u"Qt's PostgreSQL driver (QPSQL) is not installed"_s;
        return;
    }
    m_switchUser = geteuid() == 0;
    if (m_switchUser) {
        m_user = u"nobody"_s;
        m_runuser = QStandardPaths::findExecutable(u"runuser"_s);
        if (m_runuser.isEmpty())
            m_runuser = QStandardPaths::findExecutable(u"runuser"_s, {u"/usr/sbin"_s, u"/sbin"_s});
        if (m_runuser.isEmpty() || !getpwnam("nobody"))
            m_missing = u"Running as root, but runuser or the user nobody is missing"_s;
    } else if (const passwd* me = getpwuid(geteuid())) {
        m_user = QString::fromLocal8Bit(me->pw_name);
    } else {
        m_missing = u"The current user has no name"_s;
    }
}

PgCluster::~PgCluster()
{
    for (const QString& name : std::as_const(m_connections))
        QSqlDatabase::removeDatabase(name);
    stop();
    std::erase(liveClusters(), this);
}

bool PgCluster::start()
{
    if (!available() || m_started) {
        m_error = m_started ? u"The cluster was started already"_s : m_missing;
        return false;
    }
    m_started = true;
    // Socket paths are limited to about 107 bytes, so the socket gets a short
    // folder of its own whatever the scratch folder's path.
    m_socketDir = madeTempDir(u"/tmp/lispgXXXXXX"_s, &m_error);
    if (m_socketDir.isEmpty())
        return false;
    if (m_switchUser) {
        // The scratch folder is private to root; opening it to the server's
        // user would also open the test's other files, so the data folder
        // goes beside the socket instead.
        if (!giveToServerUser(m_socketDir))
            return false;
        m_dataDir = m_socketDir + u"/data"_s;
    } else {
        const QString scratch = qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath());
        m_dataRoot = madeTempDir(scratch + u"/pgdata-XXXXXX"_s, &m_error);
        if (m_dataRoot.isEmpty())
            return false;
        m_dataDir = m_dataRoot;
    }

    // No locale and no sync keep initdb near one second; the data is thrown away.
    if (!run(m_binDir + u"/initdb"_s,
             {u"--pgdata="_s + m_dataDir, u"--username="_s + m_user, u"--encoding=UTF8"_s,
              u"--no-locale"_s, u"--no-sync"_s, u"--no-instructions"_s, u"--auth-local=trust"_s,
              u"--auth-host=reject"_s}))
        return false;

    QFile conf(m_dataDir + u"/postgresql.conf"_s);
    if (!conf.open(QIODevice::Append | QIODevice::Text)) {
        m_error = u"Cannot add settings to %1: %2"_s.arg(conf.fileName(), conf.errorString());
        return false;
    }
    conf.write(u"\n# A throwaway test server: socket only, no durability.\n"
               "listen_addresses = ''\n"
               "port = %1\n"
               "unix_socket_directories = '%2'\n"
               "unix_socket_permissions = 0700\n"
               "fsync = off\n"
               "synchronous_commit = off\n"
               "full_page_writes = off\n"
               "shared_buffers = 16MB\n"
               "# Far from what the laboratory writes: dates must never depend on them.\n"
               "datestyle = 'SQL, DMY'\n"
               "timezone = 'Pacific/Kiritimati'\n"_s.arg(kPort)
                   .arg(m_socketDir)
                   .toUtf8());
    conf.close();

    const QString log = m_dataDir + u"/server.log"_s;
    if (!run(m_binDir + u"/pg_ctl"_s, {u"--pgdata="_s + m_dataDir, u"--log="_s + log, u"--wait"_s,
                                       u"--timeout=30"_s, u"--silent"_s, u"start"_s})) {
        QFile logFile(log);
        if (logFile.open(QIODevice::ReadOnly))
            m_error += u"\n"_s + QString::fromLocal8Bit(logFile.readAll());
        return false;
    }
    m_running = true;
    return true;
}

bool PgCluster::stop()
{
    if (!m_started)
        return !m_running;
    if (QFileInfo::exists(m_dataDir + u"/postmaster.pid"_s) &&
        !run(m_binDir + u"/pg_ctl"_s, {u"--pgdata="_s + m_dataDir, u"--mode=immediate"_s,
                                       u"--wait"_s, u"--silent"_s, u"stop"_s})) {
        // Left in place for a look: a server that may still run keeps its files.
        qWarning("PgCluster: %s; %s is kept", qPrintable(m_error), qPrintable(m_socketDir));
        return false;
    }
    m_running = false;
    m_started = false;
    // Both were made by mkdtemp in start(), for this cluster alone; nothing
    // a setting or the caller names is ever removed.
    if (!m_dataRoot.isEmpty())
        QDir(m_dataRoot).removeRecursively();
    if (!m_socketDir.isEmpty())
        QDir(m_socketDir).removeRecursively();
    return true;
}

bool PgCluster::restart()
{
    if (!m_running ||
        !run(m_binDir + u"/pg_ctl"_s,
             {u"--pgdata="_s + m_dataDir, u"--log="_s + m_dataDir + u"/server.log"_s,
              u"--mode=fast"_s, u"--wait"_s, u"--timeout=30"_s, u"--silent"_s, u"restart"_s}))
        return false;
    // The restart ended this object's own sessions too: each opens again when next used.
    for (const QString& name : std::as_const(m_connections))
        QSqlDatabase::database(name, false).close();
    return true;
}

bool PgCluster::createDatabase(const QString& name, const QString& templateName)
{
    QSqlDatabase db = connect(u"postgres"_s);
    QSqlQuery create(db);
    QString sql = u"CREATE DATABASE "_s + quotedIdentifier(name);
    if (!templateName.isEmpty())
        sql += u" TEMPLATE "_s + quotedIdentifier(templateName) + u" STRATEGY FILE_COPY"_s;
    if (db.isOpen() && create.exec(sql))
        return true;
    m_error = u"Cannot create database %1: %2"_s.arg(
        name, (db.isOpen() ? create.lastError() : db.lastError()).text());
    return false;
}

bool PgCluster::save(const QString& stateFile)
{
    QFile f(stateFile);
    if (!m_running || !f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        m_error = u"Cannot save the cluster's state to %1"_s.arg(stateFile);
        return false;
    }
    f.write(QStringList{kStateMark, m_socketDir, m_dataRoot, m_dataDir}.join(u'\n').toUtf8());
    return f.flush();
}

void PgCluster::release()
{
    m_started = false;
    m_running = false;
}

bool PgCluster::load(const QString& stateFile, bool owned)
{
    QFile f(stateFile);
    const QStringList lines =
        f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split(u'\n') : QStringList();
    // The folders must be ones start() makes: a state file cannot steer a
    // removal anywhere else.
    const bool sane = lines.size() == 4 && lines.at(0) == kStateMark &&
                      lines.at(1).startsWith(u"/tmp/lispg"_s) && !lines.at(1).contains(u"/.."_s) &&
                      (lines.at(2).isEmpty() || lines.at(2).contains(u"/pgdata-"_s)) &&
                      !lines.at(2).contains(u"/.."_s);
    if (!available() || !sane) {
        m_error =
            available() ? u"%1 is no cluster state this harness wrote"_s.arg(stateFile) : m_missing;
        return false;
    }
    m_socketDir = lines.at(1);
    m_dataRoot = lines.at(2);
    m_dataDir = lines.at(3);
    m_started = owned;
    m_running = owned;
    return true;
}

QSqlDatabase PgCluster::connect(const QString& database, const QString& connectionName)
{
    const QString name =
        connectionName.isEmpty() ? u"pg:%1/%2"_s.arg(m_socketDir, database) : connectionName;
    if (QSqlDatabase::contains(name))
        return QSqlDatabase::database(name);
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, name);
    m_connections << name;
    // A host that is a folder is where libpq looks for the socket.
    db.setHostName(m_socketDir);
    db.setPort(kPort);
    db.setUserName(m_user);
    db.setDatabaseName(database);
    db.open();
    return db;
}

bool PgCluster::run(const QString& program, const QStringList& arguments)
{
    QProcess p;
    if (m_switchUser) {
        p.setProgram(m_runuser);
        p.setArguments(QStringList{u"-u"_s, m_user, u"--"_s, program} + arguments);
    } else {
        p.setProgram(program);
        p.setArguments(arguments);
    }
    // The server's user may not be able to enter the test's working folder,
    // and PG* variables of the shell (PGDATA, PGPORT...) must not steer it.
    p.setWorkingDirectory(m_socketDir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys())
        if (key.startsWith(u"PG"_s))
            env.remove(key);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start();
    if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0)
        return true;
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    }
    m_error = u"%1 failed (%2): %3"_s.arg(QFileInfo(program).fileName(), p.errorString(),
                                          QString::fromLocal8Bit(p.readAll()).trimmed());
    return false;
}

bool PgCluster::giveToServerUser(const QString& path)
{
    const passwd* user = getpwnam(m_user.toLocal8Bit().constData());
    const QByteArray name = QFile::encodeName(path);
    if (user && ::chown(name.constData(), user->pw_uid, user->pw_gid) == 0 &&
        ::chmod(name.constData(), S_IRWXU) == 0)
        return true;
    m_error = u"Cannot give %1 to %2: %3"_s.arg(path, m_user,
                                                QString::fromLocal8Bit(std::strerror(errno)));
    return false;
}
