#pragma once

#include <QList>
#include <QPair>
#include <QString>

// A connection string of "Key=value" pairs separated by semicolons. Keys are
// compared without case and without surrounding blanks ("Password =" is the
// key Password); a value enclosed in double quotes may hold semicolons, with
// inner double quotes doubled.
class ConnectionString {
public:
    static ConnectionString parse(const QString& text);
    // A value as it must be written: enclosed in double quotes only when it
    // holds a semicolon, which would otherwise end it, or starts with a
    // double quote, which would otherwise be read as quoting.
    static QString quoteValue(const QString& value);
    // A Server setting as messages, traces and logs may show it: a
    // postgresql:// address without the password of its login or of its
    // parameters; anything else as it is.
    static QString withoutPassword(const QString& server);
    // The connection string of this workstation's laboratory for the catalog:
    // the login, server and SSL mode of [Connection] in TARVIK Current User.
    static QString ofWorkstation(const QString& catalog);

    bool has(const QString& key) const;
    QString value(const QString& key) const;
    const QString& text() const { return m_text; }

    // The fields every driver needs, read once here.
    QString provider() const { return value(QStringLiteral("Provider")); }
    QString dataSource() const { return value(QStringLiteral("Data Source")); }
    QString catalog() const { return value(QStringLiteral("Initial Catalog")); }
    QString userId() const { return value(QStringLiteral("User ID")); }
    QString password() const { return value(QStringLiteral("Password")); }
    bool integratedSecurity() const;

private:
    QString m_text;
    QList<QPair<QString, QString>> m_pairs;
};
