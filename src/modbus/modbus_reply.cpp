#include "modbus_reply.h"

#include "crc16.h"
#include "function_codes.h"

#include <algorithm>

namespace corvane {
namespace {

int byteAt(const QByteArray &raw, int position) {
    return static_cast<std::uint8_t>(raw.at(position));
}

constexpr int kExceptionReplyLength = 5;
constexpr int kCrcLength = 2;

// Device identification: addr, 2B, 0E, code, conformity, more, next id, count, then objects of
// id, length, text.
int deviceIdLength(const QByteArray &raw) {
    constexpr int kObjectCountPosition = 7;
    if (raw.size() <= kObjectCountPosition)
        return 0;
    int position = kObjectCountPosition + 1;
    for (int object = byteAt(raw, kObjectCountPosition); object > 0; --object) {
        if (raw.size() <= position + 1)
            return 0;
        position += 2 + byteAt(raw, position + 1);
    }
    return position + kCrcLength;
}

} // namespace

ModbusReply ModbusReply::fromChecked(const QByteArray &raw, const ReplyVerdict &verdict) {
    ModbusReply reply;
    const int end = verdict.accepted() ? std::clamp(verdict.crcPosition, 0, int(raw.size())) : 0;
    if (end > 0)
        reply.address = static_cast<std::uint8_t>(raw.at(0));
    if (end > 1)
        reply.function = static_cast<std::uint8_t>(raw.at(1));
    if (end > kPayloadPosition)
        reply.payload = raw.mid(kPayloadPosition, end - kPayloadPosition);
    return reply;
}

int expectedReplyLength(const QByteArray &raw) {
    if (raw.size() < 2)
        return 0;
    const int function = byteAt(raw, 1);
    if (function & kExceptionFlag)
        return kExceptionReplyLength;
    switch (function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteFileRecord):
        // Byte count at 2, then the data and the CRC.
        return raw.size() > 2 ? 3 + byteAt(raw, 2) + kCrcLength : 0;
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
        return 8;
    case code(FunctionCode::EncapsulatedInterface):
        return deviceIdLength(raw);
    case code(FunctionCode::LoggerService):
        // Sub-code at 2, data length at 3.
        return raw.size() > 3 ? 4 + byteAt(raw, 3) + kCrcLength : 0;
    default:
        return 0;
    }
}

bool isCompleteReply(const QByteArray &raw, int requestAddress, int requestFunction) {
    if (raw.size() < 2 || byteAt(raw, 0) != requestAddress ||
        (byteAt(raw, 1) & ~kExceptionFlag) != requestFunction)
        return false;
    const int length = expectedReplyLength(raw);
    if (length < 4)
        return false;
    // A filler 0x00 that came with the frame changes nothing for the decoders, which see the
    // same bytes when the whole window is waited out; anything else after it might be the start
    // of something the full window would show, so that waits.
    const bool exact = raw.size() == length;
    const bool filler = raw.size() == length + 1 && raw.at(length) == '\0';
    if (!exact && !filler)
        return false;
    // A frame followed by its own CRC checks to zero.
    return Crc16(raw.left(length)) == 0;
}

} // namespace corvane
