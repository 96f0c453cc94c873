#include "decoders.h"

#include "address_store.h"
#include "device_model.h"
#include "device_tables.h"
#include "device_view.h"
#include "reply_values.h"
#include "table_rows.h"
#include "value_encoding.h"

namespace corvane {
namespace {

// The reading's values of one parameter row, for the inputs 1..count of the reply, into the
// table.
void showParameterRow(const DeviceReading &reading, int row, qsizetype count, StringGrid &grid,
                      const QLocale &locale) {
    for (int input = 1; input <= count; ++input) {
        const InputReading &values = reading.inputs[std::size_t(input - 1)];
        if (const auto text = parameterText(values, row, locale))
            grid.setCell(input, row, *text);
    }
}

} // namespace

void DecodeWordBlock(const ModbusReply &reply, int row, DecodeContext &ctx) {
    auto &inputs = ctx.reading.inputs;
    StringGrid &grid = ctx.tables.Grid_data;
    if (isTariffStartRow(row)) {
        const QList<TariffWindow> windows = tariffWindows(reply);
        const std::size_t tariff = std::size_t((row - kRowTariff1Start) / 2);
        for (qsizetype i = 0; i < windows.size(); ++i)
            inputs[std::size_t(i)].tariffs[tariff] = windows.at(i);
        for (int input = 1; input <= windows.size(); ++input) {
            const InputReading &values = inputs[std::size_t(input - 1)];
            grid.setCell(input, row, *parameterText(values, row, ctx.locale));
            grid.setCell(input, row + 1, *parameterText(values, row + 1, ctx.locale));
        }
        return;
    }
    if (row != kRowUnit && row != kRowPulseConstant && row != kRowUserNumber)
        return;
    const QList<int> values = wordValues(reply);
    for (qsizetype i = 0; i < values.size(); ++i) {
        InputReading &input = inputs[std::size_t(i)];
        if (row == kRowUnit)
            input.unit = unitText(values.at(i));
        else if (row == kRowPulseConstant)
            input.pulseConstant = values.at(i);
        else
            input.userNumber = values.at(i);
    }
    showParameterRow(ctx.reading, row, values.size(), grid, ctx.locale);
}

void recordMeasuredBlock(const ModbusReply &reply, int row, DeviceReading &reading,
                         const std::function<QString(int input)> &unit) {
    const QList<std::int32_t> values = longValues(reply);
    for (int input = 1; input <= values.size() && input <= kMaxInputs; ++input) {
        InputReading &into = reading.inputs[std::size_t(input - 1)];
        const std::int32_t value = values.at(input - 1);
        if (row == kFlowBlockRow) {
            into.flowTenths = value;
        } else if (row == kRowTotalConsumption) {
            into.consumptionTenths = value;
            into.consumptionUnit = unit(input);
        } else if (row == kRowTotalPulses) {
            into.totalPulses = value;
        } else {
            into.tariffPulses[std::size_t(row - kRowTariff1Pulses)] = value;
        }
    }
}

void DecodeLongBlock(const ModbusReply &reply, LongBlockTable table, int row, DecodeContext &ctx) {
    const bool parameters = table == LongBlockTable::Parameters;
    const bool known = parameters ? isTenthsRow(row)
                                  : (row >= kRowTotalConsumption && row <= kRowTariff4Pulses) ||
                                        row == kFlowBlockRow;
    if (!known)
        return;
    DeviceTables &tables = ctx.tables;
    const QList<std::int32_t> values = longValues(reply);
    if (!parameters) {
        recordMeasuredBlock(reply, row, ctx.reading, [&tables](int input) {
            return tables.Grid_data.cell(input, kRowUnit);
        });
        for (int input = 1; input <= values.size(); ++input) {
            const InputReading &shown = ctx.reading.inputs[std::size_t(input - 1)];
            if (row == kFlowBlockRow)
                tables.Grid_flow.setCell(input, kRowFlow, *flowText(shown, ctx.locale));
            else
                tables.Grid_data2.setCell(input, row, *counterText(shown, row, ctx.locale));
        }
        return;
    }
    for (int input = 1; input <= values.size(); ++input) {
        InputReading &into = ctx.reading.inputs[std::size_t(input - 1)];
        const std::int32_t value = values.at(input - 1);
        if (row == kRowInitialValue)
            into.initialValueTenths = value;
        else
            into.tariffInitialValueTenths[std::size_t(row - kRowTariff1InitialValue)] = value;
        tables.Grid_data.setCell(input, row, *parameterText(into, row, ctx.locale));
    }
}

void DecodeFreeText(const ModbusReply &reply, int input, DecodeContext &ctx) {
    if (input < 1 || input > kMaxInputs)
        return;
    const std::optional<QString> text = freeTextValue(reply);
    if (!text)
        return;
    ctx.reading.inputs[std::size_t(input - 1)].freeText = *text;
    ctx.tables.Grid_data.setCell(input, kRowFreeText, *text);
}

void DecodeClock(const ModbusReply &reply, DecodeContext &ctx) {
    ctx.reading.clock = clockValue(reply);
    if (ctx.reading.clock)
        ctx.out.showClock(ctx.reading.clock->timeText(), ctx.reading.clock->dateText());
}

void DecodeBattery(const ModbusReply &reply, DecodeContext &ctx) {
    ctx.reading.batteryByte = firstRegisterLowByte(reply);
    if (ctx.reading.batteryByte)
        ctx.out.showBattery(formatBatteryLevel(*ctx.reading.batteryByte, ctx.locale));
}

void DecodeInputStatus(const ModbusReply &reply, DecodeContext &ctx) {
    ctx.reading.inputStatus = firstRegisterLowByte(reply);
    if (ctx.reading.inputStatus)
        ctx.out.showInputStatus(*ctx.reading.inputStatus);
}

void DecodeDeviceId(const ModbusReply &reply, DecodeContext &ctx) {
    const QString identification = identificationText(reply);
    ctx.reading.identification = identification;
    ctx.out.showIdentification(identification);

    DeviceState &device = ctx.device;
    device.DeviceType = recognizeModel(identification);
    ctx.reading.model = device.DeviceType;
    ctx.out.showModel(device.DeviceType);
    if (const ModelInfo *model = findModel(device.DeviceType))
        applyModelLayout(*model, ctx.tables.Grid_data, ctx.tables.Grid_data2, device, ctx.out);
    ctx.store.setModel(ctx.selectedAddress, device.DeviceType.left(kModelTextLength));
}

void DecodeMenuCode(const ModbusReply &reply, DecodeContext &ctx) {
    ctx.reading.menuCode = menuCodeValue(reply);
    if (ctx.reading.menuCode)
        ctx.out.showMenuCode(*ctx.reading.menuCode);
}

void DecodePulseSettings(const ModbusReply &reply, DecodeContext &ctx) {
    ctx.reading.pulseSettings = pulseSettingsValue(reply);
    if (!ctx.reading.pulseSettings)
        return;
    ctx.out.showPulseLength(ctx.reading.pulseSettings->lengthText());
    ctx.out.showLanguage(ctx.reading.pulseSettings->languageName());
}

void DecodeServiceReply(ServiceCommand command, DecodeContext &ctx) {
    if (command == ServiceCommand::Lock)
        ctx.out.showLockState(true);
    else if (command == ServiceCommand::Unlock)
        ctx.out.showLockState(false);
    else if (command == ServiceCommand::InputCount)
        ctx.out.log(QStringLiteral("Number of inputs changed..."));
}

} // namespace corvane
