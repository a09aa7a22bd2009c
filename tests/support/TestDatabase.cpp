#include "TestDatabase.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>

TestDatabase::TestDatabase()
    : m_dir(qEnvironmentVariable("LIS_TEST_SCRATCH", QDir::tempPath()) +
            QStringLiteral("/lab-XXXXXX"))
    , m_folder(m_dir.path())
{
    registerEmbeddedDriver();
    m_store = std::make_unique<LabStore>(m_folder);
}

TestDatabase::~TestDatabase() = default;

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
                       QStringLiteral("Server"), m_folder);
    qputenv("LIS_TRACE_COMMANDS", traceFile().toLocal8Bit());
    clearTrace();
}

QStringList TestDatabase::trace() const
{
    QFile f(traceFile());
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

void TestDatabase::clearTrace()
{
    // Truncated, not removed: an open connection keeps appending to it.
    QFile f(traceFile());
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
}
