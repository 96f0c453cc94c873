#pragma once

#include <QFile>
#include <QFileInfo>
#include <QString>
#include <QStringList>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace corvane::test {

// Files that are not regular files, where an operator may point a file command by mistake.
// Kinds: "fifo"; "device", a null character device (1, 3), which only root can make; and
// "link to fifo", a symbolic link at the path to a FIFO beside it named after it plus ".fifo".

inline QStringList specialFileKinds() {
    return {QStringLiteral("fifo"), QStringLiteral("device"), QStringLiteral("link to fifo")};
}

inline bool canMakeSpecialFile(const QString &kind) {
    return kind != QLatin1String("device") || ::geteuid() == 0;
}

inline bool makeSpecialFile(const QString &kind, const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    if (kind == QLatin1String("fifo"))
        return ::mkfifo(name.constData(), 0600) == 0;
    if (kind == QLatin1String("device"))
        return ::mknod(name.constData(), S_IFCHR | 0600, makedev(1, 3)) == 0;
    if (kind == QLatin1String("link to fifo"))
        return makeSpecialFile(QStringLiteral("fifo"), path + QStringLiteral(".fifo")) &&
               QFile::link(QFileInfo(path).fileName() + QStringLiteral(".fifo"), path);
    return false;
}

// What the path itself is, a link not followed: "fifo", "device", "link to fifo", "file",
// "link to file", "folder", "missing" or "other".
inline QString specialFileKind(const QString &path) {
    struct stat info {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("missing");
    if (S_ISLNK(info.st_mode)) {
        const QString target = specialFileKind(QFileInfo(path).symLinkTarget());
        return target == QLatin1String("fifo") || target == QLatin1String("file")
                   ? QStringLiteral("link to ") + target
                   : QStringLiteral("other");
    }
    if (S_ISFIFO(info.st_mode))
        return QStringLiteral("fifo");
    if (S_ISCHR(info.st_mode))
        return QStringLiteral("device");
    if (S_ISREG(info.st_mode))
        return QStringLiteral("file");
    if (S_ISDIR(info.st_mode))
        return QStringLiteral("folder");
    return QStringLiteral("other");
}

} // namespace corvane::test
