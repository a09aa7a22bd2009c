#pragma once

#include <QString>
#include <QStringList>

// The per-user settings store: text values addressed by application,
// section and key; an absent value reads as empty text. Each application is
// one plain text file, <folder>/<application>.ini (LIS_CONFIG_DIR moves the
// folder), whose values are kept exactly as written (see SettingsFile).
// Names are found in any case. A file that cannot be read is error 75 and is
// never rewritten. The files may hold database passwords, so the folder and
// the files are user-only.
namespace SettingsStore {
QString folder();
QString filePath(const QString& application);
QString get(const QString& application, const QString& section, const QString& key);
void set(const QString& application, const QString& section, const QString& key,
         const QString& value);

struct Entry {
    QString application;
    QString section;
    QString key;
    QString value;
};
// Every stored value, applications in name order, each file's in file order.
QList<Entry> all();
} // namespace SettingsStore
