#include "SettingsStore.h"
#include "LisError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {
constexpr auto kUserOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr auto kUserOnlyDir = kUserOnlyFile | QFileDevice::ExeOwner;

LisError accessError(const QString& path, const QString& why)
{
    return LisError(ErrNo::FileAccess,
                    QStringLiteral("The settings file %1 cannot be read: %2").arg(path, why));
}

// QSettings reads a broken or unreadable file as empty without a word, which
// would silently switch a workstation to integrated login: refuse instead.
void checkReadable(const QString& path)
{
    QFileInfo info(path);
    if (!info.exists())
        return;
    if (!info.isFile())
        throw accessError(path, QStringLiteral("it is not a file"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw accessError(path, f.errorString());
}

void checkStatus(const QSettings& s, const QString& path)
{
    if (s.status() == QSettings::AccessError)
        throw accessError(path, QStringLiteral("access denied"));
    if (s.status() == QSettings::FormatError)
        throw accessError(path, QStringLiteral("it is not a settings file"));
}

QString groupKey(const QString& section, const QString& key)
{
    return section + QLatin1Char('/') + key;
}
} // namespace

QString SettingsStore::folder()
{
    const QString moved = qEnvironmentVariable("LIS_CONFIG_DIR");
    if (!moved.isEmpty())
        return QDir::cleanPath(moved);
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/velquor-lis");
}

QString SettingsStore::filePath(const QString& application)
{
    return folder() + QLatin1Char('/') + application + QStringLiteral(".ini");
}

QString SettingsStore::get(const QString& application, const QString& section, const QString& key)
{
    const QString path = filePath(application);
    checkReadable(path);
    QSettings s(path, QSettings::IniFormat);
    checkStatus(s, path);
    return s.value(groupKey(section, key)).toString();
}

void SettingsStore::set(const QString& application, const QString& section, const QString& key,
                        const QString& value)
{
    const QString dir = folder();
    if (!QDir().mkpath(dir))
        throw LisError(ErrNo::FileAccess,
                       QStringLiteral("The settings folder %1 cannot be created").arg(dir));
    QFile::setPermissions(dir, kUserOnlyDir);
    const QString path = filePath(application);
    checkReadable(path);
    if (!QFileInfo::exists(path)) {
        // Create it user-only before the first value is written into it.
        QFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            throw LisError(ErrNo::FileAccess, QStringLiteral("The settings file %1 cannot be "
                                                             "written: %2")
                                                  .arg(path, f.errorString()));
        f.close();
    }
    QFile::setPermissions(path, kUserOnlyFile);
    QSettings s(path, QSettings::IniFormat);
    s.setValue(groupKey(section, key), value);
    s.sync();
    checkStatus(s, path);
}

QList<SettingsStore::Entry> SettingsStore::all()
{
    QList<Entry> out;
    const QDir dir(folder());
    const QStringList files =
        dir.entryList({QStringLiteral("*.ini")}, QDir::Files | QDir::Readable, QDir::Name);
    for (const QString& file : files) {
        const QString application = file.chopped(4);
        const QString path = dir.filePath(file);
        checkReadable(path);
        QSettings s(path, QSettings::IniFormat);
        checkStatus(s, path);
        for (const QString& k : s.allKeys()) {
            const qsizetype slash = k.indexOf(QLatin1Char('/'));
            out.append({application, slash < 0 ? QString() : k.left(slash), k.mid(slash + 1),
                        s.value(k).toString()});
        }
    }
    return out;
}
