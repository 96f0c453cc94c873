#pragma once

#include "readings.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

namespace corvane {

struct ModbusReply;

// The values an accepted reply carries, taken apart without writing anywhere. Each reads only
// the reply's payload, the bytes before the CRC: a value of which any byte is missing is left
// out, and a fixed layout with a missing byte gives nothing. Positions count from the reply's
// address byte.

// One 16-bit (wordValues) or signed 32-bit (longValues) value per input of a register block: as
// many as its byte count announces and the frame holds, and at most the eight inputs a logger
// can have.
QList<int> wordValues(const ModbusReply &reply);
QList<std::int32_t> longValues(const ModbusReply &reply);
// A tariff's block holds a start hour and a duration per input, one byte each.
QList<TariffWindow> tariffWindows(const ModbusReply &reply);
// The text of a free-text file record, with its 0x00 bytes left out.
std::optional<QString> freeTextValue(const ModbusReply &reply);
std::optional<LoggerClock> clockValue(const ModbusReply &reply);
// The low byte of the first register of a two-register read: the battery byte, or the input
// status bits.
std::optional<int> firstRegisterLowByte(const ModbusReply &reply);
// The identification text of a device-identification reply, control bytes as spaces.
QString identificationText(const ModbusReply &reply);
// The menu access code, up to its first 0x00, as an edit box would end it.
std::optional<QString> menuCodeValue(const ModbusReply &reply);
std::optional<PulseSettings> pulseSettingsValue(const ModbusReply &reply);

} // namespace corvane
