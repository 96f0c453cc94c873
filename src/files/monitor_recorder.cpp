#include "monitor_recorder.h"

namespace corvane {

QString monitorStateText(MonitorState state) {
    switch (state) {
    case MonitorState::Unknown:
        return {};
    case MonitorState::Online:
        return QStringLiteral("online");
    case MonitorState::NoReply:
        return QStringLiteral("no reply");
    case MonitorState::Offline:
        return QStringLiteral("offline");
    }
    return {};
}

bool MonitorRecorder::start(const MonitorLogStart &start, const QString &separator) {
    m_history.reset(int(start.addresses.size()));
    m_addresses.clear();
    if (m_log.isOpen() && !m_log.writeStart(start, separator)) {
        m_log.close();
        return false;
    }
    return true;
}

bool MonitorRecorder::record(const DeviceReading &reading, const QString &separator,
                             const QLocale &locale) {
    m_history.add(reading);
    Address &address = m_addresses[reading.address];
    // A reading cut short by Stop says nothing of the logger.
    if (!reading.stopped) {
        if (reading.failureReason()) {
            ++address.missed;
            address.state =
                address.missed >= kMissedForOffline ? MonitorState::Offline : MonitorState::NoReply;
        } else {
            address.missed = 0;
            address.state = MonitorState::Online;
            address.lastGood = reading;
        }
    }
    if (!m_log.isOpen())
        return true;
    const LinkCounts link =
        m_statistics ? m_statistics->counts(reading.address) : LinkCounts();
    if (!m_log.writeReading(reading, separator, locale, m_statistics ? &link : nullptr)) {
        m_log.close();
        return false;
    }
    return true;
}

const DeviceReading *MonitorRecorder::lastGoodReading(int address) const {
    const auto it = m_addresses.constFind(address);
    return it != m_addresses.constEnd() && it->lastGood ? &*it->lastGood : nullptr;
}

} // namespace corvane
