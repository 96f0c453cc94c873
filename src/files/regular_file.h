#pragma once

#include <QString>

class QFile;

namespace corvane {

// Whether path names something that exists and is not a regular file: a FIFO, a device, a
// socket or a folder. Symbolic links count as what they finally point to; a missing path or a
// dangling link is not one.
bool isNonRegularFile(const QString &path);

enum class RegularFileOpen { Opened, NotRegular, Failed };

// Opens path read-only into file, but only when it is a regular file (links followed). A FIFO
// would block the window until a writer came along and a device never ends, so neither is read.
// The check is made on the opened descriptor, so the path cannot change in between.
RegularFileOpen openRegularFile(QFile &file, const QString &path);

// Opens path for writing (flags: O_WRONLY or O_RDWR, with O_APPEND or O_TRUNC), creating it
// when missing, but only a regular file reached without a symbolic link: a link may point
// anywhere, or nowhere yet, and a FIFO or a device is never written to. The last component is
// opened with O_NOFOLLOW and checked on the descriptor, so nothing can take its place in
// between. Returns the descriptor, or -1 with the reason ("it is a symbolic link", "it is not a
// regular file", or the system's).
int openRegularFileForWriting(const QString &path, int flags, QString *problem);

} // namespace corvane
