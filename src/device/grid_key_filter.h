#pragma once

#include <QChar>
#include <QString>

namespace corvane {

inline constexpr char16_t kKeyBackspace = 8;
inline constexpr char16_t kKeyTab = 9;
inline constexpr char16_t kKeyLineFeed = 10;
// A refused key is replaced by Escape, which the cell editor drops.
inline constexpr char16_t kKeyRefused = 27;

// The cell of Grid_data the key filter works on, as the grid's selection last reported it.
struct GridSelection {
    int SelectedRow = 0;
    int SelectedCol = 0;
    // Never refuses the selection.
    void Grid_dataSelectCell(int ACol, int ARow) {
        SelectedRow = ARow;
        SelectedCol = ACol;
    }
};

// The key filter of the parameter table: returns key when it may be typed into the cell of row
// `row` whose editor holds cellText once the key has replaced its selection (the editor's text
// without the selected part), or kKeyRefused. The separator test compares the key with the
// whole DecSeparator, so a separator setting of two characters never matches. Units and free
// texts take any character, up to the 16 that the table's store keeps.
QChar Grid_dataKeyPress(int row, const QString &cellText, QChar key, const QString &DecSeparator);

} // namespace corvane
