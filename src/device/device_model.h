#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace corvane {

class DeviceView;
class StringGrid;

// What a model fixes: its input count, the register counts of its blocks and the columns of the
// parameter and counters tables.
struct ModelInfo {
    const char *DeviceType;
    std::int32_t InputCount;
    std::int32_t LongRegisterCount;
    int tableColumns;
};

inline constexpr std::array<ModelInfo, 3> kModels{{
    {"QTR-4D", 4, 8, 5},
    {"QTR-6D", 6, 12, 7},
    {"QTR-8D", 8, 16, 9},
}};

inline constexpr int kModelTextLength = 6;

// The model of the logger the window talks to, empty until identified, and the layout it puts
// in force: the registers of a block holding one 16-bit (InputCount) or one 32-bit
// (LongRegisterCount) value per input, 0 until a model is known.
struct DeviceState {
    QString DeviceType;
    std::int32_t InputCount = 0;
    std::int32_t LongRegisterCount = 0;
};

// The model whose text equals DeviceType exactly, or nullptr.
const ModelInfo *findModel(const QString &DeviceType);

// The model named in an identification text, or an empty text. Every 'Q' with at least five
// characters after it is a candidate; the character four places on ('4', '6' or '8') names the
// model, anything else names none. The last candidate decides, so a later 'Q' can clear a model
// found earlier. The characters in between are never looked at.
QString recognizeModel(const QString &identification);

// Whether a parameter write may carry a block of this many registers for this model. 8 registers
// are either one 16-bit value per input of an 8-input logger or one 32-bit value per input of a
// 4-input logger; a 6-input logger never has a block of 8.
bool writeMultipleCountAllowed(int count, const QString &deviceType);

// Puts a known model in force: enables the parameter and measured-value pages, sizes both
// tables and sets the register counts.
void applyModelLayout(const ModelInfo &model, StringGrid &Grid_data, StringGrid &Grid_data2,
                      DeviceState &device, DeviceView &view);

} // namespace corvane
