#include "TestDatabase.h"
#include "EmbeddedDriver.h"
#include "LabStore.h"
#include "SettingsStore.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {
QString scratch()
{
    const QString s = qEnvironmentVariable("LIS_TEST_SCRATCH");
    QDir().mkpath(s.isEmpty() ? QDir::tempPath() : s);
    return s.isEmpty() ? QDir::tempPath() : s;
}
} // namespace

TestDatabase::TestDatabase()
    : m_dir(scratch() + QStringLiteral("/lab-XXXXXX"))
{
    registerEmbeddedDriver();
    m_folder = m_dir.path();
    m_traceFile = m_folder + QStringLiteral("/trace.txt");
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
    qputenv("LIS_TRACE_COMMANDS", m_traceFile.toLocal8Bit());
    clearTrace();
}

QStringList TestDatabase::trace() const
{
    QFile f(m_traceFile);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void TestDatabase::clearTrace()
{
    // Truncated, not removed: an open connection keeps appending to it.
    QFile f(m_traceFile);
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
}
