#pragma once

#include "readings.h"
#include "register_map.h"
#include "table_rows.h"

#include <QByteArray>
#include <QLocale>

#include <array>
#include <functional>

namespace corvane {

class AddressStore;
class DeviceView;
struct DeviceState;
struct DeviceTables;
struct ModbusReply;

// Everything a decoder writes into: the reading of the command in progress, and the window's
// tables and labels, which show what the reading got. selectedAddress is the address selector's
// value when the reply is decoded; locale supplies the decimal separator of tenths and the
// battery level.
struct DecodeContext {
    DeviceView &out;
    DeviceState &device;
    DeviceTables &tables;
    AddressStore &store;
    DeviceReading &reading;
    int selectedAddress = 1;
    QLocale locale = QLocale::system();
};

// Decoders get a reply that has passed the checks (RequestRunner runs them once per reply). Each
// takes its values apart (reply_values.h), records them in the reading, and shows the reading's
// new values where the window shows them. A value the reply lacks is neither recorded nor shown.

// One 16-bit value per input into Grid_data row 1, 2, 3, or a tariff pair into rows 6/7, 8/9,
// 10/11, 12/13.
void DecodeWordBlock(const ModbusReply &reply, int row, DecodeContext &ctx);
// Which table a block of 32-bit values belongs to: the parameter read's, or the measured values.
enum class LongBlockTable { Parameters, Measured };
// The counter blocks of the counters sequence in their order, with the Grid_data2 row each
// fills: total pulses, the tariffs, then the consumption, which takes its unit from the parameter
// table.
struct CounterBlock {
    std::uint16_t start;
    int row;
};
inline constexpr std::array<CounterBlock, 6> kCounterBlocks{{
    {kInRegTotalPulses, kRowTotalPulses},
    {kInRegTariff1Pulses, kRowTariff1Pulses},
    {kInRegTariff2Pulses, kRowTariff1Pulses + 1},
    {kInRegTariff3Pulses, kRowTariff1Pulses + 2},
    {kInRegTariff4Pulses, kRowTariff4Pulses},
    {kInRegConsumption, kRowTotalConsumption},
}};

// A measured block (a counters row, or the flow for kFlowBlockRow) into the reading only; the
// consumption's unit text comes from unit(input).
void recordMeasuredBlock(const ModbusReply &reply, int row, DeviceReading &reading,
                         const std::function<QString(int input)> &unit);

// One signed 32-bit value per input. Parameters: tenths into Grid_data rows 5, 14..17.
// Measured: Grid_data2 row 1 (tenths and the unit text), rows 2..6 (counts), or Grid_flow for
// row 22.
void DecodeLongBlock(const ModbusReply &reply, LongBlockTable table, int row, DecodeContext &ctx);
// The free text of input k into cell (k, 4) of Grid_data, with its 0x00 bytes left out.
void DecodeFreeText(const ModbusReply &reply, int input, DecodeContext &ctx);
void DecodeClock(const ModbusReply &reply, DecodeContext &ctx);
void DecodeBattery(const ModbusReply &reply, DecodeContext &ctx);
void DecodeInputStatus(const ModbusReply &reply, DecodeContext &ctx);
// Model recognition: labels, DeviceType, the layout of a known model, and the model text of
// the selected address's slot.
void DecodeDeviceId(const ModbusReply &reply, DecodeContext &ctx);
void DecodeMenuCode(const ModbusReply &reply, DecodeContext &ctx);
void DecodePulseSettings(const ModbusReply &reply, DecodeContext &ctx);
// A service command was acknowledged; the reply's content is not examined.
void DecodeServiceReply(ServiceCommand command, DecodeContext &ctx);

} // namespace corvane
