#include "monitor_history.h"

#include <QTest>

using namespace corvane;

namespace {

constexpr qint64 kStart = 1'800'000'000'000;
constexpr qint64 kMinute = 60'000;

// A reading of input 1 a minute after the one before; a missing value is nothing.
DeviceReading reading(int minute, std::optional<std::int32_t> pulses,
                      std::optional<std::int32_t> flow = 5) {
    DeviceReading r;
    r.address = 3;
    r.time = QDateTime::fromMSecsSinceEpoch(kStart + minute * kMinute);
    r.inputs[0].totalPulses = pulses;
    r.inputs[0].consumptionTenths = pulses;
    r.inputs[0].flowTenths = pulses ? flow : std::nullopt;
    return r;
}

using Lines = QList<QList<double>>;

Lines values(const QList<QList<QPointF>> &lines) {
    Lines out;
    for (const auto &line : lines) {
        QList<double> ys;
        for (const QPointF &p : line)
            ys << p.y();
        out << ys;
    }
    return out;
}

} // namespace

class TstMonitorHistory : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void linesBreakAtGapsAndResets_data();
    void linesBreakAtGapsAndResets();
    void memoryIsBoundedAndThinned();
};

void TstMonitorHistory::linesBreakAtGapsAndResets_data() {
    QTest::addColumn<QList<int>>("pulses"); // -1: the reading failed
    QTest::addColumn<int>("quantity");
    QTest::addColumn<Lines>("expected");
    const int ppm = int(MonitorQuantity::PulsesPerMinute);
    const int flow = int(MonitorQuantity::Flow);
    QTest::newRow("steady count") << QList<int>{0, 60, 120, 180} << ppm
                                  << Lines{{60.0, 60.0, 60.0}};
    QTest::newRow("counter reset")
        << QList<int>{100, 200, 50, 110} << ppm << Lines{{100.0}, {60.0}};
    QTest::newRow("missed reading")
        << QList<int>{0, 10, -1, 30, 40} << ppm << Lines{{10.0}, {10.0}};
    QTest::newRow("flow gap, never a zero") << QList<int>{1, -1, 1} << flow << Lines{{0.5}, {0.5}};
    QTest::newRow("nothing answered") << QList<int>{-1, -1} << flow << Lines{};
}

void TstMonitorHistory::linesBreakAtGapsAndResets() {
    QFETCH(QList<int>, pulses);
    QFETCH(int, quantity);
    QFETCH(Lines, expected);
    MonitorHistory history;
    history.reset(1);
    for (qsizetype i = 0; i < pulses.size(); ++i)
        history.add(reading(int(i), pulses[i] < 0 ? std::nullopt : std::optional(pulses[i])));
    const auto lines =
        history.lines(3, 1, MonitorQuantity(quantity), kStart, kStart + 10 * kMinute, 100);
    QCOMPARE(values(lines), expected);
}

// A day at one reading a second stays in a ring of fixed size: the oldest readings give way,
// and a chart of all of it gets two points a bucket at most, with a missed reading still a
// break.
void TstMonitorHistory::memoryIsBoundedAndThinned() {
    MonitorHistory history;
    history.reset(1);
    const int capacity = history.capacity();
    QCOMPARE(capacity, MonitorHistory::kReadingsPerAddress);
    for (int i = 0; i < capacity + 10; ++i) {
        DeviceReading r;
        r.address = 3;
        r.time = QDateTime::fromMSecsSinceEpoch(kStart + qint64(i) * 1000);
        if (i != capacity / 2)
            r.inputs[0].flowTenths = i % 7;
        history.add(r);
    }
    QCOMPARE(history.count(3), capacity);
    QCOMPARE(history.span(3)->first, kStart + 10 * 1000);
    const auto lines = history.lines(3, 1, MonitorQuantity::Flow, kStart,
                                     kStart + qint64(capacity + 10) * 1000, 300);
    QCOMPARE(lines.size(), 2);
    qsizetype points = 0;
    for (const auto &line : lines)
        points += line.size();
    QVERIFY(points <= 600);
    // With many addresses each keeps a share, never less than a reading.
    history.reset(250);
    QCOMPARE(history.capacity(), MonitorHistory::kReadingsInAll / 250);
}

QTEST_GUILESS_MAIN(TstMonitorHistory)
#include "tst_monitor_history.moc"
