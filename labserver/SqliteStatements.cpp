#include "SqliteStatements.h"
#include "labserver/LabStore.h"
#include "labserver/StoreEngine.h"
#include "platform/DateText.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QSqlDriver>
#include <sqlite3.h>

namespace {
const QChar* chars(const void* text)
{
    return static_cast<const QChar*>(text);
}

// What the SQL module binds as NULL: no value, or a null text, bytes or date.
bool isNullValue(const QVariant& v)
{
    if (v.isNull())
        return true;
    switch (v.typeId()) {
    case QMetaType::QString:
        return v.toString().isNull();
    case QMetaType::QByteArray:
        return v.toByteArray().isNull();
    case QMetaType::QDateTime:
        return !v.toDateTime().isValid();
    case QMetaType::QDate:
        return v.toDate().isNull();
    case QMetaType::QTime:
        return v.toTime().isNull();
    default:
        return false;
    }
}
} // namespace

SqliteStatements::~SqliteStatements()
{
    clear();
}

void SqliteStatements::attach(sqlite3* db)
{
    if (db != m_db)
        clear();
    m_db = db;
}

void SqliteStatements::clear()
{
    for (auto& [sql, st] : m_statements)
        sqlite3_finalize(st.handle);
    m_statements.clear();
}

SqliteStatements::Statement* SqliteStatements::prepared(const QString& sql, QSqlError& error)
{
    auto it = m_statements.find(sql);
    if (it != m_statements.end())
        return &it->second;
    sqlite3_stmt* handle = nullptr;
    const void* tail = nullptr;
    const int rc = sqlite3_prepare16_v3(m_db, sql.constData(), int(sql.size() * sizeof(QChar)),
                                        SQLITE_PREPARE_PERSISTENT, &handle, &tail);
    if (rc != SQLITE_OK) {
        error = failure(QStringLiteral("Unable to execute statement"), rc);
        sqlite3_finalize(handle);
        return nullptr;
    }
    const QStringView rest(chars(tail), sql.constData() + sql.size() - chars(tail));
    if (!handle || !rest.trimmed().isEmpty()) {
        sqlite3_finalize(handle);
        return nullptr;
    }
    return &m_statements.emplace(sql, Statement{handle, {}, {}, {}, false}).first->second;
}

bool SqliteStatements::runs(const QString& sql)
{
    QSqlError unused;
    return m_db && prepared(sql, unused);
}

QSqlError SqliteStatements::failure(const QString& what, int code) const
{
    return QSqlError(QCoreApplication::translate("QSQLiteResult", what.toUtf8().constData()),
                     QString(chars(sqlite3_errmsg16(m_db))), QSqlError::StatementError,
                     QString::number(code));
}

bool SqliteStatements::bind(sqlite3_stmt* s, const QVariantList& binds, QSqlError& error) const
{
    if (sqlite3_bind_parameter_count(s) != binds.size()) {
        error = QSqlError(QCoreApplication::translate("QSQLiteResult", "Parameter count mismatch"),
                          QString(), QSqlError::StatementError);
        return false;
    }
    for (int i = 0; i < binds.size(); ++i) {
        const QVariant& v = binds.at(i);
        int rc = SQLITE_OK;
        if (isNullValue(v)) {
            rc = sqlite3_bind_null(s, i + 1);
        } else {
            switch (v.typeId()) {
            case QMetaType::QByteArray: {
                const QByteArray b = v.toByteArray();
                rc = sqlite3_bind_blob(s, i + 1, b.constData(), int(b.size()), SQLITE_TRANSIENT);
                break;
            }
            case QMetaType::Int:
            case QMetaType::Bool:
                rc = sqlite3_bind_int(s, i + 1, v.toInt());
                break;
            case QMetaType::Double:
                rc = sqlite3_bind_double(s, i + 1, v.toDouble());
                break;
            case QMetaType::UInt:
            case QMetaType::LongLong:
                rc = sqlite3_bind_int64(s, i + 1, v.toLongLong());
                break;
            default: {
                const QString text = v.typeId() == QMetaType::QDateTime
                                         ? v.toDateTime().toString(Qt::ISODateWithMs)
                                     : v.typeId() == QMetaType::QTime
                                         ? v.toTime().toString(QStringLiteral("hh:mm:ss.zzz"))
                                         : v.toString();
                rc = sqlite3_bind_text16(s, i + 1, text.constData(),
                                         int(text.size() * sizeof(QChar)), SQLITE_TRANSIENT);
                break;
            }
            }
        }
        if (rc != SQLITE_OK) {
            error = failure(QStringLiteral("Unable to bind parameters"), rc);
            return false;
        }
    }
    return true;
}

