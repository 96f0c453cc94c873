#pragma once

#include "logger_model.h"

#include <QList>

#include <chrono>
#include <deque>

namespace corvane {

// How the simulated line behaves in time. All off, the loggers answer at memory speed, as
// soon as a request's last byte has been read.
struct WireOptions {
    // Requests take their time on the line, and replies go out at the logger's speed.
    bool lineTime = false;
    // The logger's own work between a request received and the first byte of its reply.
    std::chrono::milliseconds turnaround{0};
    // The master hears its own requests, as through a 2-wire adapter.
    bool echo = false;
};

// One character on the line: a start bit, 8 data bits, the parity bit when there is one, the
// stop bits. Rounded up, so that a byte paced by it never arrives early. A speed code that
// names no speed counts as 9600; parity that is not "none" (mark and space included) has a bit.
std::chrono::nanoseconds characterTime(const LineSettings &settings, int stopBits = 1);

// The line as one resource: every byte on it, the master's or a logger's, holds it for one
// character time, from when the byte is there to go or from when the line is next free,
// whichever is later. A frame written in one go is therefore received one frame time after it
// came, and a frame written byte by byte with longer pauses one character after its last byte.
class WireSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // The master wrote count bytes, read at at.
    void arrived(Clock::time_point at, qsizetype count);
    // Takes the master's next count bytes off the line, each one character long; the times
    // each has passed (fewer when fewer have arrived).
    QList<Clock::time_point> pass(qsizetype count, std::chrono::nanoseconds character);
    // A logger sends count bytes, the first not before start; the times each has passed.
    QList<Clock::time_point> send(Clock::time_point start, qsizetype count,
                                  std::chrono::nanoseconds character);
    // A master that has gone leaves nothing on the line.
    void clear();

private:
    struct Arrival {
        Clock::time_point at;
        qsizetype count;
    };
    std::deque<Arrival> m_arrivals;
    Clock::time_point m_freeAt{};
};

} // namespace corvane
