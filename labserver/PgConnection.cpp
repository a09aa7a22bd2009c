#include "PgConnection.h"
#include "platform/LisError.h"

#include <QSqlDriver>
#include <QSqlError>
#include <QUrl>
#include <QVariant>
#include <algorithm>
#include <atomic>
#include <dlfcn.h>
#include <sys/socket.h>

using namespace Qt::StringLiterals;

namespace {
const QString kWhere = u"([Connection] Server in TARVIK Current User.ini)"_s;

QString decoded(const QString& s)
{
    return QUrl::fromPercentEncoding(s.toUtf8());
}

// 1 to 65535, or 0 for anything else.
int portNumber(const QString& s)
{
    bool ok = false;
    const int n = s.toInt(&ok);
    const bool digits = !s.isEmpty() && std::all_of(s.begin(), s.end(),
                                                    [](QChar c) { return c >= u'0' && c <= u'9'; });
    return ok && digits && n >= 1 && n <= 65535 ? n : 0;
}

ServerAddress invalid(ServerAddress a, const QString& why)
{
    a.kind = ServerAddress::Invalid;
    a.error = u"The Server setting \"%1\" %2 %3."_s.arg(ConnectionString::withoutPassword(a.text),
                                                        why, kWhere);
    return a;
}

bool isPort(ServerAddress& a, const QString& port)
{
    a.port = portNumber(port);
    if (a.port)
        return true;
    a = invalid(a, u"has the port \"%1\"; a port is a number from 1 to 65535"_s.arg(port));
    return false;
}

// "host", "host:port", "[v6 address]" or "[v6 address]:port"; a bare v6
// address (more than one colon) has no port.
bool splitHostPort(ServerAddress& a, const QString& s)
{
    QString port;
    bool hasPort = false;
    if (s.startsWith(u'[')) {
        const qsizetype end = s.indexOf(u']');
        const QString after = end < 0 ? QString() : s.mid(end + 1);
        if (end < 0 || !(after.isEmpty() || after.startsWith(u':'))) {
            a = invalid(a, u"has an address in [ ] that is not closed or is followed by text"_s);
            return false;
        }
        a.host = s.mid(1, end - 1);
        hasPort = !after.isEmpty();
        port = after.mid(1);
    } else if (s.count(u':') == 1) {
        const qsizetype colon = s.indexOf(u':');
        a.host = s.left(colon);
        hasPort = true;
        port = s.mid(colon + 1);
    } else {
        a.host = s;
    }
    return !hasPort || isPort(a, port);
}

ServerAddress parseUri(ServerAddress a)
{
    QString rest = a.text.mid(a.text.indexOf(u"://"_s) + 3);
    QString query;
    if (const qsizetype q = rest.indexOf(u'?'); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    // The login first, up to the last @: a password may hold a / or an @.
    if (const qsizetype at = rest.lastIndexOf(u'@'); at >= 0) {
        const QString login = rest.left(at);
        const qsizetype colon = login.indexOf(u':');
        a.user = decoded(login.left(colon));
        a.password = colon < 0 ? QString() : decoded(login.mid(colon + 1));
        rest = rest.mid(at + 1);
    }
    if (const qsizetype slash = rest.indexOf(u'/'); slash >= 0) {
        a.database = decoded(rest.mid(slash + 1));
        rest.truncate(slash);
    }
    if (rest.contains(u','))
        return invalid(a, u"names several hosts; name one"_s);
    if (!splitHostPort(a, rest))
        return a;
    a.host = decoded(a.host);
    for (const QString& item : query.split(u'&', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf(u'=');
        const QString key = decoded(item.left(eq)).toLower();
        const QString value = eq < 0 ? QString() : decoded(item.mid(eq + 1));
        if (key == u"host"_s)
            a.host = value;
        else if (key == u"port"_s) {
            if (!isPort(a, value))
                return a;
        } else if (key == u"dbname"_s)
            a.database = value;
        else if (key == u"user"_s)
            a.user = value;
        else if (key == u"password"_s)
            a.password = value;
        else if (key.isEmpty() || value.contains(u';') ||
                 !std::all_of(key.begin(), key.end(),
                              [](QChar c) { return (c >= u'a' && c <= u'z') || c == u'_'; }))
            return invalid(a, u"has the parameter \"%1\", which cannot be passed on"_s.arg(
                                  decoded(item.left(eq))));
        else
            a.parameters.append({key, value});
    }
    return a;
}

// libpq's quoting of a value in a connection string.
QString quoted(QString v)
{
    v.replace(u"\\"_s, u"\\\\"_s).replace(u"'"_s, u"\\'"_s);
    return u'\'' + v + u'\'';
}

QString checkedSslMode(const QString& value, const QString& where)
{
    const QString mode = value.trimmed().toLower();
    if (mode.isEmpty() || PgConnection::sslModes().contains(mode))
        return mode;
    throw LisError(ErrNo::DbConnectionFailed,
                   u"The %1 \"%2\" is not an SSL mode; use one of %3."_s.arg(
                       where, value, PgConnection::sslModes().join(u", "_s)));
}
} // namespace

ServerAddress ServerAddress::classify(const QString& dataSource)
{
    ServerAddress a;
    a.text = dataSource.trimmed();
    const QString& t = a.text;
    if (t.isEmpty())
        return a;
    if (t.startsWith(u"postgresql://"_s, Qt::CaseInsensitive) ||
        t.startsWith(u"postgres://"_s, Qt::CaseInsensitive)) {
        a.kind = PostgreSql;
        return parseUri(a);
    }
    if (t.contains(u'/') || t == u"."_s || t == u".."_s || t.startsWith(u'~')) {
        a.kind = EmbeddedFolder;
        return a;
    }
    a.kind = PostgreSql;
    if (!splitHostPort(a, t))
        return a;
    const bool hostName =
        !a.host.isEmpty() && std::all_of(a.host.begin(), a.host.end(), [](QChar c) {
            return c.isLetterOrNumber() || c == u'.' || c == u'-' || c == u'_' || c == u':' ||
                   c == u'%';
        });
    if (!hostName)
        return invalid(a, u"is neither a folder path (with / or starting with ~), a PostgreSQL "
                          u"host or host:port, nor a postgresql:// address"_s);
    return a;
}

QString ServerAddress::displayName() const
{
    if (kind != PostgreSql)
        return text;
    QString where = host.isEmpty() ? u"the local PostgreSQL server"_s
                    : host.startsWith(u'/')
                        ? u"the PostgreSQL server with its socket in %1"_s.arg(host)
                        : u"the PostgreSQL server %1"_s.arg(host);
    return port > 0 ? u"%1 (port %2)"_s.arg(where).arg(port) : where;
}

QString ServerAddress::address() const
{
    const QString h = host.isEmpty()        ? u"localhost"_s
                      : host.contains(u':') ? u'[' + host + u']'
                                            : host;
    return port > 0 ? u"%1:%2"_s.arg(h).arg(port) : h;
}

const QStringList& PgConnection::sslModes()
{
    static const QStringList modes{u"disable"_s, u"allow"_s,     u"prefer"_s,
                                   u"require"_s, u"verify-ca"_s, u"verify-full"_s};
    return modes;
}

namespace {
// libpq's options for the connection: the SSL mode, the address's own
// parameters, and bounds on connecting and on a server gone away unseen.
QStringList connectOptions(const ConnectionString& cs, const ServerAddress& a)
{
    // The setting is checked even when the address's own sslmode wins over it.
    QString sslMode = checkedSslMode(
        cs.value(u"SSL Mode"_s), u"setting SslMode ([Connection] in TARVIK Current User.ini)"_s);
    QStringList options;
    bool timeoutGiven = false;
    bool keepalivesGiven = false;
    for (const auto& [key, value] : a.parameters) {
        if (key == u"sslmode"_s)
            sslMode = checkedSslMode(value, u"sslmode of the Server setting"_s);
        else
            options << key + u'=' + quoted(value);
        timeoutGiven = timeoutGiven || key == u"connect_timeout"_s;
        keepalivesGiven = keepalivesGiven || key.startsWith(u"keepalives"_s);
    }
    // Stated even when it is libpq's default, so PGSSLMODE cannot change it.
    options << u"sslmode="_s + (sslMode.isEmpty() ? u"prefer"_s : sslMode);
    // A workstation should not hang for minutes on a server that is away,
    // and a server that went away unseen (a cable, a crash) is noticed
    // within seconds rather than the operating system's two hours.
    if (!timeoutGiven)
        options << u"connect_timeout=10"_s;
    if (!keepalivesGiven)
        options << u"keepalives=1"_s << u"keepalives_idle=10"_s << u"keepalives_interval=5"_s
                << u"keepalives_count=3"_s;
    return options;
}

// PostgreSQL's names are case-sensitive and the laboratory asks for them in
// any case: the lower-cased name (what an unquoted CREATE DATABASE makes)
// first, then the name as written. A path in the address is the database
// exactly. asked: the name as the setting gives it.
QStringList databaseNames(const ConnectionString& cs, const ServerAddress& a, QString& asked)
{
    QStringList names;
    asked = a.database;
    if (!asked.isEmpty()) {
        names << asked;
    } else {
        asked = cs.catalog().trimmed();
        if (asked.isEmpty())
            asked = u"laboratory"_s;
        names << asked.toLower();
        if (asked != names.first())
            names << asked;
    }
    return names;
}
} // namespace

QSqlDatabase PgConnection::open(const ConnectionString& cs)
{
    const ServerAddress a = ServerAddress::classify(cs.dataSource());
    if (a.kind == ServerAddress::Invalid)
        throw LisError(ErrNo::DbConnectionFailed, a.error);
    if (a.kind != ServerAddress::PostgreSql)
        throw LisError(ErrNo::DbConnectionFailed,
                       u"The Server setting \"%1\" names an embedded laboratory, not a PostgreSQL "
                       u"server %2."_s.arg(a.text, kWhere));
    if (!QSqlDatabase::isDriverAvailable(u"QPSQL"_s))
        throw LisError(ErrNo::DbConnectionFailed,
                       u"Qt's PostgreSQL driver (QPSQL) is not installed on this workstation."_s);

    const QStringList options = connectOptions(cs, a);

    // The address's own login wins; with none and no User ID, libpq logs in
    // as this computer's user (peer or Kerberos, as the server allows).
    const bool ownLogin = !a.user.isEmpty();
    const QString user = ownLogin ? a.user : cs.userId();
    const QString password = ownLogin ? a.password : user.isEmpty() ? QString() : cs.password();

    QString asked;
    const QStringList names = databaseNames(cs, a, asked);

    static std::atomic<int> serial{0};
    QString firstError;
    qsizetype tried = 0;
    for (const QString& name : names) {
        ++tried;
        const QString connection = u"lis-pg-%1"_s.arg(++serial);
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QPSQL"_s, connection);
            db.setHostName(a.host);
            db.setPort(a.port);
            db.setDatabaseName(name);
            db.setUserName(user);
            db.setPassword(password);
            db.setConnectOptions(options.join(u';'));
            if (db.open())
                return db;
            const QString text = db.lastError().databaseText().trimmed();
            if (firstError.isEmpty())
                firstError = text.isEmpty() ? db.lastError().text() : text;
        }
        QSqlDatabase::removeDatabase(connection);
        // Only a missing database is worth a second try; a refused login is not.
        if (!firstError.contains(u'"' + name + u'"'))
            break;
    }
    const QString database =
        tried > 1 ? u"\"%1\" (tried as \"%2\" and as written)"_s.arg(asked, names.first())
                  : u"\"%1\""_s.arg(asked);
    throw LisError(ErrNo::DbConnectionFailed,
                   u"Cannot connect to the laboratory database %1 on %2: %3. Check the Server "
                   u"setting, the database name, the login (User and Password, or this "
                   u"computer's user when User is empty) and SslMode in TARVIK Current User.ini, "
                   u"and that the server lets this workstation in."_s.arg(database, a.displayName(),
                                                                          firstError));
}

namespace {
// libpq is loaded with Qt's PostgreSQL driver; this build needs neither its
// headers nor a link to it.
struct LibPq {
    int (*status)(const void*) = nullptr;
    int (*socket)(const void*) = nullptr;

