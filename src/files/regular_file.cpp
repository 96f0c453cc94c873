#include "regular_file.h"

#include <QFile>

#include <cerrno>
#include <cstring>

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

int openRegularFileForWriting(const QString &path, int flags, QString *problem) {
    const auto failed = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return -1;
    };
    const QByteArray name = QFile::encodeName(path);
    struct stat entry {};
    if (::lstat(name.constData(), &entry) == 0 && S_ISLNK(entry.st_mode))
        return failed(QStringLiteral("it is a symbolic link"));
    if (isNonRegularFile(path))
        return failed(QStringLiteral("it is not a regular file"));
    // Without O_NONBLOCK opening a FIFO would wait for its reader.
    const int fd = ::open(name.constData(), flags | O_CREAT | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW,
                          0666);
    if (fd < 0) {
        return failed(errno == ELOOP ? QStringLiteral("it is a symbolic link")
                                     : QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return failed(QStringLiteral("it is not a regular file"));
    }
    return fd;
}

} // namespace corvane