QVariant SqliteStatements::value(sqlite3_stmt* s, int column)
{
    switch (sqlite3_column_type(s, column)) {
    case SQLITE_INTEGER:
        return QVariant(qlonglong(sqlite3_column_int64(s, column)));
    case SQLITE_FLOAT:
        return QVariant(sqlite3_column_double(s, column));
    case SQLITE_NULL:
        return QVariant(QMetaType::fromType<QString>());
    case SQLITE_BLOB:
        return QVariant(QByteArray(static_cast<const char*>(sqlite3_column_blob(s, column)),
                                   sqlite3_column_bytes(s, column)));
    default: {
        const void* text = sqlite3_column_text16(s, column);
        return QVariant(
            QString(chars(text), qsizetype(sqlite3_column_bytes16(s, column) / sizeof(QChar))));
    }
    }
}

bool SqliteStatements::run(const QString& sql, const QVariantList& binds,
                           const QStringList& dateColumns, ResultSet& rs, int& affected,
                           QSqlError& error)
{
    Statement* st = prepared(sql, error);
    if (!st)
        return false;
    sqlite3_stmt* s = st->handle;
    if (!bind(s, binds, error)) {
        sqlite3_clear_bindings(s);
        return false;
    }
    // A statement's columns stay as they are: they are read once.
    if (!st->described || st->dateColumns != dateColumns) {
        st->columns.clear();
        st->dates.clear();
        for (int i = 0; i < sqlite3_column_count(s); ++i) {
            st->columns.append(
                QString(chars(sqlite3_column_name16(s, i))).remove(QLatin1Char('"')));
            if (dateColumns.contains(st->columns.last(), Qt::CaseInsensitive))
                st->dates.append(i);
        }
        st->dateColumns = dateColumns;
        st->described = true;
    }
    rs.columns = st->columns;
    const int count = int(st->columns.size());
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        QVariantList row;
        row.reserve(count);
        for (int i = 0; i < count; ++i)
            row.append(value(s, i));
        for (int i : std::as_const(st->dates))
            if (!row.at(i).isNull())
                row[i] = DateText::asGeneral(row.at(i).toString());
        rs.rows.append(std::move(row));
    }
    if (rc != SQLITE_DONE) {
        error = failure(QStringLiteral("Unable to fetch row"), rc);
        sqlite3_reset(s);
        sqlite3_clear_bindings(s);
        return false;
    }
    affected = sqlite3_changes(m_db);
    sqlite3_reset(s);
    sqlite3_clear_bindings(s);
    return true;
}

// The engine runs every statement that is one statement itself.
bool SqliteEngine::runsItself(const QString& sql)
{
    const QVariant handle = m_store.m_db.driver() ? m_store.m_db.driver()->handle() : QVariant();
    if (qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return false;
    m_statements.attach(*static_cast<sqlite3* const*>(handle.constData()));
    return m_statements.runs(sql);
}

ResultSet SqliteEngine::runItself(const QString& sql, const QVariantList& binds,
                                  const QStringList& dateColumns)
{
    ResultSet rs;
    QSqlError e;
    if (!m_statements.run(sql, binds, dateColumns, rs, m_store.m_affected, e))
        m_store.commandFailed(e, sql);
    return rs;
}
