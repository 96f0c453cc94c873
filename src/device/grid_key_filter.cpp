#include "grid_key_filter.h"

#include "address_store.h"
#include "table_rows.h"

namespace corvane {
namespace {

constexpr int kTariffDigits = 2;
constexpr int kPulseConstantDigits = 5;
constexpr int kUserNumberDigits = 3;
constexpr int kTenthsCharacters = 9;
// Units and free texts: what a store slot and a work file keep of a cell. A longer text would be
// cut without a word when the table is stored.
constexpr int kStoredCharacters = AddressStore::kCellTextLength;

bool isDigit(QChar key) {
    return key >= u'0' && key <= u'9';
}

struct RowRule {
    int maxLength;
    bool lineFeed;     // accepted, and exempt from the length test
    bool separator;    // DecSeparator accepted
    bool anyCharacter; // not only digits
};

} // namespace

QChar Grid_dataKeyPress(int row, const QString &cellText, QChar key, const QString &DecSeparator) {
    RowRule rule{};
    if (isTariffRow(row))
        rule = {kTariffDigits, true, false, false};
    else if (row == kRowPulseConstant)
        rule = {kPulseConstantDigits, false, false, false};
    else if (row == kRowUserNumber)
        rule = {kUserNumberDigits, false, false, false};
    else if (isTenthsRow(row))
        rule = {kTenthsCharacters, false, true, false};
    else if (row == kRowUnit || row == kRowFreeText)
        rule = {kStoredCharacters, false, false, true};
    else
        return key;

    const bool editing = key == QChar(kKeyBackspace) || key == QChar(kKeyTab) ||
                         (rule.lineFeed && key == QChar(kKeyLineFeed));
    if (editing)
        return key;
    const bool accepted =
        rule.anyCharacter || isDigit(key) || (rule.separator && QString(key) == DecSeparator);
    if (!accepted || cellText.size() >= rule.maxLength)
        return QChar(kKeyRefused);
    return key;
}

} // namespace corvane
