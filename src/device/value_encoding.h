#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace corvane {

// A decimal integer as the operator typed it: blanks around an optional sign and ASCII digits,
// nothing else. Any other character fails, an embedded U+0000 included, so "12\0abc" is not
// read as 12. Empty when the text is not such a number or does not fit 64 bits.
std::optional<qint64> parseInteger(QStringView text);

// The text for a message: control characters written as \xNN, so that a U+0000 neither ends
// the message nor vanishes from it, and an escape sequence or a line end does not reach the
// terminal.
QString visibleText(const QString &text);
// Text the operator typed, fit to be quoted in a message of one line: visibleText of its first
// 64 characters, with "…" where more were cut.
QString shownText(const QString &text);

// parseInteger within the range of int. Anything else raises std::invalid_argument with
// "'<text>' is not a valid integer value", for the error display.
int strictToInt(const QString &text);

// A number with at most one decimal mark, as tenths: blanks around an optional sign, digits, and
// optionally one of the given marks followed by digits ("12", "12.5", "12.", ".5"). Digits after
// the first decimal must be zeros, since the value is held in tenths. Empty for anything else
// or a value outside 64 bits; the caller checks its own range. Marks that are not exactly one
// character, or that are a digit, sign or blank, are ignored.
std::optional<qint64> parseTenths(QStringView text, const QStringList &decimalMarks);

// The marks a typed number may use: the DecSeparator setting, and the locale's decimal point that
// formatTenths writes, so a value the program put into the table always reads back.
QStringList decimalMarks(const QString &DecSeparator, const QLocale &locale);

// Unit text of a unit code as the tables show it; codes above 3 are "Unknown".
QString unitText(int code);
// Unit code of a cell text. Code 3 is shown as "kJ", but "J" is accepted too so that texts
// from older work files are written back with the code they were read with. Any other text,
// "Unknown" and an empty cell included, gives 0.
int unitCode(const QString &text);

// A value in tenths with exactly one decimal, using the locale's decimal separator: 1234 gives
// "123.4", -1 gives "-0.1". Formatted from the integer, so every 32-bit value keeps its last
// digit and reads back as the same number.
QString formatTenths(std::int32_t tenths, const QLocale &locale);

// The battery byte divided by 51 with two decimals: 191 gives "3.75", 255 "5.00".
QString formatBatteryLevel(int batteryByte, const QLocale &locale);

// The logger's packed date register: bits 15..12 hold bits 6..3 of the 7-bit year, 11..8 the
// month, 7..5 bits 2..0 of the year, 4..0 the day.
struct ClockDate {
    int year;
    int month;
    int day;
};
std::uint16_t packClockDate(const ClockDate &date);
ClockDate unpackClockDate(std::uint16_t reg);

// The 7-bit year of the logger's clock: 0..99 unchanged, 1901..1999 and 2001..2099 within their
// century, anything else its low seven bits (2000 gives 80).
int clockYear(int year);

} // namespace corvane
