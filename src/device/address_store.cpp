#include "address_store.h"

#include "string_grid.h"

#include <algorithm>

namespace corvane {

AddressStore::AddressStore() : m_slots(std::size_t(kLastAddress)) {}

QString AddressStore::cell(int address, int col, int row) const {
    if (!isValidAddress(address) || !inSlot(col, row))
        return {};
    return m_slots[std::size_t(address - 1)].cells[cellIndex(col, row)];
}

void AddressStore::setCell(int address, int col, int row, const QString &text) {
    if (!isValidAddress(address) || !inSlot(col, row))
        return;
    m_slots[std::size_t(address - 1)].cells[cellIndex(col, row)] = text.left(kCellTextLength);
}

QString AddressStore::model(int address) const {
    if (!isValidAddress(address))
        return {};
    return m_slots[std::size_t(address - 1)].model;
}

void AddressStore::setModel(int address, const QString &text) {
    if (!isValidAddress(address))
        return;
    m_slots[std::size_t(address - 1)].model = text.left(kModelTextLength);
}

void AddressStore::clear() {
    for (Slot &slot : m_slots) {
        for (QString &text : slot.cells)
            text.clear();
        slot.model.clear();
    }
    CurrentAddress = kFirstAddress;
    HighestAddress = kFirstAddress;
}

void AddressStore::clearCells() {
    for (Slot &slot : m_slots) {
        for (QString &text : slot.cells)
            text.clear();
    }
}

int AddressStore::inputColumns(const StringGrid &grid) {
    return std::min(grid.gridColumnCount() - 1, kColumns);
}

void AddressStore::tableToStore(const StringGrid &Grid_data) {
    const int columns = inputColumns(Grid_data);
    for (int row = 1; row <= kRows; ++row) {
        for (int col = 1; col <= columns; ++col)
            setCell(CurrentAddress, col, row, Grid_data.cell(col, row));
    }
}

void AddressStore::storeToTable(int address, StringGrid &Grid_data) const {
    if (!isValidAddress(address))
        return;
    const int columns = inputColumns(Grid_data);
    for (int row = 1; row <= kRows; ++row) {
        for (int col = 1; col <= columns; ++col)
            Grid_data.setCell(col, row, cell(address, col, row));
    }
}

} // namespace corvane
