#pragma once

#include <QByteArray>
#include <QLocale>

#include <functional>

namespace corvane {

class AddressStore;
class DeviceView;
struct DeviceState;
struct DeviceTables;
struct EngineState;
struct ModbusReply;

// Everything a decoder writes into. selectedAddress is the address selector's value when the
// reply is decoded; locale supplies the decimal separator of tenths and the battery level.
struct DecodeContext {
    DeviceView &out;
    EngineState &engine;
    DeviceState &device;
    DeviceTables &tables;
    AddressStore &store;
    int selectedAddress = 1;
    QLocale locale = QLocale::system();
};

// Decoders get a reply that has passed the checks (RequestRunner runs them once per reply) and
// read only its payload, the bytes before the CRC: a value of which any byte is missing is left
// out, and a decoder with a fixed layout changes nothing when one of its bytes is missing.
// Positions below count from the reply's address byte.

// One 16-bit value per input into Grid_data row 1, 2, 3, or a tariff pair into rows 6/7, 8/9,
// 10/11, 12/13.
void DecodeWordBlock(const ModbusReply &reply, int row, DecodeContext &ctx);
// Which table a block of 32-bit values belongs to: the parameter read's, or the measured values.
enum class LongBlockTable { Parameters, Measured };
// One signed 32-bit value per input. Parameters: tenths into Grid_data rows 5, 14..17.
// Measured: Grid_data2 row 1 (tenths and the unit text), rows 2..6 (counts), or Grid_flow for
// row 22.
void DecodeLongBlock(const ModbusReply &reply, LongBlockTable table, int row, DecodeContext &ctx);
// The free text of input k into cell (k, 4) of Grid_data, with its 0x00 bytes left out.
void DecodeFreeText(const ModbusReply &reply, int input, DecodeContext &ctx);
void DecodeClock(const ModbusReply &reply, DecodeContext &ctx);
void DecodeBattery(const ModbusReply &reply, DecodeContext &ctx);
void DecodeInputStatus(const ModbusReply &reply, DecodeContext &ctx);
// The identification text of a device-identification reply, control bytes as spaces.
QString identificationText(const ModbusReply &reply);
// Model recognition: labels, DeviceType, the layout of a known model, and the model text of
// the selected address's slot.
void DecodeDeviceId(const ModbusReply &reply, DecodeContext &ctx);
void DecodeMenuCode(const ModbusReply &reply, DecodeContext &ctx);
void DecodePulseSettings(const ModbusReply &reply, DecodeContext &ctx);
// A service command of the given kind was acknowledged; the reply's content is not examined.
void DecodeServiceReply(int kind, DecodeContext &ctx);

} // namespace corvane
