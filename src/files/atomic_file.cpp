#include "atomic_file.h"

#include "regular_file.h"

namespace corvane {

AtomicFile::AtomicFile(const QString &path) : m_file(path) {}

bool AtomicFile::open() {
    // The rename would put a plain file in place of a device or a FIFO, and whoever writes to
    // one means its reader, not a new file of that name.
    if (isNonRegularFile(m_file.fileName())) {
        m_error = QStringLiteral("It is not a regular file");
        return false;
    }
    if (m_file.open(QIODevice::WriteOnly))
        return true;
    m_error = m_file.errorString();
    return false;
}

bool AtomicFile::commit(const QByteArray &bytes) {
    if (!m_file.isOpen()) {
        m_error = QStringLiteral("The file is not open");
        return false;
    }
    if (m_file.write(bytes) != bytes.size() || !m_file.flush() ||
        m_file.error() != QFileDevice::NoError) {
        // Cancelling replaces the error text, and the real cause is the one worth showing.
        m_error = m_file.errorString();
        m_file.cancelWriting();
        m_file.commit();
        return false;
    }
    if (m_file.commit())
        return true;
    m_error = m_file.errorString();
    return false;
}

bool replaceFile(const QString &path, const QByteArray &bytes, QString *errorText) {
    AtomicFile file(path);
    const bool written = file.open() && file.commit(bytes);
    if (!written && errorText)
        *errorText = file.errorString();
    return written;
}

} // namespace corvane
