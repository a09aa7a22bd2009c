#include "Recordset.h"
#include "platform/LisError.h"

Recordset::Recordset(std::shared_ptr<const ResultSet> data, CursorOptions options)
    : m_data(std::move(data))
    , m_options(options)
{
}

void Recordset::requireOpen() const
{
    if (!m_open)
        throw LisError(ErrNo::ObjectClosed,
                       QStringLiteral("Operation is not allowed when the object is closed."));
}

void Recordset::requireRow() const
{
    requireOpen();
    if (eof())
        throw LisError(ErrNo::NoCurrentRecord,
                       QStringLiteral("Either BOF or EOF is True, or the current record "
                                      "has been deleted."));
}

bool Recordset::eof() const
{
    return m_row >= m_data->rows.size();
}

int Recordset::recordCount() const
{
    requireOpen();
    if (m_options.location == CursorLocation::Server && m_options.type != CursorType::Static &&
        m_options.type != CursorType::Keyset)
        return -1;
    return int(m_data->rows.size());
}

void Recordset::moveNext()
{
    requireRow();
    ++m_row;
}

void Recordset::moveFirst()
{
    requireOpen();
    m_row = 0;
}

int Recordset::fieldCount() const
{
    return int(m_data->columns.size());
}

QString Recordset::fieldName(int index) const
{
    return m_data->columns.value(index);
}

int Recordset::columnIndex(const QString& name) const
{
    const QStringList& cols = m_data->columns;
    for (int i = 0; i < cols.size(); ++i)
        if (cols.at(i).compare(name, Qt::CaseInsensitive) == 0)
            return i;
    return -1;
}

bool Recordset::hasField(const QString& name) const
{
    return columnIndex(name) >= 0;
}

QVariant Recordset::value(const QString& name) const
{
    requireOpen();
    const int i = columnIndex(name);
    if (i < 0)
        throw LisError(ErrNo::ItemNotFound,
                       QStringLiteral("Item cannot be found in the collection corresponding to "
                                      "the requested name or ordinal: %1")
                           .arg(name));
    return value(i);
}

QVariant Recordset::value(int index) const
{
    requireRow();
    const QVariantList& row = m_data->rows.at(m_row);
    if (index < 0 || index >= row.size())
        throw LisError(ErrNo::ItemNotFound,
                       QStringLiteral("Item cannot be found in the collection corresponding to "
                                      "the requested name or ordinal: %1")
                           .arg(index));
    return row.at(index);
}

QString Recordset::toText(const QVariant& v)
{
    if (v.typeId() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("True") : QStringLiteral("False");
    return v.toString();
}

QString Recordset::text(const QString& name) const
{
    const QVariant v = value(name);
    if (v.isNull())
        throw LisError(ErrNo::InvalidUseOfNull,
                       QStringLiteral("Invalid use of Null (column %1)").arg(name));
    return toText(v);
}

QString Recordset::textOrEmpty(const QString& name) const
{
    const QVariant v = value(name);
    return v.isNull() ? QString() : toText(v);
}
