#pragma once

// Small measuring aids the benchmarks share.

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

namespace corvane::bench {

// How late a 2 ms precise timer on the GUI thread fires, interval by interval.
class StallProbe {
public:
    static constexpr qint64 kPeriodNs = 2'000'000;

    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(2);
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_latenessNs.push_back(now - m_last - kPeriodNs);
            m_last = now;
        });
    }
    void start() {
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    void stop() { m_timer.stop(); }
    // Nearest rank, in ms; 0 without samples.
    double percentileMs(double p) const {
        if (m_latenessNs.empty())
            return 0;
        std::vector<qint64> sorted = m_latenessNs;
        std::sort(sorted.begin(), sorted.end());
        const auto rank = static_cast<std::size_t>(std::ceil(p * double(sorted.size())));
        return double(sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1]) / 1e6;
    }
    std::size_t samples() const { return m_latenessNs.size(); }
    void clear() { m_latenessNs.clear(); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    std::vector<qint64> m_latenessNs;
};

// Resident memory of this process, or of the process pid, in MiB; 0 where /proc is not there.
inline double residentMiB(qint64 pid = 0) {
    QFile statm(pid > 0 ? QStringLiteral("/proc/%1/statm").arg(pid)
                        : QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields.at(1).toDouble() * 4096.0 / (1024.0 * 1024.0) : 0;
}

// Runs the event loop until done() or the time is up; false then.
inline bool waitFor(const std::function<bool()> &done, int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
    }
    return true;
}

} // namespace corvane::bench