    static const LibPq& get()
    {
        static const LibPq pq = [] {
            LibPq p;
            if (void* lib = dlopen("libpq.so.5", RTLD_LAZY | RTLD_NOLOAD)) {
                p.status = reinterpret_cast<int (*)(const void*)>(dlsym(lib, "PQstatus"));
                p.socket = reinterpret_cast<int (*)(const void*)>(dlsym(lib, "PQsocket"));
            }
            return p;
        }();
        return pq;
    }
};

const void* pgConn(const QSqlDatabase& db)
{
    if (!db.isValid() || !db.driver())
        return nullptr;
    const QVariant h = db.driver()->handle();
    // libpq's PGconn is a typedef of struct pg_conn; Qt names either.
    return h.isValid() &&
                   (qstrcmp(h.typeName(), "PGconn*") == 0 || qstrcmp(h.typeName(), "pg_conn*") == 0)
               ? *static_cast<void* const*>(h.constData())
               : nullptr;
}
} // namespace

PgLink::PgLink()
    : m_thread([this] { watch(); })
{
}

PgLink::~PgLink()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_changed.notify_one();
    m_thread.join();
}

bool PgLink::isLost(const QSqlDatabase& db)
{
    constexpr int kConnectionBad = 1;
    const void* conn = pgConn(db);
    const LibPq& pq = LibPq::get();
    return conn && pq.status && pq.status(conn) == kConnectionBad;
}

