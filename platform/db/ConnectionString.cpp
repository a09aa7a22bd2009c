#include "ConnectionString.h"
#include "platform/SettingsStore.h"

ConnectionString ConnectionString::parse(const QString& text)
{
    ConnectionString cs;
    cs.m_text = text;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            // A part without "=" carries no value; skip it.
            i = semi < 0 ? n : semi + 1;
            continue;
        }
        const QString key = text.mid(i, eq - i).trimmed();
        qsizetype j = eq + 1;
        QString value;
        bool quoted = false;
        if (j < n && text.at(j) == QLatin1Char('"')) {
            // Quoted only when the closing quote ends the value.
            QString v;
            qsizetype k = j + 1;
            for (; k < n; ++k) {
                if (text.at(k) == QLatin1Char('"')) {
                    if (k + 1 < n && text.at(k + 1) == QLatin1Char('"')) {
                        v += QLatin1Char('"');
                        ++k;
                        continue;
                    }
                    break;
                }
                v += text.at(k);
            }
            if (k < n && (k + 1 == n || text.at(k + 1) == QLatin1Char(';'))) {
                value = v;
                quoted = true;
                j = k + 1;
            }
        }
        if (!quoted) {
            const qsizetype end = text.indexOf(QLatin1Char(';'), j);
            value = text.mid(j, (end < 0 ? n : end) - j);
            j = end < 0 ? n : end;
        }
        cs.m_pairs.append({key, value});
        i = j + 1;
    }
    return cs;
}

QString ConnectionString::quoteValue(const QString& value)
{
    if (!value.contains(QLatin1Char(';')) && !value.startsWith(QLatin1Char('"')))
        return value;
    QString v = value;
    v.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + v + QLatin1Char('"');
}

QString ConnectionString::withoutPassword(const QString& server)
{
    const qsizetype scheme = server.indexOf(QStringLiteral("://"));
    if (scheme < 0)
        return server;
    QString rest = server.mid(scheme + 3);
    QString query;
    if (const qsizetype q = rest.indexOf(QLatin1Char('?')); q >= 0) {
        query = rest.mid(q + 1);
        rest.truncate(q);
    }
    // The login ends at the last @, even when a password holds / or @.
    if (const qsizetype at = rest.lastIndexOf(QLatin1Char('@')); at >= 0) {
        const qsizetype colon = rest.left(at).indexOf(QLatin1Char(':'));
        if (colon >= 0)
            rest.remove(colon, at - colon);
    }
    QStringList kept;
    for (const QString& item : query.split(QLatin1Char('&'))) {
        const QString key = item.section(QLatin1Char('='), 0, 0).trimmed().toLower();
        if (!key.endsWith(QStringLiteral("password")))
            kept << item;
    }
    return server.left(scheme + 3) + rest +
           (query.isNull() ? QString() : QLatin1Char('?') + kept.join(QLatin1Char('&')));
}

bool ConnectionString::has(const QString& key) const
{
    for (const auto& p : m_pairs)
        if (p.first.compare(key, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

QString ConnectionString::value(const QString& key) const
{
    // The last one wins, as with the original client.
    QString v;
    for (const auto& p : m_pairs)
        if (p.first.compare(key, Qt::CaseInsensitive) == 0)
            v = p.second;
    return v;
}

bool ConnectionString::integratedSecurity() const
{
    const QString v = value(QStringLiteral("Integrated Security")).trimmed();
    return v.compare(QStringLiteral("SSPI"), Qt::CaseInsensitive) == 0 ||
           v.compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0;
}

QString ConnectionString::ofWorkstation(const QString& catalog)
{
    const QString app = QStringLiteral("TARVIK Current User");
    const QString section = QStringLiteral("Connection");
    const QString user = SettingsStore::get(app, section, QStringLiteral("User"));
    // A value with a semicolon is quoted so it cannot end its key early;
    // every other value goes in exactly as stored.
    const auto v = &ConnectionString::quoteValue;
    QString s = QStringLiteral("Provider=SQLOLEDB.8");
    if (user.isEmpty())
        s += QStringLiteral(";Integrated Security=SSPI");
    else
        s += QStringLiteral(";User ID=") + v(user) + QStringLiteral(";Password =") +
             v(SettingsStore::get(app, section, QStringLiteral("Password")));
    s += QStringLiteral(";Persist Security Info=False;Initial Catalog=") + v(catalog);
    s += QStringLiteral(";Data Source=") +
         v(SettingsStore::get(app, section, QStringLiteral("Server")));
    // Only a PostgreSQL laboratory reads it; absent, the string is as it always was.
    const QString sslMode = SettingsStore::get(app, section, QStringLiteral("SslMode"));
    if (!sslMode.isEmpty())
        s += QStringLiteral(";SSL Mode=") + v(sslMode);
    return s;
}
