#pragma once

#include <QByteArray>

#include <cstddef>
#include <cstdint>

namespace corvane {

// Modbus CRC-16: reflected polynomial 0xA001, start 0xFFFF, no final XOR. On the wire the low
// byte goes first, so a whole frame including its CRC checks to 0x0000.
std::uint16_t Crc16(const std::uint8_t *bytes, std::size_t length);
std::uint16_t Crc16(const QByteArray &bytes);

inline std::uint8_t crcHigh(std::uint16_t crc) { return static_cast<std::uint8_t>(crc >> 8); }
inline std::uint8_t crcLow(std::uint16_t crc) { return static_cast<std::uint8_t>(crc & 0xFF); }

// Appends the CRC of everything in the frame so far, low byte first.
void appendCrc(QByteArray &frame);

} // namespace corvane
