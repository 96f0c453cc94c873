#include "modbus_reply.h"

#include "crc16.h"
#include "function_codes.h"

#include <algorithm>

namespace corvane {
namespace {

int byteAt(QByteArrayView raw, qsizetype position) {
    return static_cast<std::uint8_t>(raw.at(position));
}

int wordAt(QByteArrayView raw, qsizetype position) {
    return byteAt(raw, position) << 8 | byteAt(raw, position + 1);
}

constexpr int kExceptionReplyLength = 5;
constexpr int kCrcLength = 2;

// Device identification: addr, 2B, 0E, code, conformity, more, next id, count, then objects of
// id, length, text.
int deviceIdLength(QByteArrayView raw) {
    constexpr int kObjectCountPosition = 7;
    if (raw.size() <= kObjectCountPosition)
        return 0;
    qsizetype position = kObjectCountPosition + 1;
    for (int object = byteAt(raw, kObjectCountPosition); object > 0; --object) {
        if (raw.size() <= position + 1)
            return 0;
        position += 2 + byteAt(raw, position + 1);
    }
    return int(position) + kCrcLength;
}

// Whether bytes [from, from + length) of both are the same; false when either is too short.
bool sameBytes(QByteArrayView a, QByteArrayView b, qsizetype from, qsizetype length) {
    return a.size() >= from + length && b.size() >= from + length &&
           a.sliced(from, length) == b.sliced(from, length);
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

int expectedReplyLength(QByteArrayView raw) {
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

bool answersRequest(const QByteArray &raw, const SentRequest &request) {
    if (request.function == 0)
        return true;
    if (raw.size() < 2)
        return false;
    const int function = byteAt(raw, 1);
    // An exception is the device's answer to what was asked, whatever the request held.
    if (function == (request.function | kExceptionFlag))
        return true;
    if (function != request.function)
        return false;
    const QByteArrayView asked(request.frame);
    if (asked.isEmpty())
        return true;
    // Request frames are built by the master, but a short one is never read past either.
    switch (function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
        return asked.size() >= 6 && raw.size() > 2 && byteAt(raw, 2) == 2 * wordAt(asked, 4);
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
        // Address and value, or start and quantity.
        return sameBytes(raw, asked, 2, 4);
    case code(FunctionCode::ReadFileRecord): {
        // Request: addr, 14, 07, reference type, file, record, length. Reply: addr, 14, data
        // length, record length, reference type, the record. The record's own length and type
        // are what tell one record's answer from another's; the data length only frames it.
        if (asked.size() < 10 || raw.size() < 5)
            return false;
        const int recordLength = 1 + 2 * wordAt(asked, 8);
        return byteAt(raw, 3) == recordLength && byteAt(raw, 4) == byteAt(asked, 3);
    }
    case code(FunctionCode::WriteFileRecord): {
        // The reply is the request itself: its byte count, then the sub-request it wrote.
        if (asked.size() < 3)
            return false;
        return sameBytes(raw, asked, 2, 1 + byteAt(asked, 2));
    }
    case code(FunctionCode::EncapsulatedInterface):
    case code(FunctionCode::LoggerService):
        // The MEI type, or the sub-code.
        return sameBytes(raw, asked, 2, 1);
    default:
        return true;
    }
}

int checkedFrameAt(QByteArrayView raw, qsizetype from) {
    if (from < 0 || from >= raw.size())
        return 0;
    const QByteArrayView rest = raw.sliced(from);
    const int length = expectedReplyLength(rest);
    if (length < 4 || length > rest.size())
        return 0;
    // A frame followed by its own CRC checks to zero.
    const auto *bytes = reinterpret_cast<const std::uint8_t *>(rest.data());
    return Crc16(bytes, std::size_t(length)) == 0 ? length : 0;
}

bool isCompleteReply(const QByteArray &raw, const SentRequest &request) {
    if (raw.size() < 2 || byteAt(raw, 0) != request.address)
        return false;
    const int length = checkedFrameAt(raw, 0);
    if (length == 0)
        return false;
    // A filler 0x00 that came with the frame changes nothing for the decoders, which see the
    // same bytes when the whole window is waited out; anything else after it might be the start
    // of something the full window would show, so that waits.
    const bool exact = raw.size() == length;
    const bool filler = raw.size() == length + 1 && raw.at(length) == '\0';
    return (exact || filler) && answersRequest(raw, request);
}

bool isCompleteReply(const QByteArray &raw, int requestAddress, int requestFunction) {
    return isCompleteReply(raw, SentRequest{requestAddress, requestFunction});
}

} // namespace corvane
