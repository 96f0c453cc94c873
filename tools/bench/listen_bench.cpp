// How fast a recorded capture of a busy line decodes: a master polls QTR loggers at 115200 baud
// (counters, units, battery, now and then the identification and a broadcast clock write, with
// silences, exceptions, damaged replies and turn-round noise), recorded as the reads a USB
// adapter delivers them: one frame, a frame in pieces, or several frames at once. The recording
// goes to a file first; the decode then streams it through what corvane-cli listen runs for
// every read: framing, pairing, the description in the logger's terms and the JSON line.
//
// Figures: the decode's wall and CPU time against the time the recorded bytes took on the line
// (10 bits a character), and the resident memory as the decode goes, which must stay flat.

#include "bench_util.h"
#include "bus_description.h"
#include "bus_exchange.h"
#include "bus_framer.h"
#include "crc16.h"
#include "exchange_format.h"
#include "frames.h"
#include "send_frame.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDataStream>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <random>

using namespace corvane;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;
constexpr int kBitsPerCharacter = 10;
constexpr std::chrono::nanoseconds kCharacter{1'000'000'000LL * kBitsPerCharacter / kBaud};

double processCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

QByteArray withCrc(QByteArray frame) {
    appendCrc(frame);
    return frame;
}

QByteArray bytesOf(std::initializer_list<int> values) {
    QByteArray bytes;
    for (const int value : values)
        bytes.append(char(value & 0xFF));
    return bytes;
}

QByteArray word(int value) {
    return bytesOf({value >> 8, value});
}

// The line as the master and the loggers drive it, frame after frame with its time.
class Line {
public:
    explicit Line(std::uint32_t seed) : m_random(seed) {}

    // The next frames of one poll, each with the time its first byte starts.
    void poll(QList<std::pair<QByteArray, std::chrono::nanoseconds>> &out) {
        const int address = 1 + int(m_step % 8);
        ++m_step;
        if (m_step % 50 == 0) {
            put(out, clockFrame(0, QByteArray::fromHex("3C460905")));
            ++planted[4];
            return;
        }
        QByteArray request;
        QByteArray reply;
        switch (m_step % 4) {
        case 0:
            request = readInputFrame(address, 0x0000, 16);
            reply = block(address, 4, 16);
            break;
        case 1:
            request = readHoldingFrame(address, 0x8000, 8);
            reply = block(address, 3, 8);
            break;
        case 2:
            request = readInputFrame(address, 999, 2);
            reply = block(address, 4, 2);
            break;
        default:
            request = readDeviceIdFrame(address, 2);
            reply = withCrc(QByteArray(1, char(address)) + QByteArray::fromHex("2B0E028200000200") +
                            QByteArray(1, 6) + "QTR-8D" + QByteArray::fromHex("0106") + "V1.00 ");
            break;
        }
        put(out, request);
        const int roll = int(m_random() % 1000);
        m_time += 400us; // the logger's turnaround
        if (roll < 20) {
            ++planted[3];
            return; // silence
        }
        if (roll < 30) {
            ++planted[1];
            put(out, withCrc(bytesOf({address, request.at(1) | 0x80, 2})));
            return;
        }
        if (roll < 40) {
            ++planted[2];
            reply[5] = char(reply.at(5) ^ 0x10);
            put(out, reply);
            return;
        }
        if (roll < 45)
            reply.prepend(QByteArray(2, '\0'));
        ++planted[0];
        put(out, reply);
    }

    std::chrono::nanoseconds time() const { return m_time; }
    // What was put on the line: ok, exception, damaged, silent, broadcast.
    std::array<qint64, 5> planted{};

private:
    QByteArray block(int address, int function, int registers) {
        QByteArray reply = bytesOf({address, function, 2 * registers});
        for (int i = 0; i < registers; ++i)
            reply += word(int(m_random() & 0xFFFF));
        return withCrc(reply);
    }
    void put(QList<std::pair<QByteArray, std::chrono::nanoseconds>> &out, const QByteArray &frame) {
        out.append({frame, m_time});
        m_time += kCharacter * frame.size() + 1750us; // the frame, then the line's silence
    }

    std::mt19937 m_random;
    std::uint64_t m_step = 0;
    std::chrono::nanoseconds m_time{0};
};

// Writes the recording: reads of (time of the read, bytes), as an adapter hands them over.
qint64 record(const QString &path, qint64 bytes, std::uint32_t seed,
              std::chrono::nanoseconds *duration, std::array<qint64, 5> *planted) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return 0;
    QDataStream out(&file);
    Line line(seed);
    std::mt19937 random(seed + 1);
    QList<std::pair<QByteArray, std::chrono::nanoseconds>> frames;
    qint64 written = 0;
    QByteArray pending;
    std::chrono::nanoseconds pendingEnd{0};
    const auto flush = [&] {
        if (pending.isEmpty())
            return;
        out << qint64(pendingEnd.count()) << pending;
        written += pending.size();
        pending.clear();
    };
    while (written < bytes) {
        frames.clear();
        line.poll(frames);
        for (const auto &[frame, start] : frames) {
            const std::chrono::nanoseconds end = start + kCharacter * frame.size();
            switch (random() % 4) {
            case 0: { // in pieces, each read as its last byte arrives
                flush();
                const qsizetype cut = 1 + qsizetype(random() % std::uint32_t(frame.size() - 1));
                out << qint64((start + kCharacter * cut).count()) << frame.left(cut);
                out << qint64(end.count()) << frame.mid(cut);
                written += frame.size();
                break;
            }
            case 1: // held back and handed over with what follows
                pending += frame;
                pendingEnd = end;
                break;
            default:
                pending += frame;
                pendingEnd = end;
                flush();
                break;
            }
        }
    }
    flush();
    *duration = line.time();
    *planted = line.planted;
    return written;
}

