#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>

namespace corvane {

// The clock of what a listener hears: gaps and reply times are measured on it.
using BusClock = std::chrono::steady_clock;
using BusTime = BusClock::time_point;

// What a listener heard on a line another master drives: one frame whose CRC checks, or a run of
// bytes that formed none.
struct HeardFrame {
    enum class Kind { Frame, Noise };
    Kind kind = Kind::Frame;
    QByteArray bytes;
    // When its first and its last byte were read.
    BusTime start;
    BusTime end;
};

// The largest frame Modbus RTU allows, CRC included.
inline constexpr int kMaxBusFrameLength = 256;

// Length of the complete request frame raw begins with, CRC included, from its function code and
// byte count; 0 while too few bytes have arrived to tell, or for a function no master here sends.
// Besides the loggers' own functions it knows the bit reads and writes (0x01, 0x02, 0x05, 0x0F)
// that another master on the line may send to other devices.
int expectedRequestLength(QByteArrayView raw);
// The same for a reply: expectedReplyLength, and the bit functions.
int expectedBusReplyLength(QByteArrayView raw);

// Cuts what a read-only port hears into frames and noise.
//
// A line a master drives carries frames separated by at least 3.5 characters of silence, and a
// frame never holds such a gap. Not every line keeps that where the listener sees it: a
// pseudo-terminal, a serial gateway or a USB adapter's latency deliver several frames in one read,
// or one frame in several reads far apart. So a frame is found by its own structure, as a
// request or as a reply, and its CRC, wherever it lies; the silences only
//  - end a run of noise, so that a damaged frame is reported as one run of its own length;
//  - tell a frame of a function whose structure is unknown, when all the bytes between two
//    silences check as one frame;
//  - let go of bytes that might still become a frame once a whole frame has begun after a silence
//    behind them.
// Bytes that might begin a frame wait for the rest until the line has been quiet for holdLimit;
// then they are noise. Every byte fed comes out once, in a frame or in noise, in the order heard.
//
// Where two readings of the same bytes both check, the one the listener expects wins, and
// otherwise the shorter: a reply whose CRC ends in 0x00 also checks one byte short, where it may
// read as a request, and a reply followed by a filler 0x00 checks one byte long. So a shorter
// reading that checks waits while a longer one the listener expects has not come whole.
class BusFramer {
public:
    using Sink = std::function<void(HeardFrame &&)>;
    // Whether the listener waits for this very frame now, the reply to its request; with whole
    // false, for a frame that begins with these bytes.
    using Expected = std::function<bool(const QByteArray &bytes, bool whole)>;

    // silence: the line's 3.5 characters (interFrameSilence).
    BusFramer(std::chrono::nanoseconds silence, Sink sink,
              std::chrono::nanoseconds holdLimit = kDefaultHoldLimit);

    // Bytes read at `at`, in the order read; times never go back.
    void feed(QByteArrayView bytes, BusTime at);
    // Nothing has come since the last feed up to now: what waits on the silence is settled.
    void idle(BusTime now);
    // Everything still pending comes out: the listening ends.
    void finish();
    // When idle() would next settle something; nothing while no byte is pending.
    std::optional<BusTime> deadline() const;
    // When the oldest byte not yet given out was read: nothing after it has been decided.
    std::optional<BusTime> oldestPending() const;
    void setExpected(Expected expected) { m_expected = std::move(expected); }

    // A USB adapter holds received bytes for up to 16 ms by default before it hands them on.
    static constexpr std::chrono::milliseconds kDefaultHoldLimit{50};

private:
    struct Chunk {
        qsizetype begin; // index into m_bytes
        BusTime at;
        bool afterSilence;
    };
    enum class Settle { None, BurstClosed, All };

    void parse(Settle settle);
    // The frame that begins at position p and is complete, by its structure or as the whole of a
    // burst between two silences; 0 for none. incomplete tells whether p might still begin a
    // frame once more bytes come; fallback is then the length of a shorter reading that checks,
    // for when the rest never comes.
    int frameAt(qsizetype p, Settle settle, bool *incomplete, int *fallback) const;
    bool burstStartsAt(qsizetype p) const;
    // The next silence after p, or -1.
    qsizetype nextSilence(qsizetype p) const;
    // A whole frame begins at a silence behind p, so p cannot be the start of one that crosses it.
    bool frameBeginsAfterSilence(qsizetype p, Settle settle) const;
    BusTime timeOf(qsizetype index) const;
    void addNoise(qsizetype p);
    void flushNoise();
    void consume(qsizetype count);

    std::chrono::nanoseconds m_silence;
    std::chrono::nanoseconds m_holdLimit;
    Sink m_sink;
    Expected m_expected;
    QByteArray m_bytes;
    std::deque<Chunk> m_chunks;
    std::optional<BusTime> m_last;
    // The line has been quiet for a silence since the last byte.
    bool m_endClosed = false;
    HeardFrame m_noise{HeardFrame::Kind::Noise, {}, {}, {}};
};

} // namespace corvane
