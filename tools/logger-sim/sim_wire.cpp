#include "sim_wire.h"

#include <algorithm>

namespace corvane {

std::chrono::nanoseconds characterTime(const LineSettings &settings, int stopBits) {
    const bool known = settings.speedCode >= 0 && settings.speedCode < int(kLineSpeeds.size());
    const std::int64_t baud = known ? kLineSpeeds[settings.speedCode] : 9600;
    const std::int64_t bits = 1 + 8 + (settings.parityCode != 2 ? 1 : 0) + (stopBits == 2 ? 2 : 1);
    constexpr std::int64_t kNanosecondsPerSecond = 1'000'000'000;
    return std::chrono::nanoseconds((bits * kNanosecondsPerSecond + baud - 1) / baud);
}

void WireSchedule::arrived(Clock::time_point at, qsizetype count) {
    if (count > 0)
        m_arrivals.push_back({at, count});
}

QList<WireSchedule::Clock::time_point> WireSchedule::pass(qsizetype count,
                                                          std::chrono::nanoseconds character) {
    QList<Clock::time_point> passed;
    passed.reserve(count);
    while (passed.size() < count && !m_arrivals.empty()) {
        Arrival &front = m_arrivals.front();
        m_freeAt = std::max(m_freeAt, front.at) + character;
        passed.append(m_freeAt);
        if (--front.count == 0)
            m_arrivals.pop_front();
    }
    return passed;
}

QList<WireSchedule::Clock::time_point> WireSchedule::send(Clock::time_point start, qsizetype count,
                                                          std::chrono::nanoseconds character) {
    QList<Clock::time_point> passed;
    passed.reserve(count);
    m_freeAt = std::max(m_freeAt, start);
    for (qsizetype i = 0; i < count; ++i) {
        m_freeAt += character;
        passed.append(m_freeAt);
    }
    return passed;
}

void WireSchedule::clear() {
    m_arrivals.clear();
}

} // namespace corvane
