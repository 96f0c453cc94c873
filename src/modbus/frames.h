#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

// Request frames, built without touching the line. Every builder closes the frame with its CRC
// (low byte first); 16-bit fields go high byte first and take the low 16 bits of what is passed.
// The largest request is a write of 16 registers: 41 bytes.
inline constexpr int kMaxFrameLength = 41;

QByteArray readHoldingFrame(int slave, int start, int count);
QByteArray readInputFrame(int slave, int start, int count);

// The one-byte value lands in the low byte (placement 1) or the high byte (placement 2) of the
// register; any other placement writes 0x0000. The device's language byte shares register 0x8010
// with the pulse length, which is why the high-byte placement exists at all.
QByteArray writeSingleFrame(int slave, int reg, int value, int placement);

// Function 0x10 with count registers (1 to 16). The data area is always exactly 2 x count bytes:
// a short payload is padded with 0x00, a long one is cut. Returns an empty array for a count
// outside 1 to 16.
QByteArray writeMultipleFrame(int slave, int start, int count, const QByteArray &payload);

// The 13-byte clock write: function 0x10, registers 0x8012 and 0x8013, from the four payload
// bytes date high, date low, hour, minute (missing bytes are 0x00).
QByteArray clockFrame(int slave, const QByteArray &payload);

QByteArray readFileRecordFrame(int slave, int file, int record, int length);

// Function 0x15 with one sub-request. recordBytes must be an even number of bytes, 2 to 12;
// anything else gives an empty array, since the record length field could not describe it.
QByteArray writeFileRecordFrame(int slave, int file, int record, const QByteArray &recordBytes);

QByteArray readDeviceIdFrame(int slave, int code);
QByteArray serviceQueryFrame(int slave, int subCode);
// Function 0x47 with data: slave, 0x47, sub-code, length, data, CRC. At most 4 data bytes.
QByteArray serviceCommandFrame(int slave, int subCode, const QByteArray &data);

} // namespace corvane
