#include "clock_source.h"

#include <cmath>

namespace corvane {

SystemClockSource::SystemClockSource(double scale)
    : m_start(QDateTime::currentDateTime()), m_scale(scale > 0 ? scale : 1.0) {
    m_elapsed.start();
}

QDateTime SystemClockSource::now() {
    const double elapsedMs = static_cast<double>(m_elapsed.elapsed()) * m_scale;
    return m_start.addMSecs(static_cast<qint64>(std::llround(elapsedMs)));
}

ManualClockSource::ManualClockSource(QDateTime start) : m_now(std::move(start)) {}

QDateTime ManualClockSource::now() {
    std::lock_guard lock(m_mutex);
    return m_now;
}

void ManualClockSource::advance(std::chrono::milliseconds by) {
    std::lock_guard lock(m_mutex);
    m_now = m_now.addMSecs(by.count());
}

void ManualClockSource::set(const QDateTime &to) {
    std::lock_guard lock(m_mutex);
    m_now = to;
}

} // namespace corvane
