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

} // namespace corvane
