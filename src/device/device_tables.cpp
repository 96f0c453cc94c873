#include "device_tables.h"

#include "table_rows.h"

namespace corvane {
namespace {

template <typename Titles> void writeTitles(StringGrid &grid, const Titles &rowTitles) {
    for (int input = 1; input <= kMaxInputs; ++input)
        grid.setCell(input, 0, inputTitle(input));
    int row = 1;
    for (const char *title : rowTitles)
        grid.setCell(0, row++, QString::fromLatin1(title));
}

} // namespace

QString inputTitle(int input) {
    return QStringLiteral("Input %1").arg(input);
}

DeviceTables::DeviceTables()
    : Grid_data(kTableColumns, kParameterRows + 1, true),
      Grid_data2(kTableColumns, kCounterRows + 1, false), Grid_flow(kTableColumns, 2, false) {
    writeTitles(Grid_data, kParameterRowTitles);
    writeTitles(Grid_data2, kCounterRowTitles);
    writeTitles(Grid_flow, std::array<const char *, 1>{kFlowRowTitle});
}

} // namespace corvane
