#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

namespace corvane {

class AddressStore;
class StringGrid;

// Spreadsheet export, in Windows-1251 with CR LF line ends. A block per bus address:
//   "Уред " and the address
//   per table row: the row title, S, then for inputs 1..8 the cell text and S
//   a line holding a lone carriage return, then one holding a lone line feed
// S is written as it is, whatever its length, also when empty. Cells are not quoted: the
// sheets and macros that read these files expect every cell as it stands, so a cell holding S
// gives its row extra separators.
QByteArray csvBlock(int address, int rows, const std::function<QString(int row)> &rowTitle,
                    const std::function<QString(int col, int row)> &cellText,
                    const QString &separator);

// The stored parameter tables of addresses 1..HighestAddress, with the parameter table's row
// titles (its column 0).
QByteArray parameterExport(const AddressStore &store, const StringGrid &Grid_data,
                           const QString &separator);

// The counters table as it stands, as one block for the given address.
QByteArray countersExport(const StringGrid &Grid_data2, int address, const QString &separator);

} // namespace corvane
