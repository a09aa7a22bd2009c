#include "Connection.h"
#include "platform/LisError.h"

Connection::Connection() = default;

Connection::~Connection()
{
    close();
}

void Connection::setConnectionString(const QString& text)
{
    if (isOpen())
        throw LisError(ErrNo::ObjectOpen,
                       QStringLiteral("Operation is not allowed when the object is open."));
    m_connectionString = text;
}

void Connection::open(const QString& connectionText, const QString& user, const QString& password)
{
    if (isOpen())
        throw LisError(ErrNo::ObjectOpen,
                       QStringLiteral("Operation is not allowed when the object is open."));
    if (!connectionText.isEmpty())
        m_connectionString = connectionText;
    ConnectionString cs = ConnectionString::parse(m_connectionString);
    if (!user.isEmpty() || !password.isEmpty()) {
        // Explicit log-on values win over those in the string.
        cs = ConnectionString::parse(
            m_connectionString + QStringLiteral(";User ID=") + ConnectionString::quoteValue(user) +
            QStringLiteral(";Password=") + ConnectionString::quoteValue(password));
    }
    auto driver = DriverRegistry::find(cs);
    m_session = driver->connect(cs);
    m_trace = std::make_unique<CommandTrace>();
    m_inTransaction = false;
}

void Connection::close()
{
    if (!m_session)
        return;
    if (m_inTransaction) {
        // Closing with a transaction open abandons its work, never half of it.
        try {
            m_session->rollbackTransaction();
        } catch (const LisError&) {
        }
    }
    m_session.reset();
    m_trace.reset();
    m_inTransaction = false;
}

void Connection::requireOpen() const
{
    if (!isOpen())
        throw LisError(ErrNo::ObjectClosed,
                       QStringLiteral("Operation is not allowed when the object is closed."));
}

ResultSet Connection::run(const QString& commandText)
{
    requireOpen();
    m_trace->write(commandText);
    if (m_hook)
        m_hook(commandText);
    return m_session->run(commandText);
}

std::unique_ptr<Recordset> Connection::openRecordset(const QString& commandText,
                                                     CursorOptions options)
{
    auto data = std::make_shared<const ResultSet>(run(commandText));
    return std::make_unique<Recordset>(std::move(data), options);
}

void Connection::execute(const QString& commandText)
{
    run(commandText);
}

void Connection::beginTrans()
{
    requireOpen();
    if (m_inTransaction)
        throw LisError(ErrNo::DbTransactionFailed,
                       QStringLiteral("A transaction is already active on this connection."));
    m_session->beginTransaction();
    m_inTransaction = true;
}

void Connection::commitTrans()
{
    requireOpen();
    if (!m_inTransaction)
        throw LisError(ErrNo::DbTransactionFailed, QStringLiteral("No transaction is active."));
    m_session->commitTransaction();
    m_inTransaction = false;
}

void Connection::rollbackTrans()
{
    requireOpen();
    if (!m_inTransaction)
        throw LisError(ErrNo::DbTransactionFailed, QStringLiteral("No transaction is active."));
    m_inTransaction = false;
    m_session->rollbackTransaction();
}

bool Connection::watch(const QString& channel, std::function<void(const QString&)> onNotice)
{
    requireOpen();
    return m_session->watch(channel, std::move(onNotice));
}

void Connection::unwatch(const QString& channel)
{
    if (m_session)
        m_session->unwatch(channel);
}
