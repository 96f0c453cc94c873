#pragma once

#include "crc16.h"

#include <QByteArray>

namespace corvane::test {

// A frame written in hex without its CRC, as the tests' tables give it, with the CRC appended.
inline QByteArray withCrc(const QByteArray &hex) {
    QByteArray frame = QByteArray::fromHex(hex);
    appendCrc(frame);
    return frame;
}

} // namespace corvane::test
