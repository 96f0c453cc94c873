#include "crc16.h"

namespace corvane {

std::uint16_t Crc16(const std::uint8_t *bytes, std::size_t length) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < length; ++i) {
        crc ^= bytes[i];
        for (int bit = 0; bit < 8; ++bit) {
            if (crc & 1)
                crc = static_cast<std::uint16_t>((crc >> 1) ^ 0xA001);
            else
                crc = static_cast<std::uint16_t>(crc >> 1);
        }
    }
    return crc;
}

std::uint16_t Crc16(const QByteArray &bytes) {
    return Crc16(reinterpret_cast<const std::uint8_t *>(bytes.constData()),
                 static_cast<std::size_t>(bytes.size()));
}

void appendCrc(QByteArray &frame) {
    const std::uint16_t crc = Crc16(frame);
    frame.append(static_cast<char>(crcLow(crc)));
    frame.append(static_cast<char>(crcHigh(crc)));
}

} // namespace corvane
