#include "logger_model.h"
#include "sim_test_support.h"

#include <QTest>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::test::frame;

class TstLoggerCounting : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void tariffWindows_data();
    void tariffWindows();
    void fractionalRatesCarryOver();
    void consumptionAndFlow_data();
    void consumptionAndFlow();
    void writingTheInitialValueSetsTheReading();
    void countersReadOverTheBus();
    void clockRunsAndCanBeSet();
    void clockSetBackLeavesLoggersAlone();
    void inputStatusFollowsPulses_data();
    void inputStatusFollowsPulses();
};

void TstLoggerCounting::tariffWindows_data() {
    QTest::addColumn<QTime>("start");
    QTest::addColumn<int>("minutes");
    QTest::addColumn<int>("windowStart");
    QTest::addColumn<int>("windowHours");
    QTest::addColumn<qint64>("tariffPulses");
    // Two pulses a second: 7200 an hour.
    QTest::newRow("inside") << QTime(9, 5) << 60 << 6 << 16 << qint64(7200);
    QTest::newRow("outside") << QTime(23, 0) << 60 << 6 << 16 << qint64(0);
    QTest::newRow("opens during the interval") << QTime(5, 30) << 60 << 6 << 16 << qint64(3600);
    QTest::newRow("over midnight") << QTime(21, 30) << 120 << 22 << 8 << qint64(10800);
    QTest::newRow("several days") << QTime(0, 0) << 3 * 24 * 60 << 22 << 8 << qint64(3 * 8 * 7200);
    QTest::newRow("duration 0 is closed") << QTime(9, 0) << 60 << 9 << 0 << qint64(0);
    QTest::newRow("duration 24 is open all day") << QTime(3, 0) << 600 << 9 << 24 << qint64(72000);
}

void TstLoggerCounting::tariffWindows() {
    QFETCH(QTime, start);
    QFETCH(int, minutes);
    QFETCH(int, windowStart);
    QFETCH(int, windowHours);
    QFETCH(qint64, tariffPulses);
    LoggerModel logger(Model::Qtr8d, 1, QDateTime(QDate(2026, 12, 6), start, Qt::UTC));
    logger.setTariff(1, 3, windowStart, windowHours);
    logger.setPulseRate(1, 2.0);
    logger.advance(std::chrono::minutes(minutes));
    QCOMPARE(logger.totalPulses(1), qint64(minutes) * 120);
    QCOMPARE(logger.tariffPulses(1, 3), tariffPulses);
    QCOMPARE(logger.totalPulses(2), qint64(0));
}

void TstLoggerCounting::fractionalRatesCarryOver() {
    LoggerModel stepped;
    LoggerModel whole;
    stepped.setPulseRate(1, 0.4);
    whole.setPulseRate(1, 0.4);
    for (int i = 0; i < 10; ++i)
        stepped.advance(1s);
    whole.advance(10s);
    QCOMPARE(stepped.totalPulses(1), qint64(4));
    QCOMPARE(whole.totalPulses(1), qint64(4));
}

void TstLoggerCounting::consumptionAndFlow_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("constant");
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("seconds");
    QTest::addColumn<int>("initialTenths");
    QTest::addColumn<int>("consumptionTenths");
    QTest::addColumn<int>("flowTenths");
    QTest::newRow("m3, 100 pulses per m3") << 1 << 100 << 1.0 << 1000 << 0 << 100 << 100;
    QTest::newRow("on top of the initial value") << 1 << 100 << 1.0 << 1000 << 125 << 225 << 100;
    QTest::newRow("below zero") << 1 << 100 << 0.0 << 0 << -1 << -1 << 0;
    QTest::newRow("kWh, flow unscaled") << 2 << 1000 << 2.0 << 500 << 0 << 10 << 0;
    QTest::newRow("pulse constant 0 adds nothing") << 1 << 0 << 5.0 << 100 << 70 << 70 << 0;
    QTest::newRow("slow flow rounds") << 1 << 1000 << 0.25 << 0 << 0 << 0 << 3;
}

void TstLoggerCounting::consumptionAndFlow() {
    QFETCH(int, unit);
    QFETCH(int, constant);
    QFETCH(double, rate);
    QFETCH(int, seconds);
    QFETCH(int, initialTenths);
    QFETCH(int, consumptionTenths);
    QFETCH(int, flowTenths);
    LoggerModel logger;
    logger.setUnit(3, std::uint16_t(unit));
    logger.setPulseConstant(3, std::uint16_t(constant));
    logger.setInitialValue(3, initialTenths);
    logger.setPulseRate(3, rate);
    logger.advance(std::chrono::seconds(seconds));
    QCOMPARE(logger.consumption(3), consumptionTenths);
    QCOMPARE(logger.flow(3), flowTenths);
}

