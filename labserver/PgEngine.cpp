#include "labserver/LabStore.h"
#include "labserver/PgConnection.h"
#include "labserver/ServerSchema.h"
#include "labserver/StoreEngine.h"
#include "platform/LisError.h"

#include <QRegularExpression>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>

namespace {
// The client waits a little longer than the server before it takes the
// link for dead.
constexpr int kLinkGraceMs = 10000;
// A workstation that stops talking inside a transaction (a frozen link, a
// suspended computer) holds the write lock: the server ends its session.
constexpr int kIdleInTransactionMs = 20000;
// The advisory locks of a server's laboratory: "LIS" and the kind of
// thing locked, then the hash of its key. Sealing the audit has one of its own.
constexpr int kLockSpace = 0x4c495300;
constexpr int kSealLock = 0x4c495357;
} // namespace

PgEngine::PgEngine(LabStore& store, const ConnectionString& server)
    : StoreEngine(store)
    , m_server(server)
    , m_address(ServerAddress::classify(server.dataSource()).address())
    , m_link(std::make_unique<PgLink>())
{
}

PgEngine::~PgEngine() = default;

void PgEngine::open()
{
    LabStore& s = m_store;
    s.m_db = PgConnection::open(m_server);
    s.m_connectionName = s.m_db.connectionName();
    setUpSession();
    const int version = ServerSchema::version(s.m_db);
    const int expected = LabStore::schemaVersion();
    if (version == 0)
        s.fail(QStringLiteral("The database %1 on %2 holds no laboratory. Make it with "
                              "\"lis-host server init\" under this workstation's settings.")
                   .arg(s.m_db.databaseName(), s.m_where),
               QString());
    if (version != expected)
        s.fail(QStringLiteral("The laboratory database %1 on %2 has schema version %3; this "
                              "workstation expects version %4. %5")
                   .arg(s.m_db.databaseName(), s.m_where)
                   .arg(version)
                   .arg(expected)
                   .arg(version < expected
                            ? QStringLiteral("Upgrade the server's laboratory with \"lis-host "
                                             "server init\".")
                            : QStringLiteral("Install this component's newer version on this "
                                             "workstation.")),
               QString());
}

void PgEngine::setUpSession()
{
    // Unqualified names find both databases, as on the embedded laboratory.
    m_store.exec(QStringLiteral("SET search_path TO laboratory, patient_data"));
    setBusyTimeout(m_busyTimeout < 0 ? kBusyTimeoutMs : m_busyTimeout);
    // What the laboratory's administrator set on the database or the login wins.
    for (const auto& [name, ms] :
         {std::pair{"statement_timeout", LabStore::statementTimeoutMs()},
          std::pair{"idle_in_transaction_session_timeout", kIdleInTransactionMs}})
        m_store.query(
            QStringLiteral("SELECT set_config(?, ?, false) WHERE current_setting(?) = '0'"),
            {QLatin1String(name), QString::number(ms), QLatin1String(name)});
    if (m_store.m_writesRefused)
        m_store.exec(QStringLiteral("SET default_transaction_read_only = on"));
}

void PgEngine::reconnect()
{
    LabStore& s = m_store;
    s.m_statements.clear();
    s.m_db.close();
    s.m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(s.m_connectionName);
    m_noticesConnected = false;
    try {
        s.m_db = PgConnection::open(m_server);
    } catch (const LisError& e) {
        throw LisError(ErrNo::DbConnectionFailed, unreachable(e.description()));
    }
    s.m_connectionName = s.m_db.connectionName();
    m_lost = false;
    setUpSession();
    const auto listeners = std::exchange(m_listeners, {});
    for (auto it = listeners.begin(); it != listeners.end(); ++it)
        listen(it.key(), it.value());
}

QString PgEngine::unreachable(const QString& why) const
{
    QString text =
        QStringLiteral("The laboratory server at %1 cannot be reached: %2")
            .arg(m_address, why.trimmed().isEmpty() ? QStringLiteral("the connection was lost.")
                                                    : why.trimmed());
    if (!text.endsWith(QLatin1Char('.')))
        text += QLatin1Char('.');
    if (m_store.m_inTransaction)
        text += QStringLiteral(" Nothing of the unfinished save was kept; repeat it when the "
                               "server answers.");
    return text;
}

QList<Catalogue::Table> PgEngine::tables()
{
    const QList<Catalogue::Table> tables =
        PgCatalogue(m_store.m_db, ServerSchema::spelling()).tables();
    for (const Catalogue::Table& t : tables)
        for (const QString& c : t.columns)
            m_columnSpelling.insert(c.toLower(), c);
    return tables;
}

ResultSet PgEngine::guarded(const std::function<ResultSet()>& run)
{
    // Outside a transaction nothing is lost by connecting again: a server
    // restarted between two saves costs the workstation nothing.
    for (int attempt = 0;; ++attempt) {
        if (m_lost && !m_store.m_inTransaction)
            reconnect();
        m_link->arm(m_store.m_db, LabStore::statementTimeoutMs() + kLinkGraceMs);
        try {
            ResultSet rs = run();
            m_link->disarm();
            return rs;
        } catch (const LisError&) {
            m_link->disarm();
            if (!m_lost || m_store.m_inTransaction || attempt > 0)
                throw;
        }
    }
}

// Only queries and changes are prepared: transaction control, settings and
// scripts go as they are.
bool PgEngine::prepares(const QString& sql) const
{
    static const QRegularExpression dml(
        QStringLiteral("^\\s*(SELECT|WITH|INSERT|UPDATE|DELETE|VALUES)\\b"),
        QRegularExpression::CaseInsensitiveOption);
    return dml.match(sql).hasMatch();
}

