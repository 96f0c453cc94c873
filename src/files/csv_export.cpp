#include "csv_export.h"

#include "address_store.h"
#include "string_grid.h"
#include "table_rows.h"
#include "windows1251.h"

#include <algorithm>

namespace corvane {
namespace {

// "Уред " in Windows-1251.
constexpr char kBlockHeader[] = "\xD3\xF0\xE5\xE4 ";
constexpr char kLineEnd[] = "\r\n";

} // namespace

QByteArray csvBlock(int address, int rows, const std::function<QString(int row)> &rowTitle,
                    const std::function<QString(int col, int row)> &cellText,
                    const QString &separator) {
    const QByteArray s = encodeWindows1251(separator);
    QByteArray block = kBlockHeader + QByteArray::number(address) + kLineEnd;
    for (int row = 1; row <= rows; ++row) {
        block += encodeWindows1251(rowTitle(row)) + s;
        for (int col = 1; col <= kMaxInputs; ++col)
            block += encodeWindows1251(cellText(col, row)) + s;
        block += kLineEnd;
    }
    block += QByteArray("\r") + kLineEnd;
    block += QByteArray("\n") + kLineEnd;
    return block;
}

QByteArray parameterExport(const AddressStore &store, const StringGrid &Grid_data,
                           const QString &separator) {
    const int highest = std::clamp(int(store.HighestAddress), AddressStore::kFirstAddress,
                                   AddressStore::kLastAddress);
    QByteArray text;
    for (int address = AddressStore::kFirstAddress; address <= highest; ++address) {
        text += csvBlock(
            address, kParameterRows, [&](int row) { return Grid_data.cell(0, row); },
            [&](int col, int row) { return store.cell(address, col, row); }, separator);
    }
    return text;
}

QByteArray countersExport(const StringGrid &Grid_data2, int address, const QString &separator) {
    return csvBlock(
        address, kCounterRows, [&](int row) { return Grid_data2.cell(0, row); },
        [&](int col, int row) { return Grid_data2.cell(col, row); }, separator);
}

} // namespace corvane
