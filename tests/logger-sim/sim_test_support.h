#pragma once

#include "clock_source.h"
#include "crc16.h"
#include "logger_simulator.h"

#include <QByteArray>
#include <QDateTime>

#include <memory>

namespace corvane::test {

// A frame from hex digits with its CRC appended.
inline QByteArray frame(const char *hex) {
    QByteArray bytes = QByteArray::fromHex(hex);
    appendCrc(bytes);
    return bytes;
}

// 6 December 2026, 09:05: the date register reads 3C 46 and the time register 09 05.
inline QDateTime referenceTime() {
    return QDateTime(QDate(2026, 12, 6), QTime(9, 5), Qt::UTC);
}

// A simulator whose time moves only when the test moves it.
struct ManualSim {
    ManualSim() { sim.setClockSource(clock); }
    std::shared_ptr<ManualClockSource> clock = std::make_shared<ManualClockSource>(referenceTime());
    LoggerSimulator sim;
};

} // namespace corvane::test
