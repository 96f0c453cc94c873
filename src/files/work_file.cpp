#include "work_file.h"

#include "windows1251.h"

#include <QtEndian>

#include <algorithm>

namespace corvane {
namespace {

using namespace WorkFile;

// The text as Windows-1251 bytes into a field of fieldSize bytes after its length byte. The
// store already cut the text to fieldSize characters, but a character outside the Basic
// Multilingual Plane encodes as two bytes, so the bytes are cut again.
void putText(char *field, int fieldSize, const QString &text) {
    const QByteArray bytes = encodeWindows1251(text).left(fieldSize);
    field[0] = char(bytes.size());
    std::copy(bytes.begin(), bytes.end(), field + 1);
}

// A NUL ends the text early: left in, it would be invisible in the table and cut the text short
// on the device, which ends its texts at one.
QString takeText(QByteArrayView record, int offset, int fieldSize) {
    const int length = std::min(int(std::uint8_t(record[offset])), fieldSize);
    QByteArrayView text = record.sliced(offset + 1, length);
    if (const qsizetype nul = text.indexOf('\0'); nul >= 0)
        text = text.first(nul);
    return decodeWindows1251(text.toByteArray());
}

} // namespace

QByteArray encodeWorkRecord(const AddressStore &store, int address) {
    QByteArray record(kRecordSize, '\0');
    qToLittleEndian<std::int32_t>(address, record.data());
    for (int col = 1; col <= AddressStore::kColumns; ++col) {
        for (int row = 1; row <= AddressStore::kRows; ++row)
            putText(record.data() + cellOffset(col, row), AddressStore::kCellTextLength,
                    store.cell(address, col, row));
    }
    putText(record.data() + kModelOffset, AddressStore::kModelTextLength, store.model(address));
    return record;
}

QByteArray encodeWorkFile(const AddressStore &store) {
    const int highest = std::clamp(int(store.HighestAddress), AddressStore::kFirstAddress,
                                   AddressStore::kLastAddress);
    QByteArray bytes;
    bytes.reserve(highest * kRecordSize);
    for (int address = AddressStore::kFirstAddress; address <= highest; ++address)
        bytes += encodeWorkRecord(store, address);
    return bytes;
}

// A view of another size is cut or padded with zeros first, so that nothing reads outside it.
WorkFileRecord decodeWorkRecord(QByteArrayView bytes) {
    QByteArray padded;
    if (bytes.size() != kRecordSize) {
        padded = bytes.first(std::min<qsizetype>(bytes.size(), kRecordSize)).toByteArray();
        padded.resize(kRecordSize, '\0');
        bytes = padded;
    }
    const QByteArrayView record = bytes;
    WorkFileRecord decoded;
    decoded.address = qFromLittleEndian<std::int32_t>(record.data());
    for (int col = 1; col <= AddressStore::kColumns; ++col) {
        for (int row = 1; row <= AddressStore::kRows; ++row)
            decoded.cells[std::size_t((col - 1) * AddressStore::kRows + (row - 1))] =
                takeText(record, cellOffset(col, row), AddressStore::kCellTextLength);
    }
    decoded.model = takeText(record, kModelOffset, AddressStore::kModelTextLength);
    return decoded;
}

WorkFileParser::WorkFileParser() : m_index(std::size_t(AddressStore::kLastAddress), -1) {}

void WorkFileParser::addRecord(QByteArrayView record) {
    WorkFileRecord decoded = decodeWorkRecord(record);
    if (!AddressStore::isValidAddress(decoded.address)) {
        m_skipped.push_back(decoded.address);
        return;
    }
    int &index = m_index[std::size_t(decoded.address - 1)];
    if (index < 0) {
        index = int(m_records.size());
        m_records.push_back(std::move(decoded));
    } else {
        m_records[std::size_t(index)] = std::move(decoded);
    }
}

WorkFileContents WorkFileParser::takeContents() {
    WorkFileContents contents{std::move(m_records), std::move(m_skipped)};
    m_records.clear();
    m_skipped.clear();
    std::fill(m_index.begin(), m_index.end(), -1);
    return contents;
}

QString workFileLengthProblem(qint64 length) {
    if (length > kMaxFileSize)
        return QStringLiteral("its length of %1 bytes is more than %2 records of %3 bytes, one "
                              "for each address")
            .arg(length)
            .arg(AddressStore::kLastAddress)
            .arg(kRecordSize);
    if (length % kRecordSize == 0)
        return {};
    return QStringLiteral("its length of %1 bytes is not a whole number of %2-byte records")
        .arg(length)
        .arg(kRecordSize);
}

std::optional<WorkFileContents> parseWorkFile(QByteArrayView bytes, QString *problem) {
    const QString lengthProblem = workFileLengthProblem(bytes.size());
    if (!lengthProblem.isEmpty()) {
        if (problem)
            *problem = lengthProblem;
        return std::nullopt;
    }
    WorkFileParser parser;
    for (qsizetype offset = 0; offset < bytes.size(); offset += kRecordSize)
        parser.addRecord(bytes.sliced(offset, kRecordSize));
    return parser.takeContents();
}

void applyWorkFile(const WorkFileContents &contents, AddressStore &store) {
    store.clearCells();
    store.HighestAddress = AddressStore::kFirstAddress;
    for (const WorkFileRecord &record : contents.records) {
        for (int col = 1; col <= AddressStore::kColumns; ++col) {
            for (int row = 1; row <= AddressStore::kRows; ++row)
                store.setCell(record.address, col, row, record.cell(col, row));
        }
        store.setModel(record.address, record.model);
        store.HighestAddress = std::max(store.HighestAddress, record.address);
    }
}

} // namespace corvane
