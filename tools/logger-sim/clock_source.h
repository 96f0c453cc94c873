#pragma once

#include <QDateTime>
#include <QElapsedTimer>

#include <chrono>
#include <mutex>

namespace corvane {

// Where the simulated loggers take the passing of time from. Only differences between two
// readings matter: each logger keeps its own clock and moves it on by the time that passed, so
// a source may start anywhere and a logger's clock may be set to anything.
class ClockSource {
public:
    virtual ~ClockSource() = default;
    virtual QDateTime now() = 0;
};

// Wall-clock time, measured on the monotonic clock so that a change of the PC's clock or of
// daylight saving time neither stops nor rewinds the loggers; a new logger starts at the local
// time of day. A scale above 1 makes time run faster, for watching tariff windows open and
// close during a demonstration.
class SystemClockSource : public ClockSource {
public:
    explicit SystemClockSource(double scale = 1.0);
    QDateTime now() override;

private:
    QDateTime m_start;
    QElapsedTimer m_elapsed;
    double m_scale;
};

// Time that moves only when a test says so. Safe to advance from the test thread while the
// simulator's own thread reads it.
class ManualClockSource : public ClockSource {
public:
    explicit ManualClockSource(QDateTime start);
    QDateTime now() override;
    void advance(std::chrono::milliseconds by);
    void set(const QDateTime &to);

private:
    std::mutex m_mutex;
    QDateTime m_now;
};

} // namespace corvane
