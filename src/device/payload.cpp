#include "payload.h"

#include "device_model.h"
#include "output.h"
#include "register_map.h"
#include "string_grid.h"
#include "table_rows.h"
#include "value_encoding.h"
#include "windows1251.h"

#include <algorithm>
#include <limits>

namespace corvane {
namespace {

constexpr int kWordMax = 0xFFFF;
constexpr int kByteMax = 0xFF;
constexpr int kFreeTextMaxCharacters = 10;

QString rowTitle(int row) {
    if (row < 1 || row > kParameterRows)
        return QStringLiteral("Row %1").arg(row);
    return QString::fromLatin1(kParameterRowTitles[std::size_t(row - 1)]);
}

QString notANumber(int row, int col, const QString &text) {
    return QStringLiteral("%1, input %2: '%3' is not a valid number")
        .arg(rowTitle(row))
        .arg(col)
        .arg(visibleText(text));
}

QString outOfRange(int row, int col, const QString &text, const QString &low, const QString &high) {
    return QStringLiteral("%1, input %2: '%3' is out of range %4 to %5")
        .arg(rowTitle(row))
        .arg(col)
        .arg(text, low, high);
}

void appendWord(QByteArray &bytes, int value) {
    bytes.append(char((value >> 8) & kByteMax));
    bytes.append(char(value & kByteMax));
}

void appendLong(QByteArray &bytes, std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    for (int shift = 24; shift >= 0; shift -= 8)
        bytes.append(char((bits >> shift) & kByteMax));
}

// A whole number between 0 and max from a cell, or a message. An empty cell is only allowed
// where the caller says so.
std::optional<int> cellInteger(const StringGrid &grid, int col, int row, int max, bool emptyIsZero,
                               QString &error) {
    const QString text = grid.cell(col, row);
    if (emptyIsZero && text.isEmpty())
        return 0;
    const std::optional<qint64> parsed = parseInteger(text);
    if (!parsed) {
        error = notANumber(row, col, text);
        return std::nullopt;
    }
    const qint64 value = *parsed;
    if (value < 0 || value > max) {
        error = outOfRange(row, col, text, QStringLiteral("0"), QString::number(max));
        return std::nullopt;
    }
    return int(value);
}

// Drops a trailing decimal mark, or everything after the first digit behind the last one.
QString normaliseTenthsText(const QString &text, const QStringList &marks) {
    qsizetype position = -1;
    for (const QString &mark : marks)
        position = std::max(position, text.lastIndexOf(mark));
    if (position < 0)
        return text;
    if (position + 1 >= text.size())
        return text.left(position);
    return text.left(position + 2);
}

// The cell is rewritten in its normalised form only when that form is a number, so a text that
// cannot be sent stays as the operator typed it.
std::optional<std::int32_t> cellTenths(StringGrid &grid, int col, int row,
                                       const QString &DecSeparator, const QLocale &locale,
                                       QString &error) {
    const QString typed = grid.cell(col, row);
    const QStringList marks = decimalMarks(DecSeparator, locale);
    const QString text = normaliseTenthsText(typed, marks);
    const std::optional<qint64> tenths = parseTenths(text, marks);
    if (!tenths) {
        error = notANumber(row, col, typed);
        return std::nullopt;
    }
    grid.setCell(col, row, text);
    constexpr auto kLowest = std::numeric_limits<std::int32_t>::min();
    constexpr auto kHighest = std::numeric_limits<std::int32_t>::max();
    if (*tenths < kLowest || *tenths > kHighest) {
        error = outOfRange(row, col, text, formatTenths(kLowest, locale),
                           formatTenths(kHighest, locale));
        return std::nullopt;
    }
    return std::int32_t(*tenths);
}

// One column's bytes of a row, appended to bytes; false with a message when a cell fails.
bool appendColumn(QByteArray &bytes, int row, int col, StringGrid &grid,
                  const QString &DecSeparator, const QLocale &locale, QString &error) {
    if (row == kRowUnit) {
        bytes.append('\0');
        bytes.append(char(unitCode(grid.cell(col, row))));
        return true;
    }
    if (row == kRowPulseConstant || row == kRowUserNumber) {
        const auto value = cellInteger(grid, col, row, kWordMax, true, error);
        if (!value)
            return false;
        appendWord(bytes, *value);
        return true;
    }
    if (isTariffStartRow(row)) {
        if (grid.cell(col, row).isEmpty()) {
            appendWord(bytes, 0);
            return true;
        }
        const auto start = cellInteger(grid, col, row, kByteMax, false, error);
        if (!start)
            return false;
        const auto duration = cellInteger(grid, col, row + 1, kByteMax, false, error);
        if (!duration)
            return false;
        bytes.append(char(*start));
        bytes.append(char(*duration));
        return true;
    }
    if (isTenthsRow(row)) {
        if (grid.cell(col, row).isEmpty()) {
            appendLong(bytes, 0);
            return true;
        }
        const auto tenths = cellTenths(grid, col, row, DecSeparator, locale, error);
        if (!tenths)
            return false;
        appendLong(bytes, *tenths);
        return true;
    }
    error = QStringLiteral("%1 is not written to the device").arg(rowTitle(row));
    return false;
}

} // namespace

std::optional<RowBlock> rowBlock(int row) {
    switch (row) {
    case kRowUnit:
        return RowBlock{kRegUnits, false};
    case kRowPulseConstant:
        return RowBlock{kRegPulseConstant, false};
    case kRowUserNumber:
        return RowBlock{kRegUserNumber, false};
    case kRowInitialValue:
        return RowBlock{kRegInitialValue, true};
    default:
        break;
    }
    if (isTariffStartRow(row))
        return RowBlock{kRegTariffs[std::size_t((row - kRowTariff1Start) / 2)], false};
    if (row >= kRowTariff1InitialValue && row <= kRowTariff4InitialValue)
        return RowBlock{kRegTariffInitialValues[std::size_t(row - kRowTariff1InitialValue)], true};
    return std::nullopt;
}

int rowRegisterCount(int row, const DeviceState &device) {
    const auto block = rowBlock(row);
    if (!block)
        return 0;
    return block->longValues ? device.LongRegisterCount : device.InputCount;
}

PayloadResult RowPayload(int row, StringGrid &Grid_data, int registerCount,
                         const QString &DecSeparator, const QLocale &locale) {
    PayloadResult result;
    if (!rowBlock(row)) {
        result.error = QStringLiteral("%1 is not written to the device").arg(rowTitle(row));
        return result;
    }
    QByteArray bytes;
    for (int col = 1; col < Grid_data.gridColumnCount(); ++col) {
        if (!appendColumn(bytes, row, col, Grid_data, DecSeparator, locale, result.error))
            return result;
    }
    bytes.resize(qsizetype(std::max(registerCount, 0)) * 2, '\0');
    result.ok = true;
    result.bytes = bytes;
    return result;
}

std::optional<QByteArray> FreeTextRecord(int input, const StringGrid &Grid_data, Output &out) {
    const QString text = Grid_data.cell(input, kRowFreeText);
    if (text.isEmpty()) {
        out.log(QStringLiteral("Info for input %1 not entered, skipping...").arg(input));
        return std::nullopt;
    }
    QByteArray record = encodeWindows1251(text.left(kFreeTextMaxCharacters));
    const int terminators = record.size() % 2 == 1 ? 1 : 2;
    record.append(QByteArray(terminators, '\0'));
    return record;
}

QByteArray clockPayload(const QDate &date, const QTime &time) {
    QByteArray bytes;
    appendWord(bytes, packClockDate({clockYear(date.year()), date.month(), date.day()}));
    bytes.append(char(time.hour()));
    bytes.append(char(time.minute()));
    return bytes;
}

QByteArray clockPayload(const QDateTime &localDateTime) {
    return clockPayload(localDateTime.date(), localDateTime.time());
}

} // namespace corvane
