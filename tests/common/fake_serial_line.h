#pragma once

#include "serial_line.h"
#include "sleeper.h"

#include <QByteArray>
#include <QList>
#include <QStringList>

#include <algorithm>
#include <cstring>
#include <functional>
#include <vector>

namespace corvane::test {

// A serial line and a sleeper in one, recording on a single timeline what the master does: RTS
// changes, every byte written, every pause, every status query and read. Received bytes are
// queued with deliver() and handed out by ReadBytes. Nothing waits.
class FakeSerialLine : public SerialLine, public Sleeper {
public:
    enum class Kind { Rts, Byte, Sleep, InputRoom, OutputRoom, Read, Block, Drain };
    struct Event {
        Kind kind;
        int value;
        bool operator==(const Event &) const = default;
    };

    bool IsOpen() const override { return open; }
    int ReadBytes(void *buffer, int count) override {
        record(Kind::Read, count);
        const int n = std::clamp(int(input.size()), 0, std::max(count, 0));
        std::memcpy(buffer, input.constData(), size_t(n));
        input.remove(0, n);
        return n;
    }
    bool WriteByte(std::uint8_t byte) override {
        record(Kind::Byte, byte);
        current.append(char(byte));
        return open;
    }
    void SetRtsLine(bool on) override {
        record(Kind::Rts, on);
        if (!on && !current.isEmpty()) {
            frames << current;
            current.clear();
            if (onFrame)
                onFrame(frames.back());
        }
    }
    int WriteBlock(const QByteArray &bytes) override {
        record(Kind::Block, int(bytes.size()));
        current.append(bytes);
        return open ? int(bytes.size()) : 0;
    }
    void WaitSent(std::chrono::milliseconds) override { record(Kind::Drain, 0); }
    int InputQueued() override { return int(input.size()); }
    int InputRoom() override {
        record(Kind::InputRoom, 0);
        return 4096 - int(input.size());
    }
    int OutputRoom() override {
        record(Kind::OutputRoom, 0);
        return 2048;
    }
    // Pauses are kept in microseconds.
    void sleep(std::chrono::microseconds duration) override {
        record(Kind::Sleep, int(duration.count()));
    }
    LineTiming lineTiming() const override { return timing; }
    bool keysRts() const override { return keyed; }
    std::optional<std::chrono::steady_clock::time_point> quietSince() const override {
        return quiet;
    }

    void deliver(const QByteArray &bytes) { input += bytes; }

    // The events as one line, with each run of written bytes and their pauses folded, e.g.
    // "rts+ 50ms 8*(byte 2ms) rts- OutputRoom" or "read 1024 read 476".
    QString timeline() const {
        QStringList parts;
        for (size_t i = 0; i < events.size(); ++i) {
            const Event &e = events[i];
            int run = 0;
            while (i + 1 < events.size() && events[i].kind == Kind::Byte &&
                   events[i + 1] == Event{Kind::Sleep, 2000}) {
                ++run;
                i += 2;
            }
            if (run > 0) {
                parts << QStringLiteral("%1*(byte 2ms)").arg(run);
                --i;
                continue;
            }
            static const char *const kNames[] = {"rts",        "byte",  "",       "InputRoom",
                                                 "OutputRoom", "read ", "block ", "drain"};
            if (e.kind == Kind::Rts)
                parts << QLatin1String(e.value ? "rts+" : "rts-");
            else if (e.kind == Kind::Sleep && e.value % 1000 == 0)
                parts << QStringLiteral("%1ms").arg(e.value / 1000);
            else if (e.kind == Kind::Sleep)
                parts << QStringLiteral("%1us").arg(e.value);
            else if (e.kind == Kind::Read || e.kind == Kind::Byte || e.kind == Kind::Block)
                parts << QLatin1String(kNames[int(e.kind)]) + QString::number(e.value);
            else
                parts << QLatin1String(kNames[int(e.kind)]);
        }
        return parts.join(QLatin1Char(' '));
    }
    int count(Kind kind) const {
        return int(std::count_if(events.begin(), events.end(),
                                 [kind](const Event &e) { return e.kind == kind; }));
    }

    bool open = true;
    LineTiming timing{9600, 10};
    bool keyed = true;
    std::optional<std::chrono::steady_clock::time_point> quiet;
    QByteArray input;
    QByteArray current;
    QList<QByteArray> frames; // each frame written between RTS up and RTS down
    std::vector<Event> events;
    // Called with each finished frame, e.g. to queue a scripted reply.
    std::function<void(const QByteArray &frame)> onFrame;
    // Called before every operation is recorded; a test throws from it to fake a port error.
    std::function<void(Kind)> fault;

private:
    void record(Kind kind, int value) {
        if (fault)
            fault(kind);
        events.push_back({kind, value});
    }
};

} // namespace corvane::test
