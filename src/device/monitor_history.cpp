#include "monitor_history.h"

#include <algorithm>
#include <cmath>

namespace corvane {

void MonitorHistory::reset(int addresses) {
    m_rings.clear();
    m_capacity = std::clamp(kReadingsInAll / std::max(1, addresses), 1, kReadingsPerAddress);
}

void MonitorHistory::add(const DeviceReading &reading) {
    Ring &ring = m_rings[reading.address];
    if (ring.samples.empty())
        ring.samples.assign(std::size_t(m_capacity), Sample{});
    Sample sample;
    sample.time = reading.time.toMSecsSinceEpoch();
    for (int i = 0; i < kMaxInputs; ++i) {
        const InputReading &in = reading.inputs[std::size_t(i)];
        sample.consumption[i] = in.consumptionTenths.value_or(kMissing);
        sample.pulses[i] = in.totalPulses.value_or(kMissing);
        sample.flow[i] = in.flowTenths.value_or(kMissing);
    }
    const int capacity = int(ring.samples.size());
    if (ring.size < capacity) {
        ring.samples[std::size_t((ring.first + ring.size) % capacity)] = sample;
        ++ring.size;
    } else {
        ring.samples[std::size_t(ring.first)] = sample;
        ring.first = (ring.first + 1) % capacity;
    }
}

int MonitorHistory::count(int address) const {
    const auto it = m_rings.find(address);
    return it == m_rings.end() ? 0 : it->second.size;
}

std::optional<std::pair<qint64, qint64>> MonitorHistory::span(int address) const {
    const auto it = m_rings.find(address);
    if (it == m_rings.end() || it->second.size == 0)
        return std::nullopt;
    return std::pair(it->second.at(0).time, it->second.at(it->second.size - 1).time);
}

std::optional<double> MonitorHistory::value(const Ring &ring, int i, int input, MonitorQuantity q) {
    const int k = input - 1;
    const Sample &s = ring.at(i);
    switch (q) {
    case MonitorQuantity::Flow:
        if (s.flow[k] == kMissing)
            return std::nullopt;
        return s.flow[k] / 10.0;
    case MonitorQuantity::Consumption:
        if (s.consumption[k] == kMissing)
            return std::nullopt;
        return s.consumption[k] / 10.0;
    case MonitorQuantity::PulsesPerMinute: {
        if (i == 0 || s.pulses[k] == kMissing)
            return std::nullopt;
        const Sample &before = ring.at(i - 1);
        const qint64 elapsed = s.time - before.time;
        // A reset (or a counter that wrapped) shows as a break: the rate across it is unknown.
        if (before.pulses[k] == kMissing || s.pulses[k] < before.pulses[k] || elapsed <= 0)
            return std::nullopt;
        return double(qint64(s.pulses[k]) - qint64(before.pulses[k])) * 60000.0 / double(elapsed);
    }
    }
    return std::nullopt;
}

int MonitorHistory::lowerBound(const Ring &ring, qint64 time) {
    int low = 0;
    int high = ring.size;
    while (low < high) {
        const int mid = (low + high) / 2;
        if (ring.at(mid).time < time)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

QList<QList<QPointF>> MonitorHistory::lines(int address, int input, MonitorQuantity quantity,
                                            qint64 from, qint64 to, int buckets) const {
    QList<QList<QPointF>> result;
    const auto it = m_rings.find(address);
    if (it == m_rings.end() || input < 1 || input > kMaxInputs || to < from)
        return result;
    const Ring &ring = it->second;
    const int begin = lowerBound(ring, from);
    const int end = lowerBound(ring, to + 1);
    QList<QPointF> line;
    const auto breakLine = [&] {
        if (!line.isEmpty())
            result.append(line);
        line.clear();
    };
    buckets = std::max(1, buckets);
    if (end - begin <= 2 * buckets) {
        for (int i = begin; i < end; ++i) {
            const std::optional<double> v = value(ring, i, input, quantity);
            if (!v) {
                breakLine();
                continue;
            }
            line.append(QPointF(double(ring.at(i).time), *v));
        }
        breakLine();
        return result;
    }
    const double width = double(to - from + 1) / buckets;
    int i = begin;
    for (int b = 0; b < buckets && i < end; ++b) {
        const qint64 bucketEnd = from + qint64(std::ceil(width * (b + 1)));
        std::optional<QPointF> low;
        std::optional<QPointF> high;
        bool gap = false;
        for (; i < end && ring.at(i).time < bucketEnd; ++i) {
            const std::optional<double> v = value(ring, i, input, quantity);
            if (!v) {
                gap = true;
                continue;
            }
            const QPointF p(double(ring.at(i).time), *v);
            if (!low || p.y() < low->y())
                low = p;
            if (!high || p.y() > high->y())
                high = p;
        }
        if (low) {
            if (low->x() <= high->x()) {
                line.append(*low);
                if (*high != *low)
                    line.append(*high);
            } else {
                line.append(*high);
                line.append(*low);
            }
        }
        if (gap || !low)
            breakLine();
    }
    breakLine();
    return result;
}

std::optional<QPointF> MonitorHistory::nearest(int address, int input, MonitorQuantity quantity,
                                               qint64 time) const {
    const auto it = m_rings.find(address);
    if (it == m_rings.end() || it->second.size == 0 || input < 1 || input > kMaxInputs)
        return std::nullopt;
    const Ring &ring = it->second;
    int i = lowerBound(ring, time);
    if (i == ring.size || (i > 0 && time - ring.at(i - 1).time < ring.at(i).time - time))
        --i;
    const std::optional<double> v = value(ring, i, input, quantity);
    if (!v)
        return std::nullopt;
    return QPointF(double(ring.at(i).time), *v);
}

} // namespace corvane
