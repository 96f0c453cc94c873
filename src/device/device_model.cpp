#include "device_model.h"

#include "device_view.h"
#include "string_grid.h"

namespace corvane {
namespace {

constexpr QChar kModelPrefixLetter = u'Q';
// Characters that must follow the prefix letter for a position to count.
constexpr int kCharactersAfterPrefix = 5;
// Offset from the prefix letter to the digit that names the input count.
constexpr int kModelDigitOffset = 4;

} // namespace

const ModelInfo *findModel(const QString &DeviceType) {
    for (const ModelInfo &model : kModels) {
        if (DeviceType == QLatin1String(model.DeviceType))
            return &model;
    }
    return nullptr;
}

QString recognizeModel(const QString &identification) {
    QString DeviceType;
    const qsizetype length = identification.size();
    for (qsizetype i = 0; i + kCharactersAfterPrefix < length; ++i) {
        if (identification.at(i) != kModelPrefixLetter)
            continue;
        DeviceType.clear();
        const QChar digit = identification.at(i + kModelDigitOffset);
        for (const ModelInfo &model : kModels) {
            // The model text's own digit sits at the same offset.
            if (QLatin1Char(model.DeviceType[kModelDigitOffset]) == digit)
                DeviceType = QLatin1String(model.DeviceType);
        }
    }
    return DeviceType;
}

void applyModelLayout(const ModelInfo &model, StringGrid &Grid_data, StringGrid &Grid_data2,
                      DeviceState &device, DeviceView &view) {
    view.enableModelPages();
    Grid_data.setGridColumnCount(model.tableColumns);
    Grid_data2.setGridColumnCount(model.tableColumns);
    device.InputCount = model.InputCount;
    device.LongRegisterCount = model.LongRegisterCount;
}

bool writeMultipleCountAllowed(int count, const QString &deviceType) {
    switch (count) {
    case 4:
    case 6:
    case 12:
    case 16:
        return true;
    case 8:
        return deviceType == QLatin1String("QTR-8D") || deviceType == QLatin1String("QTR-4D");
    default:
        return false;
    }
}

} // namespace corvane
