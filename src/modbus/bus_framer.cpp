#include "bus_framer.h"

#include "crc16.h"
#include "function_codes.h"
#include "modbus_reply.h"

#include <algorithm>

namespace corvane {
namespace {

// The bit functions of other devices on the line.
constexpr int kReadCoils = 0x01;
constexpr int kReadDiscreteInputs = 0x02;
constexpr int kWriteSingleCoil = 0x05;
constexpr int kWriteMultipleCoils = 0x0F;

// Address, function and the CRC.
constexpr int kShortestFrame = 4;
constexpr int kCrcLength = 2;
// Read device identification.
constexpr int kMeiDeviceId = 0x0E;

int byteAt(QByteArrayView raw, qsizetype position) {
    return static_cast<std::uint8_t>(raw.at(position));
}

// Whether the lengths of frames of this function can be told from their bytes.
bool hasStructure(int function) {
    if (function & kExceptionFlag)
        return true;
    switch (function) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kWriteSingleCoil:
    case kWriteMultipleCoils:
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteFileRecord):
    case code(FunctionCode::EncapsulatedInterface):
    case code(FunctionCode::LoggerService):
        return true;
    default:
        return false;
    }
}

bool crcChecks(QByteArrayView raw, int length) {
    return Crc16(reinterpret_cast<const std::uint8_t *>(raw.data()), std::size_t(length)) == 0;
}

} // namespace

int expectedRequestLength(QByteArrayView raw) {
    if (raw.size() < 2)
        return 0;
    switch (byteAt(raw, 1)) {
    case kReadCoils:
    case kReadDiscreteInputs:
    case kWriteSingleCoil:
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::WriteSingleRegister):
        // Address, start or register, quantity or value.
        return 8;
    case kWriteMultipleCoils:
    case code(FunctionCode::WriteMultipleRegisters):
        // Start, quantity, then the byte count at 6 and the data.
        return raw.size() > 6 ? 7 + byteAt(raw, 6) + kCrcLength : 0;
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteFileRecord):
        return raw.size() > 2 ? 3 + byteAt(raw, 2) + kCrcLength : 0;
    case code(FunctionCode::EncapsulatedInterface):
        // MEI type, code, object id.
        return raw.size() > 2 && byteAt(raw, 2) == kMeiDeviceId ? 5 + kCrcLength : 0;
    case code(FunctionCode::LoggerService):
        // Sub-code, data length, data.
        return raw.size() > 3 ? 4 + byteAt(raw, 3) + kCrcLength : 0;
    default:
        return 0;
    }
}

int expectedBusReplyLength(QByteArrayView raw) {
    if (raw.size() < 2)
        return 0;
    switch (byteAt(raw, 1)) {
    case kReadCoils:
    case kReadDiscreteInputs:
        return raw.size() > 2 ? 3 + byteAt(raw, 2) + kCrcLength : 0;
    case kWriteSingleCoil:
    case kWriteMultipleCoils:
        return 8;
    default:
        return expectedReplyLength(raw);
    }
}

BusFramer::BusFramer(std::chrono::nanoseconds silence, Sink sink,
                     std::chrono::nanoseconds holdLimit)
    : m_silence(silence), m_holdLimit(std::max(holdLimit, silence)), m_sink(std::move(sink)) {}

void BusFramer::feed(QByteArrayView bytes, BusTime at) {
    if (bytes.isEmpty())
        return;
    const bool afterSilence = !m_last || m_endClosed || at - *m_last >= m_silence;
    m_chunks.push_back({m_bytes.size(), at, afterSilence});
    m_bytes.append(bytes);
    m_last = at;
    m_endClosed = false;
    parse(Settle::None);
}

void BusFramer::idle(BusTime now) {
    if (!m_last)
        return;
    if (!m_endClosed && now - *m_last >= m_silence) {
        m_endClosed = true;
        parse(Settle::BurstClosed);
    }
    if (!m_bytes.isEmpty() && now - *m_last >= m_holdLimit)
        parse(Settle::All);
}

void BusFramer::finish() {
    m_endClosed = true;
    parse(Settle::All);
    flushNoise();
}

std::optional<BusTime> BusFramer::deadline() const {
    if (!m_last || (m_bytes.isEmpty() && m_noise.bytes.isEmpty()))
        return std::nullopt;
    if (!m_endClosed)
        return *m_last + m_silence;
    if (!m_bytes.isEmpty())
        return *m_last + m_holdLimit;
    return std::nullopt;
}

std::optional<BusTime> BusFramer::oldestPending() const {
    if (!m_noise.bytes.isEmpty())
        return m_noise.start;
    if (!m_bytes.isEmpty())
        return timeOf(0);
    return std::nullopt;
}