void TstLoggerCounting::writingTheInitialValueSetsTheReading() {
    test::ManualSim fixture;
    LoggerSimulator &sim = fixture.sim;
    QVERIFY(sim.addSlave(1, Model::Qtr8d));
    QVERIFY(sim.setPulseRate(1, 1, 1.0));
    const QByteArray readConsumption = frame("010400500002");
    fixture.clock->advance(1000s); // 1000 pulses at 100 a m3: 10.0
    QCOMPARE(sim.handleRequest(readConsumption), frame("01040400000064"));
    QCOMPARE(sim.handleRequest(frame("0110803E000204000001F4")), frame("0110803E0002"));
    QCOMPARE(sim.handleRequest(readConsumption), frame("010404000001F4"));
    fixture.clock->advance(100s);
    QCOMPARE(sim.handleRequest(readConsumption), frame("010404000001FE"));
}

void TstLoggerCounting::countersReadOverTheBus() {
    test::ManualSim fixture;
    LoggerSimulator &sim = fixture.sim;
    QVERIFY(sim.addSlave(4, Model::Qtr4d));
    QVERIFY(sim.setPulseRate(4, 2, 3.0));
    fixture.clock->advance(100s);
    QCOMPARE(sim.handleRequest(frame("040400000004")), frame("04040800000000 0000012C"));
    // Tariff 1 (6:00 for 16 hours) is open at 9:05, tariff 2 (22:00 for 8 hours) is not.
    QCOMPARE(sim.handleRequest(frame("040400100004")), frame("04040800000000 0000012C"));
    QCOMPARE(sim.handleRequest(frame("040400200004")), frame("04040800000000 00000000"));
    // A counter holds 32 bits on the bus.
    sim.withLogger(4, [](LoggerModel &logger) { logger.setTotalPulses(1, 0x100000005LL); });
    QCOMPARE(sim.handleRequest(frame("040400000002")), frame("04040400000005"));
}

void TstLoggerCounting::clockRunsAndCanBeSet() {
    test::ManualSim fixture;
    LoggerSimulator &sim = fixture.sim;
    QVERIFY(sim.addSlave(1, Model::Qtr8d));
    const QByteArray readClock = frame("010380120002");
    QCOMPARE(sim.handleRequest(readClock), frame("0103043C460905"));
    fixture.clock->advance(61s);
    QCOMPARE(sim.handleRequest(readClock), frame("0103043C460906"));
    QCOMPARE(sim.handleRequest(frame("011080120002043C46173B")), frame("011080120002"));
    fixture.clock->advance(2min);
    QCOMPARE(sim.handleRequest(readClock), frame("0103043C470001"));
    // The time register alone keeps the date.
    QCOMPARE(sim.handleRequest(frame("010680130A00")), frame("010680130A00"));
    QCOMPARE(sim.logger(1).clock(), QDateTime(QDate(2026, 12, 7), QTime(10, 0), Qt::UTC));
}

void TstLoggerCounting::clockSetBackLeavesLoggersAlone() {
    test::ManualSim fixture;
    QVERIFY(fixture.sim.addSlave(1, Model::Qtr8d));
    fixture.clock->advance(-1h);
    QCOMPARE(fixture.sim.logger(1).clock(), test::referenceTime());
    fixture.clock->advance(30min);
    QCOMPARE(fixture.sim.logger(1).clock(), test::referenceTime().addSecs(30 * 60));
}

void TstLoggerCounting::inputStatusFollowsPulses_data() {
    QTest::addColumn<int>("afterMs");
    QTest::addColumn<int>("polarity");
    QTest::addColumn<int>("status");
    // Input 2 pulses ten times a second, each pulse 10 ms long; input 1 is idle.
    QTest::newRow("during a pulse") << 1000 << 0 << 0x02;
    QTest::newRow("between pulses") << 1050 << 0 << 0x00;
    QTest::newRow("negative, during a pulse") << 1000 << 1 << 0xFD;
    QTest::newRow("negative, between pulses") << 1050 << 1 << 0xFF;
}

void TstLoggerCounting::inputStatusFollowsPulses() {
    QFETCH(int, afterMs);
    QFETCH(int, polarity);
    QFETCH(int, status);
    LoggerModel logger;
    logger.setPulseRate(2, 10.0);
    logger.setPolarity(polarity);
    logger.advance(std::chrono::milliseconds(afterMs));
    QCOMPARE(logger.inputStatus(), status);
    logger.setInputStatusOverride(0x5A);
    QCOMPARE(logger.inputStatus(), 0x5A);
}

QTEST_GUILESS_MAIN(TstLoggerCounting)
#include "tst_logger_counting.moc"
