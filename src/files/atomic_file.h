#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>

namespace corvane {

// Replaces a file's content through a temporary file in the same folder that is renamed over
// the old file only when everything was written. Until then, and after any failure, the old
// file stays exactly as it was.
//
// Two steps, because the commands report "cannot be created" and "write failed" differently:
// open() is the creation test, commit() writes, flushes and renames.
//
// QSaveFile alone is not enough: it buffers the data and writes it while committing, and when
// that write stops half-way (a full disk) commit() still renames the truncated file into place.
// Flushing first surfaces the error while the old file is still untouched.
class AtomicFile {
public:
    explicit AtomicFile(const QString &path);
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    // False when the temporary file cannot be made (missing folder, no rights) or when the path
    // names anything but a regular file (a folder, a device, a FIFO, or a link to one), which
    // is then left alone.
    bool open();
    // False when writing, flushing or renaming failed; the temporary file is then removed.
    bool commit(const QByteArray &bytes);
    QString errorString() const { return m_error; }

private:
    QSaveFile m_file;
    QString m_error;
};

// Both steps at once. False when anything failed; errorText (when given) then says what.
bool replaceFile(const QString &path, const QByteArray &bytes, QString *errorText = nullptr);

} // namespace corvane
