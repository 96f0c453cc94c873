#include "regular_file.h"

#include <QFile>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace corvane {

bool isNonRegularFile(const QString &path) {
    struct stat info {};
    return ::stat(QFile::encodeName(path).constData(), &info) == 0 && !S_ISREG(info.st_mode);
}

RegularFileOpen openRegularFile(QFile &file, const QString &path) {
    // Looked at before opening too: opening a device can have effects of its own (a serial line
    // raises its control lines), and nothing of that kind is wanted from a file command.
    if (isNonRegularFile(path))
        return RegularFileOpen::NotRegular;
    // Without O_NONBLOCK the open itself waits for a FIFO's writer.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return RegularFileOpen::Failed;
    struct stat info {};
    const bool known = ::fstat(fd, &info) == 0;
    if (!known || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return known ? RegularFileOpen::NotRegular : RegularFileOpen::Failed;
    }
    file.setFileName(path);
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return RegularFileOpen::Failed;
    }
    return RegularFileOpen::Opened;
}

} // namespace corvane
