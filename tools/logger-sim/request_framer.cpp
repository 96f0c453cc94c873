#include "request_framer.h"

#include "crc16.h"

#include <cstdint>

namespace corvane {
namespace {

// A Modbus RTU frame is at most 256 bytes long.
constexpr int kMaxFrame = 256;

int byteAt(const QByteArray &bytes, int index) {
    return static_cast<std::uint8_t>(bytes.at(index));
}

// Length once the byte at countIndex is known; the byte count adds to fixed.
int withByteCount(const QByteArray &buffer, int countIndex, int fixed) {
    if (buffer.size() <= countIndex)
        return countIndex + 1;
    return fixed + byteAt(buffer, countIndex);
}

} // namespace

int RequestFramer::expectedLength(const QByteArray &buffer) {
    if (buffer.size() < 2)
        return 2;
    switch (byteAt(buffer, 1)) {
    case 0x01: // coils, discrete inputs, holding and input registers, single writes
    case 0x02:
    case 0x03:
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x08: // diagnostics
        return 8;
    case 0x07: // exception status, event counter and log, report server ID
    case 0x0B:
    case 0x0C:
    case 0x11:
        return 4;
    case 0x0F: // write multiple coils and registers: byte count in byte 6
    case 0x10:
        return withByteCount(buffer, 6, 9);
    case 0x14: // file records: byte count in byte 2
    case 0x15:
        return withByteCount(buffer, 2, 5);
    case 0x16: // mask write
        return 10;
    case 0x17: // read/write multiple registers: byte count in byte 10
        return withByteCount(buffer, 10, 13);
    case 0x18: // FIFO queue
        return 6;
    case 0x2B: // only the device identification carries a length we know
        if (buffer.size() < 3)
            return 3;
        return byteAt(buffer, 2) == 0x0E ? 7 : 0;
    case 0x47: // the logger's service function: data length in byte 3
        return withByteCount(buffer, 3, 6);
    default:
        return 0;
    }
}

void RequestFramer::feed(const QByteArray &bytes) {
    m_buffer.append(bytes);
}

std::optional<QByteArray> RequestFramer::nextFrame() {
    while (!m_buffer.isEmpty()) {
        const int length = expectedLength(m_buffer);
        if (length == 0 || length > kMaxFrame) {
            dropFirstByte();
            continue;
        }
        if (m_buffer.size() < length)
            return std::nullopt;
        const QByteArray frame = m_buffer.left(length);
        if (Crc16(frame) != 0) {
            dropFirstByte();
            continue;
        }
        m_buffer.remove(0, length);
        return frame;
    }
    return std::nullopt;
}

void RequestFramer::dropFirstByte() {
    if (m_buffer.isEmpty())
        return;
    m_discarded.append(m_buffer.at(0));
    m_buffer.remove(0, 1);
}

QByteArray RequestFramer::takeDiscarded() {
    QByteArray discarded;
    discarded.swap(m_discarded);
    return discarded;
}

} // namespace corvane
