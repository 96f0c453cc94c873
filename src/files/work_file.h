#pragma once

#include "address_store.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

// The work file: a headerless run of fixed records, one per bus address, little-endian.
//   0     int32 bus address
//   4     8 x 17 cells, column after column: 1 length byte (0..16) + 16 Windows-1251 bytes
//   2316  model text: 1 length byte (0..6) + 6 bytes
//   2323  pad byte
// Bytes after a text's length and the pad byte are written as zeros and ignored when read.
namespace WorkFile {
inline constexpr int kRecordSize = 2324;
inline constexpr int kCellsOffset = 4;
inline constexpr int kCellSize = 1 + AddressStore::kCellTextLength;
inline constexpr int kColumnSize = AddressStore::kRows * kCellSize;
inline constexpr int kModelOffset = kCellsOffset + AddressStore::kColumns * kColumnSize;
inline constexpr int kPadOffset = kModelOffset + 1 + AddressStore::kModelTextLength;
// One record per address; a longer file is not read at all.
inline constexpr qint64 kMaxFileSize = qint64(AddressStore::kLastAddress) * kRecordSize;
static_assert(kColumnSize == 289 && kModelOffset == 2316 && kPadOffset == kRecordSize - 1);

constexpr int cellOffset(int col, int row) {
    return kCellsOffset + (col - 1) * kColumnSize + (row - 1) * kCellSize;
}
} // namespace WorkFile

struct WorkFileRecord {
    std::int32_t address = 0;
    // Column after column, as in the file: index (col - 1) * 17 + (row - 1).
    std::array<QString, AddressStore::kColumns * AddressStore::kRows> cells;
    QString model;

    const QString &cell(int col, int row) const {
        return cells[std::size_t((col - 1) * AddressStore::kRows + (row - 1))];
    }
};

// What a whole, valid work file holds: at most one record per address (the file's last one for
// it), and the addresses of the records that have no slot, in file order.
struct WorkFileContents {
    std::vector<WorkFileRecord> records;
    std::vector<std::int32_t> skippedAddresses;
};

// Slots 1..HighestAddress, in ascending order.
QByteArray encodeWorkFile(const AddressStore &store);
QByteArray encodeWorkRecord(const AddressStore &store, int address);

// One record of kRecordSize bytes. A length byte beyond its field is cut to the field, and a
// text ends at its first NUL byte.
WorkFileRecord decodeWorkRecord(QByteArrayView record);

// Gathers records one after the other, so that a large file never needs to be held whole.
class WorkFileParser {
public:
    WorkFileParser();
    // One record of kRecordSize bytes.
    void addRecord(QByteArrayView record);
    WorkFileContents takeContents();

private:
    // Where each address's record sits in m_records, -1 for none yet.
    std::vector<int> m_index;
    std::vector<WorkFileRecord> m_records;
    std::vector<std::int32_t> m_skipped;
};

// The whole file in memory. Empty when its length is not a whole number of records, with the
// reason in problem. A 0-byte file gives contents without records.
std::optional<WorkFileContents> parseWorkFile(QByteArrayView bytes, QString *problem = nullptr);

// Every cell text of every slot emptied (models kept), HighestAddress 1, then each record into
// its slot, raising HighestAddress. CurrentAddress is left to the caller.
void applyWorkFile(const WorkFileContents &contents, AddressStore &store);

// Why a file of this length cannot be a work file (not a whole number of records, or more
// than kMaxFileSize); empty when it can.
QString workFileLengthProblem(qint64 length);

} // namespace corvane
