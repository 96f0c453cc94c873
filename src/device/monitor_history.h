#pragma once

#include "readings.h"

#include <QList>
#include <QPointF>

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace corvane {

enum class MonitorQuantity {
    // Litres per second.
    Flow,
    // In the input's unit.
    Consumption,
    // From successive total-pulse readings.
    PulsesPerMinute,
};

// What the monitor's chart shows: for each address, its latest readings of consumption, total
// pulses and flow per input, in a ring of fixed size. Each address's ring is allocated whole the
// first time it is used, so memory does not grow while monitoring runs; the oldest readings
// give way to new ones.
class MonitorHistory {
public:
    // 24 hours at one reading a second.
    static constexpr int kReadingsPerAddress = 86400;
    // What all addresses together keep at most: with many addresses, each keeps a share, which
    // still covers a day since each cycle takes longer.
    static constexpr int kReadingsInAll = 4 * kReadingsPerAddress;

    // Empties the history and sizes the rings for this many addresses.
    void reset(int addresses);
    void add(const DeviceReading &reading);

    int capacity() const { return m_capacity; }
    int count(int address) const;
    // The time of the oldest and newest reading of an address, in ms since the epoch.
    std::optional<std::pair<qint64, qint64>> span(int address) const;

    // The quantity of one input (1..8) between from and to (ms since the epoch), as lines: a
    // line ends wherever a reading is missing and, for pulses per minute, where the counter went
    // backwards (a reset), so a gap is never drawn as a zero or a spike. More readings than
    // 2 x buckets are thinned to each bucket's lowest and highest value; a bucket holding a
    // missing reading still ends its line.
    QList<QList<QPointF>> lines(int address, int input, MonitorQuantity quantity, qint64 from,
                                qint64 to, int buckets) const;
    // The value of the reading nearest to time, if that reading has one.
    std::optional<QPointF> nearest(int address, int input, MonitorQuantity quantity,
                                   qint64 time) const;

private:
    static constexpr std::int32_t kMissing = INT32_MIN;
    struct Sample {
        qint64 time = 0;
        std::int32_t consumption[kMaxInputs];
        std::int32_t pulses[kMaxInputs];
        std::int32_t flow[kMaxInputs];
    };
    struct Ring {
        std::vector<Sample> samples;
        int first = 0;
        int size = 0;
        const Sample &at(int i) const {
            return samples[std::size_t((first + i) % int(samples.size()))];
        }
    };
    // The quantity at reading i of the ring, or nothing when it is missing.
    static std::optional<double> value(const Ring &ring, int i, int input, MonitorQuantity q);
    // The first reading at or after time.
    static int lowerBound(const Ring &ring, qint64 time);

    int m_capacity = kReadingsPerAddress;
    std::map<int, Ring> m_rings;
};

} // namespace corvane