struct Decoded {
    qint64 bytes = 0;
    qint64 exchanges = 0;
    qint64 noise = 0;
    // Exchanges by verdict: ok, exception, crc error, no reply, broadcast, no request.
    std::array<qint64, 6> verdicts{};
    qint64 output = 0;
    double wallSeconds = 0;
    double cpuSeconds = 0;
    double residentAtTenth = 0;
    double residentMax = 0;
    double residentEnd = 0;
};

Decoded decode(const QString &path, qint64 total) {
    Decoded d;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return d;
    QDataStream in(&file);
    const QDateTime origin = QDateTime::currentDateTime();
    const BusTime zero{};
    ExchangePairer pairer(
        ExchangePairer::kDefaultSettle,
        {nullptr, [&](const HeardExchange &exchange) {
             const ExchangeDescription description = describeExchange(exchange);
             const QDateTime time = origin.addMSecs(
                 std::chrono::duration_cast<std::chrono::milliseconds>(exchange.start - zero)
                     .count());
             d.output += exchangeJson(exchange, description, time).size() + 1;
             if (exchange.verdict == HeardExchange::Verdict::Noise) {
                 ++d.noise;
                 return;
             }
             ++d.exchanges;
             ++d.verdicts[std::size_t(exchange.verdict)];
         }});
    BusFramer framer(interFrameSilence({kBaud, kBitsPerCharacter}),
                     [&pairer](HeardFrame &&frame) { pairer.take(frame); });
    framer.setExpected(
        [&pairer](const QByteArray &bytes, bool whole) { return pairer.expects(bytes, whole); });
    const double cpu = processCpuSeconds();
    QElapsedTimer wall;
    wall.start();
    qint64 nextSample = total / 10;
    BusTime last = zero;
    while (!in.atEnd()) {
        qint64 at = 0;
        QByteArray bytes;
        in >> at >> bytes;
        last = zero + std::chrono::nanoseconds(at);
        // What a listener's timer would have done before this read came.
        for (auto due = framer.deadline(); due && *due < last; due = framer.deadline())
            framer.idle(*due);
        framer.feed(bytes, last);
        pairer.idle(std::min(last, framer.oldestPending().value_or(last)));
        d.bytes += bytes.size();
        if (d.bytes >= nextSample) {
            const double resident = bench::residentMiB();
            if (nextSample == total / 10)
                d.residentAtTenth = resident;
            d.residentMax = std::max(d.residentMax, resident);
            nextSample += total / 10;
        }
    }
    framer.finish();
    pairer.finish();
    d.wallSeconds = double(wall.nsecsElapsed()) / 1e9;
    d.cpuSeconds = processCpuSeconds() - cpu;
    d.residentEnd = bench::residentMiB();
    d.residentMax = std::max(d.residentMax, d.residentEnd);
    return d;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Decoding speed of a recorded capture of a line at 115200 baud."));
    parser.addHelpOption();
    const QCommandLineOption sizeOption(QStringLiteral("mb"),
                                        QStringLiteral("Megabytes of line bytes (default 10)."),
                                        QStringLiteral("n"), QStringLiteral("10"));
    parser.addOption(sizeOption);
    parser.process(app);
    const qint64 bytes = std::max(1, parser.value(sizeOption).toInt()) * 1'000'000LL;

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("capture.bin"));
    std::chrono::nanoseconds span{};
    std::array<qint64, 5> planted{};
    const qint64 recorded = record(path, bytes, 20261206, &span, &planted);
    if (recorded == 0) {
        std::fprintf(stderr, "corvane-listen-bench: the recording could not be written\n");
        return 1;
    }
    const double residentBefore = bench::residentMiB();
    const Decoded d = decode(path, recorded);
    const double onTheLine = double(recorded) * kBitsPerCharacter / kBaud;
    std::printf("recorded: %.1f MB of line bytes at %d baud, %.0f s on the line "
                "(%.0f s with the silences)\n",
                double(recorded) / 1e6, kBaud, onTheLine,
                std::chrono::duration<double>(span).count());
    const auto count = [&d](HeardExchange::Verdict verdict) {
        return static_cast<long long>(d.verdicts[std::size_t(verdict)]);
    };
    using Verdict = HeardExchange::Verdict;
    std::printf("decoded: %lld exchanges (ok %lld, exception %lld, crc error %lld, no reply %lld, "
                "broadcast %lld, no request %lld), %lld runs of noise, %.1f MB of JSON lines\n",
                static_cast<long long>(d.exchanges), count(Verdict::Ok), count(Verdict::Exception),
                count(Verdict::CrcError), count(Verdict::NoReply), count(Verdict::Broadcast),
                count(Verdict::NoRequest), static_cast<long long>(d.noise), double(d.output) / 1e6);
    std::printf("planted: ok %lld, exception %lld, damaged %lld, silent %lld, broadcast %lld\n",
                static_cast<long long>(planted[0]), static_cast<long long>(planted[1]),
                static_cast<long long>(planted[2]), static_cast<long long>(planted[3]),
                static_cast<long long>(planted[4]));
    std::printf("decode: %.2f s wall, %.2f s CPU: %.0f x faster than the line\n", d.wallSeconds,
                d.cpuSeconds, onTheLine / std::max(d.wallSeconds, 1e-9));
    std::printf("resident memory: %.1f MiB before, %.1f MiB after a tenth, %.1f MiB at most, "
                "%.1f MiB at the end (%+.1f MiB from a tenth to the end)\n",
                residentBefore, d.residentAtTenth, d.residentMax, d.residentEnd,
                d.residentEnd - d.residentAtTenth);
    return d.bytes == recorded ? 0 : 1;
}
