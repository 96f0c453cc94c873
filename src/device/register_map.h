#pragma once

#include <array>
#include <cstdint>

namespace corvane {

// Holding registers (read with 0x03, written with 0x10 or 0x06). A block of one value per input
// reserves 8 registers, or 16 for 32-bit values; a model with N inputs uses the first N (2N).
inline constexpr std::uint16_t kRegUnits = 0x8000;
inline constexpr std::uint16_t kRegPulseConstant = 0x8008;
// High byte: pulse length in 5 ms steps. Low byte: menu language.
inline constexpr std::uint16_t kRegPulseLengthLanguage = 0x8010;
inline constexpr std::uint16_t kRegBusAddress = 0x8011;
// Two registers: the packed date, then hour and minute.
inline constexpr std::uint16_t kRegClock = 0x8012;
inline constexpr int kClockRegisterCount = 2;
inline constexpr std::uint16_t kRegInputsDisplay = 0x8015;
inline constexpr std::uint16_t kRegTariff1 = 0x8016;
inline constexpr std::uint16_t kRegTariff2 = 0x801E;
inline constexpr std::uint16_t kRegTariff3 = 0x8026;
inline constexpr std::uint16_t kRegTariff4 = 0x802E;
inline constexpr std::array<std::uint16_t, 4> kRegTariffs{kRegTariff1, kRegTariff2, kRegTariff3,
                                                          kRegTariff4};
inline constexpr std::uint16_t kRegUserNumber = 0x8036;
inline constexpr std::uint16_t kRegInitialValue = 0x803E;
inline constexpr std::uint16_t kRegTariff1InitialValue = 0x804E;
inline constexpr std::uint16_t kRegTariff2InitialValue = 0x805E;
inline constexpr std::uint16_t kRegTariff3InitialValue = 0x806E;
inline constexpr std::uint16_t kRegTariff4InitialValue = 0x807E;
inline constexpr std::array<std::uint16_t, 4> kRegTariffInitialValues{
    kRegTariff1InitialValue, kRegTariff2InitialValue, kRegTariff3InitialValue,
    kRegTariff4InitialValue};

// Language codes in the low byte of kRegPulseLengthLanguage.
inline constexpr int kLanguageBulgarian = 0;
inline constexpr int kLanguageEnglish = 1;

// Input registers (read only, function 0x04). Counters are signed 32-bit, two registers each.
inline constexpr std::uint16_t kInRegTotalPulses = 0x0000;
inline constexpr std::uint16_t kInRegTariff1Pulses = 0x0010;
inline constexpr std::uint16_t kInRegTariff2Pulses = 0x0020;
inline constexpr std::uint16_t kInRegTariff3Pulses = 0x0030;
inline constexpr std::uint16_t kInRegTariff4Pulses = 0x0040;
inline constexpr std::array<std::uint16_t, 4> kInRegTariffPulses{
    kInRegTariff1Pulses, kInRegTariff2Pulses, kInRegTariff3Pulses, kInRegTariff4Pulses};
inline constexpr std::uint16_t kInRegConsumption = 0x0050;
inline constexpr std::uint16_t kInRegFlow = 0x0060;
inline constexpr std::uint16_t kInRegBattery = 999;
inline constexpr int kBatteryRegisterCount = 2;
inline constexpr std::uint16_t kInRegInputStatus = 2000;

// File records (functions 0x14 and 0x15): record k - 1 of this file is input k's free text.
inline constexpr std::uint16_t kFreeTextFile = 10;
inline constexpr std::uint16_t kFreeTextRecordLength = 6;
inline constexpr std::uint8_t kFileReferenceType = 6;

// Read Device Identification (0x2B / MEI 0x0E).
inline constexpr std::uint8_t kDeviceIdCode = 2;
inline constexpr std::uint8_t kDeviceIdObject = 0;

// Sub-codes of the logger's own service function 0x47.
inline constexpr std::uint8_t kServiceSetId = 0;
inline constexpr std::uint8_t kServiceSetLineSettings = 1;
inline constexpr std::uint8_t kServiceReadMenuCode = 2;
inline constexpr std::uint8_t kServiceSetMenuCode = 3;
inline constexpr std::uint8_t kServiceStatusQuery = 4;
inline constexpr std::uint8_t kServiceLock = 5;
inline constexpr std::uint8_t kServiceUnlock = 25;
inline constexpr std::uint8_t kServiceSetInputCount = 42;
inline constexpr std::uint8_t kServiceSetPolarity = 50;

// The service commands, each sent with its own sub-code of 0x47.
enum class ServiceCommand { ChangeId, LineSettings, MenuCode, Unlock, InputCount, Lock, Polarity };

// Pulse length codes: the length in units of 5 ms, sent in the high byte of
// kRegPulseLengthLanguage.
inline constexpr int kPulseLengthStepMs = 5;
struct PulseLength {
    const char *text;
    std::uint8_t code;
};
inline constexpr std::array<PulseLength, 5> kPulseLengths{
    {{"5 ms", 1}, {"10 ms", 2}, {"20 ms", 4}, {"50 ms", 10}, {"100 ms", 20}}};

// Unit codes held in kRegUnits.
inline constexpr int kUnitNone = 0;
inline constexpr int kUnitCubicMetre = 1;
inline constexpr int kUnitKilowattHour = 2;
inline constexpr int kUnitKilojoule = 3;

} // namespace corvane
