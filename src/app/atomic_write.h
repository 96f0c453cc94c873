#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Replaces the file at `path` with `bytes` through a temporary file and a rename, so that a
// failure leaves the old file as it was. False when anything failed.
//
// QSaveFile alone is not enough: it buffers the data and writes it while committing, and when
// that write stops half-way (a full disk) commit() still renames the truncated file into place.
// Flushing first surfaces the error while the old file is still untouched.
bool writeFileAtomically(const QString &path, const QByteArray &bytes);

} // namespace corvane