void PgLink::arm(const QSqlDatabase& db, int ms)
{
    const void* conn = pgConn(db);
    const LibPq& pq = LibPq::get();
    bool wake = false;
    {
        std::lock_guard lock(m_mutex);
        m_socket = conn && pq.socket ? pq.socket(conn) : -1;
        m_due = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        m_expired = false;
        // A watcher asleep until an earlier deadline looks again then: woken
        // only from sleep without one (a wake-up a statement costs a read
        // a fifth of its time).
        wake = !m_watching || m_due < m_watchingUntil;
    }
    if (wake)
        m_changed.notify_one();
}

void PgLink::disarm()
{
    std::lock_guard lock(m_mutex);
    m_socket = -1;
}

void PgLink::watch()
{
    std::unique_lock lock(m_mutex);
    while (!m_stopping) {
        if (m_socket < 0) {
            m_watching = false;
            m_changed.wait(lock);
            continue;
        }
        m_watching = true;
        m_watchingUntil = m_due;
        if (m_changed.wait_until(lock, m_watchingUntil) == std::cv_status::timeout &&
            m_socket >= 0 && std::chrono::steady_clock::now() >= m_due) {
            // Under the lock: disarm() cannot return, and the socket cannot
            // be closed and its number reused, while it is shut here.
            ::shutdown(m_socket, SHUT_RDWR);
            m_socket = -1;
            m_expired = true;
        }
    }
}
