#pragma once

#include <QByteArray>
#include <QDate>
#include <QDateTime>
#include <QLocale>
#include <QString>
#include <QTime>

#include <cstdint>
#include <optional>

namespace corvane {

class Output;
class StringGrid;
struct DeviceState;

// The bytes of a request's data area, or the reason they could not be built.
struct PayloadResult {
    bool ok = false;
    QByteArray bytes;
    QString error;
};

// Where a writable row of the parameter table lives in the logger, and whether it holds one
// register (InputCount) or two (LongRegisterCount) per input.
struct RowBlock {
    std::uint16_t startRegister;
    bool longValues;
};
std::optional<RowBlock> rowBlock(int row);
// The register count of a row's write for the model in force: InputCount or LongRegisterCount.
int rowRegisterCount(int row, const DeviceState &device);

// The data area of the 0x10 write of one parameter-table row (1, 2, 3, 5, 6, 8, 10, 12, 14..17),
// built from columns 1 .. (column count - 1) of Grid_data and cut or zero-padded to
// registerCount registers.
//
// Numbers in tenths take DecSeparator as their decimal mark, and also the locale's decimal point,
// which is what a read writes into the table: a read followed by a write sends back what was
// read whatever the setting. A cell that is a number is first normalised in the table itself (a
// trailing mark dropped, digits after the first decimal cut), so the cell shows what is sent.
// Integers and tenths are read strictly: blanks around the number, nothing else.
//
// A cell that is not a number, or whose value does not fit its field (0..65535 for pulse
// constants and user numbers, 0..255 for tariff hours and durations, a signed 32-bit count of
// tenths for initial values), fails the whole row with a message naming the row, the input and
// the text. The caller shows it and sends nothing for the row.
PayloadResult RowPayload(int row, StringGrid &Grid_data, int registerCount,
                         const QString &DecSeparator, const QLocale &locale = QLocale::system());

// The record bytes of input k's free text, Windows-1251 encoded: at most 10 characters, then
// one or two 0x00 so that the record is a whole number of registers and ends in at least one
// 0x00. An empty cell logs that the input is skipped and gives nothing.
std::optional<QByteArray> FreeTextRecord(int input, const StringGrid &Grid_data, Output &out);

// The four data bytes of the clock write: date high, date low, hour, minute.
QByteArray clockPayload(const QDate &date, const QTime &time);
QByteArray clockPayload(const QDateTime &localDateTime);

} // namespace corvane
