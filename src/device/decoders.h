#pragma once

#include <QByteArray>
#include <QLocale>

#include <functional>

namespace corvane {

class AddressStore;
class Output;
struct DeviceState;
struct DeviceTables;
struct EngineState;

// Everything a decoder writes into. selectedAddress is the address selector's value when the
// reply is decoded; locale supplies the decimal separator of tenths and the battery level.
// noResponse is how the window that collected the reply reports a missing one.
struct DecodeContext {
    Output &out;
    EngineState &engine;
    DeviceState &device;
    DeviceTables &tables;
    AddressStore &store;
    int selectedAddress = 1;
    QLocale locale = QLocale::system();
    std::function<void()> noResponse;
};

// Every decoder first runs CheckResponse against the address the request went to
// (RequestAddress) and stops when it rejects the reply. Another device's reply leaves the
// operator where no reply would, so it is reported through noResponse as well. After that it
// takes only bytes that lie wholly before the CRC: a value of which any byte lies at or after
// the CRC is left out, and a decoder with a fixed layout changes nothing when one of its bytes
// is missing. Nothing outside the reply is read.

// One 16-bit value per input into Grid_data row 1, 2, 3, or a tariff pair into rows 6/7, 8/9,
// 10/11, 12/13; only while ReadMode is set.
void DecodeWordBlock(const QByteArray &reply, int row, DecodeContext &ctx);
// One signed 32-bit value per input. With ReadMode set: tenths into Grid_data rows 5, 14..17.
// Otherwise: Grid_data2 row 1 (tenths and the unit text), rows 2..6 (counts), or Grid_flow
// for row 22.
void DecodeLongBlock(const QByteArray &reply, int row, DecodeContext &ctx);
// The free text of input k into cell (k, 4) of Grid_data, with its 0x00 bytes left out.
void DecodeFreeText(const QByteArray &reply, int input, DecodeContext &ctx);
void DecodeClock(const QByteArray &reply, DecodeContext &ctx);
void DecodeBattery(const QByteArray &reply, DecodeContext &ctx);
void DecodeInputStatus(const QByteArray &reply, DecodeContext &ctx);
// Model recognition: labels, DeviceType, the layout of a known model, and the model text of
// the selected address's slot.
void DecodeDeviceId(const QByteArray &reply, DecodeContext &ctx);
void DecodeMenuCode(const QByteArray &reply, DecodeContext &ctx);
void DecodePulseSettings(const QByteArray &reply, DecodeContext &ctx);
// The acknowledgement of a service command of the given kind; its content is not examined.
void DecodeServiceReply(const QByteArray &reply, int kind, DecodeContext &ctx);

} // namespace corvane
