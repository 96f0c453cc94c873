#pragma once

#include <QDir>
#include <QString>
#include <QTemporaryDir>

namespace corvane::fuzz {

// A folder for the file targets, in memory where there is a tmpfs: the settings writer syncs
// every file it replaces, which on a disk would slow fuzzing to a crawl.
inline QString scratchPath(const QString &name) {
    static const QString base =
        QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    static QTemporaryDir dir(base + QStringLiteral("/corvane-fuzz-XXXXXX"));
    return dir.filePath(name);
}

} // namespace corvane::fuzz
