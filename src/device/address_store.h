#pragma once

#include <QString>

#include <array>
#include <cstdint>
#include <vector>

namespace corvane {

class StringGrid;

// A copy of the parameter table for every bus address 1..250: 8 input columns x 17 rows of
// texts cut to 16 characters, and a model text cut to 6. Characters are counted as QString
// characters; work files hold them as single Windows-1251 bytes.
class AddressStore {
public:
    static constexpr int kFirstAddress = 1;
    static constexpr int kLastAddress = 250;
    static constexpr int kColumns = 8;
    static constexpr int kRows = 17;
    static constexpr int kCellTextLength = 16;
    static constexpr int kModelTextLength = 6;

    AddressStore();

    static bool isValidAddress(int address) {
        return address >= kFirstAddress && address <= kLastAddress;
    }

    // Outside the slots (address, column 1..8, row 1..17) a read gives an empty text and a
    // write is ignored.
    QString cell(int address, int col, int row) const;
    void setCell(int address, int col, int row, const QString &text);
    QString model(int address) const;
    void setModel(int address, const QString &text);

    // Every cell and model text of every slot becomes empty; the addresses return to 1.
    void clear();
    // Every cell text becomes empty; model texts and addresses stay.
    void clearCells();

    // Rows 1..17 and the table's visible input columns into the slot of CurrentAddress. Columns
    // the layout hides keep what the slot held.
    void tableToStore(const StringGrid &Grid_data);
    // Rows 1..17 and the table's visible input columns from the slot of address. Hidden
    // columns of the table keep their texts.
    void storeToTable(int address, StringGrid &Grid_data) const;

    // The address whose slot the parameter table belongs to.
    std::int32_t CurrentAddress = kFirstAddress;
    // The highest address whose slot is in use (selected or loaded).
    std::int32_t HighestAddress = kFirstAddress;

private:
    struct Slot {
        std::array<QString, kColumns * kRows> cells;
        QString model;
    };
    static bool inSlot(int col, int row) {
        return col >= 1 && col <= kColumns && row >= 1 && row <= kRows;
    }
    static std::size_t cellIndex(int col, int row) {
        return std::size_t((col - 1) * kRows + (row - 1));
    }
    // The layout's input columns, never more than a slot holds.
    static int inputColumns(const StringGrid &grid);

    // On the heap: the slots hold some 34,000 texts.
    std::vector<Slot> m_slots;
};

} // namespace corvane
