#pragma once

#include <QByteArray>
#include <QChar>
#include <QString>

namespace corvane {

// Texts travel as single bytes in Windows-1251: free texts in the logger, cell texts in work
// files, the CSV export. The mapping is built in so that it never depends on the machine's
// codecs. Every byte decodes to one character and encodes back to itself; the one byte the code
// page leaves unassigned (0x98) stands for U+0098 so that it, too, survives a round trip.
QChar decodeWindows1251(char byte);
QString decodeWindows1251(const QByteArray &bytes);

// A character the code page cannot hold becomes '?'. One byte per QString character, so a
// character outside the Basic Multilingual Plane gives two.
char encodeWindows1251(QChar character);
QByteArray encodeWindows1251(const QString &text);

} // namespace corvane
