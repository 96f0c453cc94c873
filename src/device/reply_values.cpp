#include "reply_values.h"

#include "modbus_reply.h"
#include "register_map.h"
#include "value_encoding.h"
#include "windows1251.h"

#include <algorithm>

namespace corvane {
namespace {

// Register blocks: address, function, byte count, data.
constexpr int kByteCountPosition = 2;
constexpr int kBlockDataPosition = 3;
constexpr int kWordBytes = 2;
constexpr int kLongBytes = 4;
// The low byte of the first register of a two-register read.
constexpr int kFirstRegisterLowPosition = 4;
// File record reply: the reference type (6, read as the register count), then the record.
constexpr int kRecordLengthPosition = 4;
constexpr int kRecordDataPosition = 5;
// Device identification reply: the text starts here and stops one byte short of the CRC.
constexpr int kIdentificationPosition = 7;
// Control bytes (the object ids and lengths among them) read as spaces.
constexpr int kHighestSpaceByte = 0x1E;
// Menu code reply: four characters.
constexpr int kMenuCodePosition = 4;
constexpr int kMenuCodeLength = 4;

using Frame = ModbusReply;

int word(const Frame &frame, int position) {
    return frame.at(position) << 8 | frame.at(position + 1);
}

std::int32_t signedLong(const Frame &frame, int position) {
    std::uint32_t bits = 0;
    for (int i = 0; i < kLongBytes; ++i)
        bits = bits << 8 | std::uint32_t(frame.at(position + i));
    return static_cast<std::int32_t>(bits);
}

// How many values of `size` bytes the byte count announces and the frame holds before its
// CRC, for at most the eight inputs the tables have.
int blockValues(const Frame &frame, int size) {
    if (!frame.has(kByteCountPosition))
        return 0;
    const int announced = frame.at(kByteCountPosition) / size;
    const int present = std::max(0, frame.end() - kBlockDataPosition) / size;
    return std::min({announced, present, kMaxInputs});
}

} // namespace

QList<int> wordValues(const ModbusReply &frame) {
    QList<int> values;
    for (int input = 0; input < blockValues(frame, kWordBytes); ++input)
        values << word(frame, kBlockDataPosition + kWordBytes * input);
    return values;
}

QList<std::int32_t> longValues(const ModbusReply &frame) {
    QList<std::int32_t> values;
    for (int input = 0; input < blockValues(frame, kLongBytes); ++input)
        values << signedLong(frame, kBlockDataPosition + kLongBytes * input);
    return values;
}

QList<TariffWindow> tariffWindows(const ModbusReply &frame) {
    QList<TariffWindow> windows;
    for (int input = 0; input < blockValues(frame, kWordBytes); ++input) {
        const int position = kBlockDataPosition + kWordBytes * input;
        windows << TariffWindow{frame.at(position), frame.at(position + 1)};
    }
    return windows;
}

std::optional<QString> freeTextValue(const ModbusReply &frame) {
    if (!frame.has(kRecordLengthPosition))
        return std::nullopt;
    const int last =
        std::min(kRecordDataPosition + 2 * frame.at(kRecordLengthPosition), frame.end());
    QByteArray bytes;
    for (int position = kRecordDataPosition; position < last; ++position) {
        if (frame.at(position) != 0)
            bytes.append(char(frame.at(position)));
    }
    return decodeWindows1251(bytes);
}

std::optional<LoggerClock> clockValue(const ModbusReply &frame) {
    constexpr int kDate = 3, kHour = 5, kMinute = 6;
    if (!frame.has(kMinute))
        return std::nullopt;
    const ClockDate date = unpackClockDate(std::uint16_t(word(frame, kDate)));
    return LoggerClock{frame.at(kHour), frame.at(kMinute), date.day, date.month, date.year};
}

std::optional<int> firstRegisterLowByte(const ModbusReply &frame) {
    if (!frame.has(kFirstRegisterLowPosition))
        return std::nullopt;
    return frame.at(kFirstRegisterLowPosition);
}

QString identificationText(const ModbusReply &frame) {
    // The byte just before the CRC is not part of the text.
    QString identification;
    for (int position = kIdentificationPosition; position < frame.end() - 1; ++position) {
        const int byte = frame.at(position);
        identification.append(byte <= kHighestSpaceByte ? QChar(u' ')
                                                        : decodeWindows1251(char(byte)));
    }
    return identification;
}

std::optional<QString> menuCodeValue(const ModbusReply &frame) {
    if (!frame.has(kMenuCodePosition + kMenuCodeLength - 1))
        return std::nullopt;
    QByteArray code;
    for (int i = 0; i < kMenuCodeLength; ++i) {
        const int byte = frame.at(kMenuCodePosition + i);
        if (byte == 0)
            break;
        code.append(char(byte));
    }
    return decodeWindows1251(code);
}

std::optional<PulseSettings> pulseSettingsValue(const ModbusReply &frame) {
    constexpr int kPulseLength = 3, kLanguage = 4;
    if (!frame.has(kLanguage))
        return std::nullopt;
    return PulseSettings{frame.at(kPulseLength) * kPulseLengthStepMs, frame.at(kLanguage)};
}

} // namespace corvane
