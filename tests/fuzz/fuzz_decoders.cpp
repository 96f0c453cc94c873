// Every decoder on a reply closed with its CRC, after the checks as the request runner runs
// them. Byte 0 picks the decoder (low nibble), the model in force (bits 4-5), a filler byte
// after the CRC (bit 6) and leading-zero reporting (bit 7); byte 1 the row, input, table or
// service kind; the rest is the reply without its CRC.
#include "device_fixture.h"
#include "fuzz_check.h"
#include "table_rows.h"

#include <QObject>

#include <cstring>
#include <memory>

using namespace corvane;
using namespace corvane::test;

namespace {

void decode(int decoder, int parameter, const ModbusReply &reply, DecodeContext &ctx) {
    switch (decoder) {
    case 0:
        DecodeWordBlock(reply, parameter % 18, ctx);
        break;
    case 1:
        DecodeLongBlock(reply,
                        parameter & 0x80 ? LongBlockTable::Measured : LongBlockTable::Parameters,
                        (parameter & 0x40) ? kFlowBlockRow : (parameter & 0x3F) % 18, ctx);
        break;
    case 2:
        DecodeFreeText(reply, parameter % 10, ctx);
        break;
    case 3:
        DecodeServiceReply(ServiceCommand(parameter % 7), ctx);
        break;
    case 4:
        DecodeClock(reply, ctx);
        break;
    case 5:
        DecodeBattery(reply, ctx);
        break;
    case 6:
        DecodeInputStatus(reply, ctx);
        break;
    case 7:
        DecodeDeviceId(reply, ctx);
        break;
    case 8:
        DecodeMenuCode(reply, ctx);
        break;
    default:
        DecodePulseSettings(reply, ctx);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 2)
        return 0;
    const int selector = data[0];
    const int parameter = data[1];
    QByteArray raw(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    appendCrc(raw);
    if (selector & 0x40)
        raw.append('\0');

    // The store is kept between inputs: building its 250 slots costs more than the decoding,
    // and the decoders only write the model text of the selected address into it.
    static AddressStore store;
    RecordingOutput out;
    DeviceState device;
    DeviceTables tables;
    DeviceReading reading;
    DecodeContext ctx{out, device, tables, store, reading, 1, QLocale::c()};
    if (const int model = (selector >> 4) & 3) {
        const ModelInfo &info = kModels[std::size_t(model - 1)];
        device.DeviceType = QString::fromLatin1(info.DeviceType);
        applyModelLayout(info, tables.Grid_data, tables.Grid_data2, device, out);
    }
    out.clear();
    QObject counter;
    long gridChanges = 0;
    for (StringGrid *grid : {&tables.Grid_data, &tables.Grid_data2, &tables.Grid_flow})
        QObject::connect(grid, &QAbstractItemModel::dataChanged, &counter,
                         [&gridChanges] { ++gridChanges; });
    const QString modelBefore = device.DeviceType;

    const ReplyVerdict checked = CheckResponse(raw);
    reportVerdict(checked, {(selector & 0x80) != 0, NoReplyReport::StatusAndLog}, 0, 0, out);
    if (checked) {
        ModbusReply reply = ModbusReply::fromChecked(raw, checked);
        // The payload in a block of its own size, so that the sanitizer catches a read past it.
        const auto block = std::make_unique<char[]>(std::size_t(reply.payload.size()));
        std::memcpy(block.get(), reply.payload.constData(), std::size_t(reply.payload.size()));
        reply.payload = QByteArray::fromRawData(block.get(), reply.payload.size());
        decode(selector & 0x0F, parameter, reply, ctx);
    }

    // A rejected reply changes nothing; whatever was decoded leaves the model consistent.
    if (!checked) {
        FUZZ_CHECK(gridChanges == 0);
        FUZZ_CHECK(device.DeviceType == modelBefore);
        FUZZ_CHECK(out.texts.isEmpty());
    }
    const ModelInfo *model = findModel(device.DeviceType);
    FUZZ_CHECK(device.DeviceType.isEmpty() || model);
    FUZZ_CHECK(device.LongRegisterCount == 2 * device.InputCount);
    FUZZ_CHECK(device.InputCount == 0 || device.InputCount == 4 || device.InputCount == 6 ||
               device.InputCount == 8);
    const int columns = device.InputCount == 0 ? 9 : device.InputCount + 1;
    FUZZ_CHECK(tables.Grid_data.gridColumnCount() == columns);
    FUZZ_CHECK(tables.Grid_data2.gridColumnCount() == columns);
    return 0;
}