void BusFramer::parse(Settle settle) {
    qsizetype p = 0;
    while (p < m_bytes.size()) {
        if (!m_noise.bytes.isEmpty() && burstStartsAt(p))
            flushNoise();
        bool incomplete = false;
        int fallback = 0;
        int length = frameAt(p, settle, &incomplete, &fallback);
        if (length == 0 && incomplete && settle != Settle::All &&
            !frameBeginsAfterSilence(p, settle))
            break;
        if (length == 0)
            length = fallback;
        if (length > 0) {
            flushNoise();
            m_sink(HeardFrame{HeardFrame::Kind::Frame, m_bytes.mid(p, length), timeOf(p),
                              timeOf(p + length - 1)});
            p += length;
            continue;
        }
        addNoise(p);
        ++p;
    }
    consume(p);
    if (m_bytes.isEmpty() && m_endClosed)
        flushNoise();
}

int BusFramer::frameAt(qsizetype p, Settle settle, bool *incomplete, int *fallback) const {
    const QByteArrayView rest = QByteArrayView(m_bytes).sliced(p);
    const bool structured = rest.size() < 2 || hasStructure(byteAt(rest, 1));
    int best = 0;
    bool bestExpected = false;
    bool waiting = false;
    // A longer reading the listener expects has begun but not come whole.
    bool expectedToCome = false;
    for (const int length : {expectedRequestLength(rest), expectedBusReplyLength(rest)}) {
        if (length == 0) {
            // Too few bytes to tell yet; a frame's worth that still tells nothing is none.
            waiting = waiting || (structured && rest.size() < kMaxBusFrameLength);
            continue;
        }
        if (length < kShortestFrame || length > kMaxBusFrameLength)
            continue;
        if (length > rest.size()) {
            waiting = true;
            expectedToCome = expectedToCome || (m_expected && m_expected(m_bytes.mid(p), false));
            continue;
        }
        if (!crcChecks(rest, length) || length == best)
            continue;
        const bool expected = m_expected && m_expected(m_bytes.mid(p, length), true);
        if (best == 0 || (expected && !bestExpected) ||
            (expected == bestExpected && length < best)) {
            best = length;
            bestExpected = expected;
        }
    }
    if (best == 0 && burstStartsAt(p)) {
        qsizetype end = nextSilence(p);
        if (end < 0 && (m_endClosed || settle == Settle::All))
            end = m_bytes.size();
        const qsizetype length = end - p;
        if (end < 0)
            // Until the silence after it comes, the burst may still be one frame.
            waiting = waiting || rest.size() <= kMaxBusFrameLength;
        else if (length >= kShortestFrame && length <= kMaxBusFrameLength &&
                 crcChecks(rest, int(length)))
            best = int(length);
    }
    if (fallback)
        *fallback = 0;
    if (best > 0 && !bestExpected && expectedToCome && settle != Settle::All) {
        if (fallback)
            *fallback = best;
        best = 0;
    }
    if (incomplete)
        *incomplete = best == 0 && waiting;
    return best;
}

bool BusFramer::burstStartsAt(qsizetype p) const {
    const auto chunk = std::lower_bound(m_chunks.begin(), m_chunks.end(), p,
                                        [](const Chunk &c, qsizetype at) { return c.begin < at; });
    return chunk != m_chunks.end() && chunk->begin == p && chunk->afterSilence;
}

qsizetype BusFramer::nextSilence(qsizetype p) const {
    for (const Chunk &chunk : m_chunks) {
        if (chunk.begin > p && chunk.afterSilence)
            return chunk.begin;
    }
    return -1;
}

bool BusFramer::frameBeginsAfterSilence(qsizetype p, Settle settle) const {
    for (const Chunk &chunk : m_chunks) {
        int fallback = 0;
        if (chunk.begin > p && chunk.afterSilence &&
            (frameAt(chunk.begin, settle, nullptr, &fallback) > 0 || fallback > 0))
            return true;
    }
    return false;
}

BusTime BusFramer::timeOf(qsizetype index) const {
    auto chunk = std::upper_bound(m_chunks.begin(), m_chunks.end(), index,
                                  [](qsizetype at, const Chunk &c) { return at < c.begin; });
    if (chunk != m_chunks.begin())
        --chunk;
    return chunk != m_chunks.end() ? chunk->at : BusTime{};
}

void BusFramer::addNoise(qsizetype p) {
    const BusTime at = timeOf(p);
    if (m_noise.bytes.isEmpty())
        m_noise.start = at;
    m_noise.end = at;
    m_noise.bytes.append(m_bytes.at(p));
}

void BusFramer::flushNoise() {
    if (m_noise.bytes.isEmpty())
        return;
    HeardFrame noise = std::move(m_noise);
    m_noise = HeardFrame{HeardFrame::Kind::Noise, {}, {}, {}};
    m_sink(std::move(noise));
}

void BusFramer::consume(qsizetype count) {
    if (count <= 0)
        return;
    m_bytes.remove(0, count);
    if (m_bytes.isEmpty()) {
        m_chunks.clear();
        return;
    }
    while (m_chunks.size() > 1 && m_chunks[1].begin <= count)
        m_chunks.pop_front();
    for (Chunk &chunk : m_chunks) {
        if (chunk.begin < count) {
            // What is left of it follows a frame, not a silence.
            chunk.begin = 0;
            chunk.afterSilence = false;
        } else {
            chunk.begin -= count;
        }
    }
}

} // namespace corvane
