#pragma once

#include "platform/db/DbDriver.h"

#include <memory>

enum class CursorLocation { Server, Client };
enum class CursorType { ForwardOnly, Keyset, Dynamic, Static };
enum class LockType { ReadOnly, Pessimistic, Optimistic, BatchOptimistic };

struct CursorOptions {
    CursorLocation location = CursorLocation::Server;
    CursorType type = CursorType::ForwardOnly;
    LockType lock = LockType::ReadOnly;

    static CursorOptions clientDynamic(LockType lock = LockType::ReadOnly)
    {
        return {CursorLocation::Client, CursorType::Dynamic, lock};
    }
    static CursorOptions serverDynamic(LockType lock = LockType::ReadOnly)
    {
        return {CursorLocation::Server, CursorType::Dynamic, lock};
    }
};

// The rows of one command text, read by column name without case, as the
// original client read them. Only a client-side cursor knows its record
// count; a server-side one answers -1, so callers ask for the cursor they need.
class Recordset {
public:
    Recordset(std::shared_ptr<const ResultSet> data, CursorOptions options);

    bool isOpen() const { return m_open; }
    void close() { m_open = false; }
    bool eof() const;
    int recordCount() const;
    void moveNext();
    void moveFirst();
    int position() const { return m_row; }

    int fieldCount() const;
    QString fieldName(int index) const;
    bool hasField(const QString& name) const;

    // The value of the current row; error 3265 for a column the result set
    // does not have, 3021 when there is no current row.
    QVariant value(const QString& name) const;
    QVariant value(int index) const;
    // The value as text: Null is error 94.
    QString text(const QString& name) const;
    // The value as text with Null read as empty text.
    QString textOrEmpty(const QString& name) const;

    const ResultSet& data() const { return *m_data; }

    // How a value reads as text: numbers in their plain form.
    static QString toText(const QVariant& v);

private:
    int columnIndex(const QString& name) const;
    void requireOpen() const;
    void requireRow() const;

    std::shared_ptr<const ResultSet> m_data;
    CursorOptions m_options;
    int m_row = 0;
    bool m_open = true;
};
