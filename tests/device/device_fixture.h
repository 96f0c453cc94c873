#pragma once

#include "address_store.h"
#include "check_response.h"
#include "crc16.h"
#include "decoders.h"
#include "device_model.h"
#include "device_tables.h"
#include "modbus_reply.h"
#include "readings.h"
#include "recording_output.h"

#include <QStringList>

#include <memory>

namespace corvane::test {

// A reply frame from hex digits, closed with its CRC.
inline QByteArray frame(const QByteArray &hex) {
    QByteArray bytes = QByteArray::fromHex(hex);
    appendCrc(bytes);
    return bytes;
}

// Input columns 1..8 of a row, joined by '|'.
inline QString rowTexts(const StringGrid &grid, int row) {
    QStringList texts;
    for (int col = 1; col < grid.columnCapacity(); ++col)
        texts << grid.cell(col, row);
    return texts.join('|');
}

inline void fillRow(StringGrid &grid, int row, const QString &joined) {
    const QStringList texts = joined.split('|');
    for (int i = 0; i < texts.size(); ++i)
        grid.setCell(i + 1, row, texts.at(i));
}

// Everything the decoders write into, with a fixed locale so that no test depends on the
// machine's regional settings.
struct DeviceFixture {
    RecordingOutput out;
    DeviceState device;
    DeviceTables tables;
    std::unique_ptr<AddressStore> store = std::make_unique<AddressStore>();
    DeviceReading reading;
    DecodeContext ctx{out, device, tables, *store, reading, 1, QLocale::c()};
};

// A raw reply as the runner hands it to a decoder: checked once, reported with the step's
// leading-zero reporting, and decoded only when it passes.
template <typename Decode>
void checkThenDecode(const QByteArray &raw, bool reportLeadingZero, DecodeContext &ctx,
                     Decode decode) {
    const ReplyVerdict verdict = CheckResponse(raw);
    reportVerdict(verdict, {reportLeadingZero, NoReplyReport::StatusAndLog}, 0, 0, ctx.out);
    if (verdict) {
        const ModbusReply reply = ModbusReply::fromChecked(raw, verdict);
        decode(reply, ctx);
    }
}

} // namespace corvane::test
