#include "decoders.h"

#include "address_store.h"
#include "device_model.h"
#include "device_tables.h"
#include "device_view.h"
#include "engine_state.h"
#include "modbus_reply.h"
#include "register_map.h"
#include "table_rows.h"
#include "value_encoding.h"
#include "windows1251.h"

#include <algorithm>
#include <cstdint>

namespace corvane {
namespace {

// Byte positions in replies. Register blocks: address, function, byte count, data.
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

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

} // namespace

void DecodeWordBlock(const ModbusReply &frame, int row, DecodeContext &ctx) {
    const bool known = row == kRowUnit || row == kRowPulseConstant || row == kRowUserNumber ||
                       isTariffStartRow(row);
    if (!known)
        return;
    StringGrid &grid = ctx.tables.Grid_data;
    const int values = blockValues(frame, kWordBytes);
    for (int input = 1; input <= values; ++input) {
        const int position = kBlockDataPosition + kWordBytes * (input - 1);
        const int value = word(frame, position);
        if (row == kRowUnit) {
            grid.setCell(input, row, unitText(value));
        } else if (isTariffStartRow(row)) {
            grid.setCell(input, row, QString::number(frame.at(position)));
            grid.setCell(input, row + 1, QString::number(frame.at(position + 1)));
        } else {
            grid.setCell(input, row, QString::number(value));
        }
    }
}

void DecodeLongBlock(const ModbusReply &frame, LongBlockTable table, int row, DecodeContext &ctx) {
    const bool readMode = table == LongBlockTable::Parameters;
    const bool known = readMode ? isTenthsRow(row)
                                : (row >= kRowTotalConsumption && row <= kRowTariff4Pulses) ||
                                      row == kFlowBlockRow;
    if (!known)
        return;
    DeviceTables &tables = ctx.tables;
    const int values = blockValues(frame, kLongBytes);
    for (int input = 1; input <= values; ++input) {
        const std::int32_t value = signedLong(frame, kBlockDataPosition + kLongBytes * (input - 1));
        if (readMode) {
            tables.Grid_data.setCell(input, row, formatTenths(value, ctx.locale));
        } else if (row == kFlowBlockRow) {
            tables.Grid_flow.setCell(input, kRowFlow,
                                     formatTenths(value, ctx.locale) + QStringLiteral(" l/s"));
        } else if (row == kRowTotalConsumption) {
            tables.Grid_data2.setCell(input, row,
                                      formatTenths(value, ctx.locale) + QLatin1Char(' ') +
                                          tables.Grid_data.cell(input, kRowUnit));
        } else {
            tables.Grid_data2.setCell(input, row, QString::number(value));
        }
    }
}

void DecodeFreeText(const ModbusReply &frame, int input, DecodeContext &ctx) {
    if (input < 1 || input > kMaxInputs)
        return;
    if (!frame.has(kRecordLengthPosition))
        return;
    const int last =
        std::min(kRecordDataPosition + 2 * frame.at(kRecordLengthPosition), frame.end());
    QByteArray bytes;
    for (int position = kRecordDataPosition; position < last; ++position) {
        if (frame.at(position) != 0)
            bytes.append(char(frame.at(position)));
    }
    ctx.tables.Grid_data.setCell(input, kRowFreeText, decodeWindows1251(bytes));
}

void DecodeClock(const ModbusReply &frame, DecodeContext &ctx) {
    constexpr int kDate = 3, kHour = 5, kMinute = 6;
    if (!frame.has(kMinute))
        return;
    const ClockDate clock = unpackClockDate(std::uint16_t(word(frame, kDate)));
    const QString time =
        twoDigits(frame.at(kHour)) + QLatin1Char(':') + twoDigits(frame.at(kMinute));
    const QString date = twoDigits(clock.day) + QLatin1Char('.') + twoDigits(clock.month) +
                         QLatin1Char('.') + QString::number(clock.year);
    ctx.out.showClock(time, date);
}

void DecodeBattery(const ModbusReply &frame, DecodeContext &ctx) {
    if (!frame.has(kFirstRegisterLowPosition))
        return;
    ctx.out.showBattery(formatBatteryLevel(frame.at(kFirstRegisterLowPosition), ctx.locale));
}

void DecodeInputStatus(const ModbusReply &frame, DecodeContext &ctx) {
    if (!frame.has(kFirstRegisterLowPosition))
        return;
    ctx.out.showInputStatus(frame.at(kFirstRegisterLowPosition));
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

void DecodeDeviceId(const ModbusReply &frame, DecodeContext &ctx) {
    const QString identification = identificationText(frame);
    ctx.out.showIdentification(identification);

    DeviceState &device = ctx.device;
    device.DeviceType = recognizeModel(identification);
    ctx.out.showModel(device.DeviceType);
    if (const ModelInfo *model = findModel(device.DeviceType))
        applyModelLayout(*model, ctx.tables.Grid_data, ctx.tables.Grid_data2, ctx.engine, ctx.out);
    ctx.store.setModel(ctx.selectedAddress, device.DeviceType.left(kModelTextLength));
}

void DecodeMenuCode(const ModbusReply &frame, DecodeContext &ctx) {
    if (!frame.has(kMenuCodePosition + kMenuCodeLength - 1))
        return;
    // An edit box ends its text at a 0x00, so the code shown ends there too.
    QByteArray code;
    for (int i = 0; i < kMenuCodeLength; ++i) {
        const int byte = frame.at(kMenuCodePosition + i);
        if (byte == 0)
            break;
        code.append(char(byte));
    }
    ctx.out.showMenuCode(decodeWindows1251(code));
}

void DecodePulseSettings(const ModbusReply &frame, DecodeContext &ctx) {
    constexpr int kPulseLength = 3, kLanguage = 4;
    if (!frame.has(kLanguage))
        return;
    const QString pulses =
        QString::number(frame.at(kPulseLength) * kPulseLengthStepMs) + QStringLiteral(" ms");
    ctx.out.showPulseLength(pulses);
    QString language = QStringLiteral("Unknown");
    if (frame.at(kLanguage) == kLanguageBulgarian)
        language = QStringLiteral("Bulgarian");
    else if (frame.at(kLanguage) == kLanguageEnglish)
        language = QStringLiteral("English");
    ctx.out.showLanguage(language);
}

void DecodeServiceReply(int kind, DecodeContext &ctx) {
    if (kind == kServiceKindLock)
        ctx.out.showLockState(true);
    else if (kind == kServiceKindUnlock)
        ctx.out.showLockState(false);
    else if (kind == kServiceKindInputCount)
        ctx.out.log(QStringLiteral("Number of inputs changed..."));
}

} // namespace corvane