// The server answers unquoted names in lower case; callers get them as the
// statement wrote them (an alias, a column), else as the laboratory spells
// the column.
QStringList PgEngine::spelt(const QString& sql, const QStringList& served) const
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

void PgEngine::begin()
{
    // Read committed, each writer behind the locks of what it touches:
    // a save sees the last committed save of its request and is never
    // mixed with another. The waits are bounded by lock_timeout.
    m_store.exec(QStringLiteral("BEGIN ISOLATION LEVEL READ COMMITTED, READ WRITE"));
    m_locked.clear();
}

void PgEngine::lock(int kind, const QString& key)
{
    if (!m_store.m_inTransaction)
        return;
    const QString k = QString::number(kind) + QLatin1Char(':') + key.trimmed().toLower();
    if (m_locked.contains(k))
        return;
    m_store.exec(QStringLiteral("SELECT pg_advisory_xact_lock(?, hashtext(?))"),
                 {kLockSpace + kind, k});
    m_locked.insert(k);
}

// Writers run side by side on a server and commit in another order than
// they numbered their audit rows: sealing takes turns, under a lock of its
// own held until COMMIT, and the chain follows the order of sealing, so no
// row is ever sealed before one it follows.
void PgEngine::beforeSeal()
{
    m_store.exec(QStringLiteral("SELECT pg_advisory_xact_lock(?)"), {kSealLock});
}

QString PgEngine::clearAuditContext() const
{
    return QStringLiteral("DELETE FROM tbLabAuditContext WHERE Slot = pg_backend_pid()");
}

// On a server only the laboratory's own function may add to the trail.
QString PgEngine::auditRow() const
{
    return QStringLiteral("SELECT laboratory.auditRow(?, ?, ?, ?, ?)");
}

void PgEngine::setBusyTimeout(int ms)
{
    m_store.exec(QStringLiteral("SET lock_timeout = %1").arg(ms));
    m_busyTimeout = ms;
}

void PgEngine::refuseWrites(bool refuse)
{
    m_store.exec(refuse ? QStringLiteral("SET default_transaction_read_only = on")
                        : QStringLiteral("SET default_transaction_read_only = off"));
}

bool PgEngine::isBusy(const QSqlError& e) const
{
    // Lock not available (lock_timeout), deadlock, serialization.
    return QStringList{QStringLiteral("55P03"), QStringLiteral("40P01"), QStringLiteral("40001")}
        .contains(e.nativeErrorCode());
}

bool PgEngine::isReadOnlyRefusal(const QSqlError& e) const
{
    return e.nativeErrorCode() == QStringLiteral("25006");
}

bool PgEngine::isConflict(const QSqlError& e) const
{
    return e.nativeErrorCode() == QLatin1String("40P01") ||
           e.nativeErrorCode() == QLatin1String("40001");
}

void PgEngine::explain(const QSqlError& e, const QString& said)
{
    if (m_link->expired()) {
        m_lost = true;
        throw LisError(
            ErrNo::DbConnectionFailed,
            unreachable(QStringLiteral("it did not answer for %1 seconds, so the "
                                       "network link to it is taken for broken.")
                            .arg((LabStore::statementTimeoutMs() + kLinkGraceMs) / 1000)));
    }
    // The server's farewell (shut down, restarted, the session ended) may
    // arrive before libpq has seen the connection close.
    const QString state = e.nativeErrorCode();
    if (PgLink::isLost(m_store.m_db) || state.startsWith(QStringLiteral("08")) ||
        state.startsWith(QStringLiteral("57P0")) || state == QStringLiteral("25P03")) {
        m_lost = true;
        throw LisError(ErrNo::DbConnectionFailed,
                       unreachable(said.section(QLatin1Char('\n'), 0, 0)));
    }
    // query_canceled: the statement ran into statement_timeout.
    if (state == QStringLiteral("57014"))
        throw LisError(ErrNo::DbCommandFailed,
                       QStringLiteral("The laboratory server at %1 stopped a command that "
                                      "took longer than %2 seconds; nothing of it was kept. "
                                      "Try again; if it happens again, tell the "
                                      "laboratory's administrator.")
                           .arg(m_address)
                           .arg(LabStore::statementTimeoutMs() / 1000));
}

bool PgEngine::listen(const QString& channel, std::function<void(const QString&)> onNotice)
{
    QSqlDriver* driver = m_store.m_db.driver();
    if (!m_noticesConnected) {
        QObject::connect(
            driver, &QSqlDriver::notification, driver,
            [this](const QString& name, QSqlDriver::NotificationSource, const QVariant& payload) {
                const auto it = m_listeners.constFind(name.toLower());
                if (it != m_listeners.constEnd() && *it)
                    (*it)(payload.toString());
            });
        m_noticesConnected = true;
    }
    const QString name = channel.toLower();
    if (!m_listeners.contains(name) && !driver->subscribeToNotification(name))
        m_store.fail(QStringLiteral("The laboratory on %1 cannot send notices of \"%2\".")
                         .arg(m_store.m_where, name),
                     driver->lastError().text());
    m_listeners.insert(name, std::move(onNotice));
    return true;
}

void PgEngine::unlisten(const QString& channel)
{
    const QString name = channel.toLower();
    if (m_listeners.remove(name) > 0 && m_store.m_db.isOpen())
        m_store.m_db.driver()->unsubscribeFromNotification(name);
}

void PgEngine::notify(const QString& channel, const QString& payload)
{
    m_store.query(QStringLiteral("SELECT pg_notify(?, ?)"), {channel.toLower(), payload});
}
