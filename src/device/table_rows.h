#pragma once

#include <array>

namespace corvane {

inline constexpr int kMaxInputs = 8;
// Title column plus one column per input of the largest model.
inline constexpr int kTableColumns = kMaxInputs + 1;

// Rows of the parameter table Grid_data.
inline constexpr int kRowUnit = 1;
inline constexpr int kRowPulseConstant = 2;
inline constexpr int kRowUserNumber = 3;
inline constexpr int kRowFreeText = 4;
inline constexpr int kRowInitialValue = 5;
inline constexpr int kRowTariff1Start = 6;
inline constexpr int kRowTariff1Duration = 7;
inline constexpr int kRowTariff2Start = 8;
inline constexpr int kRowTariff3Start = 10;
inline constexpr int kRowTariff4Start = 12;
inline constexpr int kRowTariff4Duration = 13;
inline constexpr int kRowTariff1InitialValue = 14;
inline constexpr int kRowTariff4InitialValue = 17;
inline constexpr int kParameterRows = 17;

// Rows of the counters table Grid_data2.
inline constexpr int kRowTotalConsumption = 1;
inline constexpr int kRowTotalPulses = 2;
inline constexpr int kRowTariff1Pulses = 3;
inline constexpr int kRowTariff4Pulses = 6;
inline constexpr int kCounterRows = 6;

// The flow table Grid_flow has one row. DecodeLongBlock is told to fill it by this row number,
// which lies outside both other tables.
inline constexpr int kRowFlow = 1;
inline constexpr int kFlowBlockRow = 22;

inline constexpr std::array<const char *, kParameterRows> kParameterRowTitles{
    "Unit",
    "Pulse Constant",
    "User number",
    "Free text",
    "Initial value",
    "Tariff 1 start hour",
    "Tariff 1 duration",
    "Tariff 2 start hour",
    "Tariff 2 duration",
    "Tariff 3 start hour",
    "Tariff 3 duration",
    "Tariff 4 start hour",
    "Tariff 4 duration",
    "Tariff 1 initial value",
    "Tariff 2 initial value",
    "Tariff 3 initial value",
    "Tariff 4 initial value"};

inline constexpr std::array<const char *, kCounterRows> kCounterRowTitles{
    "Total consumption", "Total pulses",    "Pulses tariff 1",
    "Pulses tariff 2",   "Pulses tariff 3", "Pulses tariff 4"};

inline constexpr const char *kFlowRowTitle = "Current flow, litres/second";

inline constexpr bool isTariffStartRow(int row) {
    return row >= kRowTariff1Start && row <= kRowTariff4Duration &&
           (row - kRowTariff1Start) % 2 == 0;
}
inline constexpr bool isTariffRow(int row) {
    return row >= kRowTariff1Start && row <= kRowTariff4Duration;
}
// Rows that hold a value in tenths: the initial value of the total and of each tariff.
inline constexpr bool isTenthsRow(int row) {
    return row == kRowInitialValue ||
           (row >= kRowTariff1InitialValue && row <= kRowTariff4InitialValue);
}

} // namespace corvane
