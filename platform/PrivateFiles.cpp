#include "PrivateFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

namespace {
constexpr auto kOwnerFile = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
constexpr auto kOwnerFolder = kOwnerFile | QFileDevice::ExeOwner;
} // namespace

bool PrivateFiles::makeFolder(const QString& path)
{
    // Walk up to the first folder that exists; every one below it is ours.
    QStringList missing;
    QString at = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    while (!QFileInfo(at).exists()) {
        missing.prepend(at);
        const QString parent = QFileInfo(at).path();
        if (parent == at)
            break;
        at = parent;
    }
    if (!QFileInfo(at).isDir() && !missing.contains(at))
        return false;
    for (const QString& folder : missing) {
        if (!QDir().mkdir(folder, kOwnerFolder) && !QFileInfo(folder).isDir())
            return false;
    }
    return QFileInfo(path).isDir();
}

bool PrivateFiles::touchFile(const QString& path)
{
    if (QFileInfo::exists(path))
        return true;
    QFile f(path);
    // NewOnly: a file another process made meanwhile is left as it is.
    if (f.open(QIODevice::WriteOnly | QIODevice::NewOnly, kOwnerFile))
        return true;
    return QFileInfo::exists(path);
}
