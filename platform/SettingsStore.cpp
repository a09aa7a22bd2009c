#include "SettingsStore.h"
#include "platform/LisError.h"
#include "platform/SettingsFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLockFile>
#include <QSaveFile>
#include <QStandardPaths>
#include <optional>

#include <algorithm>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr auto kOwnerBits =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner;
constexpr auto kUserOnlyFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr qint64 kLargestFile = 1 << 20;
constexpr auto kListAll =
    QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot; // broken links too

LisError fileError(const QString& path, const QString& what)
{
    return LisError(ErrNo::FileAccess, QStringLiteral("The settings file %1 %2.").arg(path, what));
}

LisError folderError(const QString& dir, const QString& what)
{
    return LisError(ErrNo::FileAccess, QStringLiteral("The settings folder %1 %2.").arg(dir, what));
}

void checkApplication(const QString& application)
{
    const bool control = std::any_of(application.begin(), application.end(),
                                     [](QChar c) { return c.unicode() < 0x20; });
    if (application.isEmpty() || application.contains(u'/') || control)
        throw LisError(ErrNo::InvalidArgument,
                       QStringLiteral("Invalid procedure call or argument: the settings "
                                      "application \"%1\" is not a file name")
                           .arg(application));
}

// A folder this user cannot list would make every file look absent, and an
// absent User means integrated login: refuse instead.
bool folderExists(const QString& dir)
{
    const QFileInfo info(dir);
    if (!info.exists() && !info.isSymLink())
        return false;
    if (!info.isDir())
        throw folderError(dir, QStringLiteral("is not a folder: remove or rename what is there"));
    if (!info.isReadable() || !info.isExecutable())
        throw folderError(dir, QStringLiteral("cannot be read: make it readable by this user"));
    return true;
}

QStringList namesOf(const QString& dir, const QString& application)
{
    const QString wanted = application + QStringLiteral(".ini");
    QStringList out;
    for (const QString& name : QDir(dir).entryList(kListAll, QDir::Name)) {
        if (name.compare(wanted, Qt::CaseInsensitive) == 0)
            out.append(name);
    }
    return out;
}

LisError caseClash(const QString& dir, const QString& one, const QString& other)
{
    return LisError(ErrNo::FileAccess,
                    QStringLiteral("The settings files %1 and %2 differ only in case, so which one "
                                   "holds the settings is unclear: merge them into one file and "
                                   "remove the other.")
                        .arg(QDir(dir).filePath(one), QDir(dir).filePath(other)));
}

struct Located {
    QString path;
    bool exists = false;
};

Located locate(const QString& application)
{
    const QString dir = SettingsStore::folder();
    if (!folderExists(dir))
        return {SettingsStore::filePath(application), false};
    const QStringList names = namesOf(dir, application);
    if (names.size() > 1)
        throw caseClash(dir, names.at(0), names.at(1));
    if (names.isEmpty())
        return {SettingsStore::filePath(application), false};
    return {QDir(dir).filePath(names.first()), true};
}

SettingsFile readFile(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir())
        throw fileError(path, QStringLiteral("is a folder, not a file: remove or rename it"));
    if (!info.isFile())
        throw fileError(path, QStringLiteral("is not a regular file: remove or replace it"));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        throw fileError(path, QStringLiteral("cannot be read (%1): make it readable by this "
                                             "user, or remove it")
                                  .arg(f.errorString()));
    if (f.size() > kLargestFile)
        throw fileError(path, QStringLiteral("is too large to be a settings file: remove it"));
    const QByteArray bytes = f.readAll();
    if (f.error() != QFileDevice::NoError)
        throw fileError(path, QStringLiteral("cannot be read (%1)").arg(f.errorString()));
    return SettingsFile::parse(path, bytes);
}

QString userName(uid_t uid)
{
    const passwd* pw = getpwuid(uid);
    return pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(uid);
}

// Who a file written here must belong to: the owner of what it replaces, or
// of the folder it goes in. Root setting a user's settings writes them as
// that user's, or the user could no longer read them.
struct Owner {
    uid_t uid = 0;
    gid_t gid = 0;
};

std::optional<Owner> ownerOf(const QString& path)
{
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    return Owner{st.st_uid, st.st_gid};
}

void giveTo(const QString& path, int fd, const std::optional<Owner>& owner)
{
    if (!owner || geteuid() != 0 || owner->uid == 0)
        return;
    const int done = fd >= 0 ? ::fchown(fd, owner->uid, owner->gid)
                             : ::chown(QFile::encodeName(path).constData(), owner->uid, owner->gid);
    if (done != 0)
        throw fileError(
            path, QStringLiteral("cannot be given to its owner %1").arg(userName(owner->uid)));
}

