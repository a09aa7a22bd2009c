#include "TestDatabase.h"
#include "labserver/EmbeddedDriver.h"
#include "labserver/LabStore.h"
#include "labserver/PgConnection.h"
#include "platform/SettingsStore.h"
#include "platform/db/ConnectionString.h"
#include "tests/support/Files.h"
#include "tests/support/PgCluster.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtGlobal>
#include <atomic>

using namespace Qt::StringLiterals;

namespace {
QString stateFile()
{
    return qEnvironmentVariable("LIS_TEST_PG_STATE");
}

// Making a database on the server takes half a second, emptying one a few
// milliseconds: a test program's databases are kept for its next tests.
QStringList emptiedDatabases;

void empty(LabStore& store)
{
    // DELETE beats TRUNCATE on tables this small; the keys restart at 1 as
    // on a new laboratory.
    const ResultSet tables = store.query(
        u"SELECT string_agg('DELETE FROM ' || quote_ident(table_schema) || '.' || "
        u"quote_ident(table_name), '; ') FROM information_schema.tables "
        u"WHERE table_schema IN ('laboratory', 'patient_data') AND table_type = 'BASE TABLE' "
        u"AND table_name <> 'tbschemaversion'"_s);
    const ResultSet sequences = store.query(
        u"SELECT string_agg('SELECT setval(' || quote_literal(quote_ident(sequence_schema) || "
        u"'.' || quote_ident(sequence_name)) || ', 1, false)', '; ') "
        u"FROM information_schema.sequences "
        u"WHERE sequence_schema IN ('laboratory', 'patient_data')"_s);
    store.exec(u"SET session_replication_role = replica; "_s +
               tables.rows.value(0).value(0).toString() + u"; "_s +
               sequences.rows.value(0).value(0).toString() +
               u"; SET session_replication_role = DEFAULT"_s);
}
} // namespace

Engine TestDatabase::engine()
{
    return qEnvironmentVariable("LIS_TEST_ENGINE") == u"postgresql"_s ? Engine::PostgreSQL
                                                                      : Engine::SQLite;
}

QString TestDatabase::unavailable()
{
    if (engine() == Engine::SQLite)
        return {};
    const QStringList lines = QString::fromUtf8(fileBytes(stateFile())).split(u'\n');
    if (lines.value(0).isEmpty())
        return u"No PostgreSQL test server was started for this run (LIS_TEST_PG_STATE)"_s;
    if (lines.value(0) == u"lis-test-pg-unavailable"_s)
        return u"No PostgreSQL for this run: "_s + lines.value(1);
    return {};
}

TestDatabase::TestDatabase()
    : m_dir(qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath()) +
            QStringLiteral("/lab-XXXXXX"))
    , m_folder(m_dir.path())
    , m_server(m_folder)
{
    registerLabDrivers();
    if (engine() == Engine::SQLite) {
        m_store = std::make_unique<LabStore>(m_folder);
        return;
    }
    if (const QString why = unavailable(); !why.isEmpty())
        qFatal("%s", qPrintable(why));
    m_cluster = std::make_unique<PgCluster>();
    if (!m_cluster->load(stateFile(), false))
        qFatal("%s", qPrintable(m_cluster->reason()));
    static std::atomic<int> serial{0};
    const bool reused = !emptiedDatabases.isEmpty();
    m_database = reused ? emptiedDatabases.takeLast()
                        : u"lab_%1_%2"_s.arg(QCoreApplication::applicationPid()).arg(++serial);
    if (!reused && !m_cluster->createDatabase(m_database, u"lis_template"_s))
        qFatal("%s", qPrintable(m_cluster->reason()));
    m_server = u"postgresql:///%1?host=%2&port=%3&user=%4"_s.arg(m_database, m_cluster->socketDir())
                   .arg(m_cluster->port())
                   .arg(m_cluster->superuser());
    const ConnectionString cs =
        ConnectionString::parse(u"Data Source="_s + ConnectionString::quoteValue(m_server));
    m_store = std::make_unique<LabStore>(cs);
    if (reused)
        empty(*m_store);
}

TestDatabase::~TestDatabase()
{
    m_store.reset();
    // The run's server goes with all its databases at the end of the run.
    if (m_cluster)
        emptiedDatabases.append(m_database);
}

QString TestDatabase::connectionString() const
{
    return u"Initial Catalog=LABORATORY;Data Source="_s + ConnectionString::quoteValue(m_server);
}

void TestDatabase::load(const QString& fixture)
{
    m_store->runScript(QStringLiteral(LIS_FIXTURE_DIR "/") + fixture + QStringLiteral(".sql"));
}

void TestDatabase::exec(const QString& sql)
{
    m_store->exec(sql);
}

ResultSet TestDatabase::query(const QString& sql)
{
    return m_store->query(sql);
}

void TestDatabase::useForComponent()
{
    SettingsStore::set(QStringLiteral("TARVIK Current User"), QStringLiteral("Connection"),
                       QStringLiteral("Server"), m_server);
    qputenv("LIS_TRACE_COMMANDS", traceFile().toLocal8Bit());
    clearTrace();
}

QStringList TestDatabase::trace() const
{
    return QString::fromUtf8(fileBytes(traceFile())).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestDatabase::clearTrace()
{
    // Truncated, not removed: an open connection keeps appending to it.
    QFile(traceFile()).open(QIODevice::WriteOnly | QIODevice::Truncate);
}