void prepareFolder(const QString& dir)
{
    if (folderExists(dir))
        return;
    // Made user-only as it is created, so it is never open to others.
    const QString parent = QFileInfo(dir).path();
    if (!QDir().mkpath(parent) || (!QDir().mkdir(dir, kOwnerBits) && !QFileInfo(dir).isDir()))
        throw folderError(dir, QStringLiteral("cannot be created"));
    giveTo(dir, -1, ownerOf(parent));
}

void writeFile(const QString& path, const QByteArray& bytes, bool existed)
{
    const std::optional<Owner> owner = ownerOf(existed ? path : QFileInfo(path).path());
    // Replacing another user's file would make it this user's: refuse,
    // naming whose it is. Root gives the new file to its owner instead.
    if (existed && owner && geteuid() != 0 && owner->uid != geteuid())
        throw fileError(
            path,
            QStringLiteral("belongs to %1: change it as that user").arg(userName(owner->uid)));
    // Keeps whatever the user tightened, drops anything granted to others.
    const QFileDevice::Permissions permissions =
        existed ? QFile::permissions(path) & kOwnerBits : QFileDevice::Permissions(kUserOnlyFile);
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        throw fileError(path, QStringLiteral("cannot be written (%1)").arg(f.errorString()));
    // The save file is a new file: make it user-only before the password is in it.
    if (!f.setPermissions(permissions)) {
        f.cancelWriting();
        throw fileError(path, QStringLiteral("cannot be made user-only"));
    }
    try {
        giveTo(path, int(f.handle()), owner);
    } catch (...) {
        f.cancelWriting();
        throw;
    }
    f.write(bytes);
    if (!f.commit())
        throw fileError(path, QStringLiteral("cannot be written (%1)").arg(f.errorString()));
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

// The file of that name in any case; get and set report two such files.
QString SettingsStore::filePath(const QString& application)
{
    const QString dir = folder();
    const QString exact = QDir(dir).filePath(application + QStringLiteral(".ini"));
    const QStringList names = namesOf(dir, application);
    return names.size() == 1 ? QDir(dir).filePath(names.first()) : exact;
}

QString SettingsStore::get(const QString& application, const QString& section, const QString& key)
{
    checkApplication(application);
    const Located file = locate(application);
    if (!file.exists)
        return QString();
    return readFile(file.path).value(section, key).value_or(QString());
}

void SettingsStore::set(const QString& application, const QString& section, const QString& key,
                        const QString& value)
{
    checkApplication(application);
    SettingsFile::checkWritable(section, key, value);
    const QString dir = folder();
    prepareFolder(dir);
    // Two programs changing the same file at once would lose one change.
    QLockFile lock(
        QDir(dir).filePath(u'.' + application.toCaseFolded() + QStringLiteral(".ini.lock")));
    if (!lock.tryLock(10000)) {
        if (lock.error() == QLockFile::PermissionError || !QFileInfo(dir).isWritable())
            throw folderError(dir, QStringLiteral("is read-only for this user, so its settings "
                                                  "cannot be changed: give this user write "
                                                  "access to the folder"));
        throw fileError(filePath(application),
                        QStringLiteral("is being changed by another program: try again"));
    }
    const Located file = locate(application);
    SettingsFile settings = file.exists ? readFile(file.path) : SettingsFile();
    if (settings.set(section, key, value))
        writeFile(file.path, settings.bytes(), file.exists);
}

QList<SettingsStore::Entry> SettingsStore::all()
{
    QList<Entry> out;
    const QString dir = folder();
    if (!folderExists(dir))
        return out;
    QStringList names = QDir(dir).entryList(kListAll, QDir::Name | QDir::IgnoreCase);
    names.removeIf([](const QString& name) {
        return name.size() <= 4 || !name.endsWith(QStringLiteral(".ini"), Qt::CaseInsensitive);
    });
    QHash<QString, QString> byFolded;
    for (const QString& name : std::as_const(names)) {
        const QString other = byFolded.value(name.toCaseFolded());
        if (!other.isEmpty())
            throw caseClash(dir, other, name);
        byFolded.insert(name.toCaseFolded(), name);
    }
    for (const QString& name : std::as_const(names)) {
        const QString application = name.chopped(4);
        for (const SettingsFile::Value& v : readFile(QDir(dir).filePath(name)).values())
            out.append({application, v.section, v.key, v.value});
    }
    return out;
}
