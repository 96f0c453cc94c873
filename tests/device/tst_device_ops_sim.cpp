// The device commands as an operator clicks them, against the simulated logger on a
// pseudo-terminal.
#include "device_operations.h"
#include "error_display.h"
#include "sim_session.h"
#include "string_grid.h"
#include "table_rows.h"
#include "value_encoding.h"
#include "windows1251.h"

#include "clock_source.h"

#include <QTest>

#include <cmath>

using namespace corvane;
using namespace corvane::test;

Q_DECLARE_METATYPE(corvane::Model)
Q_DECLARE_METATYPE(corvane::FaultRule)

namespace {

const QString kNoResponse = QStringLiteral("No response from device 1\r");
const QLocale kLocale(QLocale::English, QLocale::UnitedStates);

struct Rig {
    explicit Rig(Model model) : sim{{1, model}}, ops(sim.session) {
        ops.resetForStartup();
        sim.session.store.setModel(1, modelName(model));
        ops.selectAddress(1);
    }
    StringGrid &table() { return sim.session.tables.Grid_data; }
    const StringGrid &counters() { return sim.session.tables.Grid_data2; }
    QStringList &log() { return sim.out.logLines; }
    void tick(const QStringList &boxes) {
        sim.controls.checked.clear();
        for (const QString &box : boxes)
            sim.controls.checked[box] = true;
    }
    bool run(CommandStart (DeviceOperations::*command)()) {
        (ops.*command)();
        return sim.waitIdle();
    }

    SimSession sim;
    DeviceOperations ops;
};

bool isTenthsRow(int row) {
    return row == kRowInitialValue || row >= kRowTariff1InitialValue;
}

// A number in a tenths cell as the read shows it, whatever the decimals typed.
QString asTenths(const QString &text) {
    return formatTenths(std::int32_t(std::lround(text.toDouble() * 10)), kLocale);
}

// What the logger holds for a table cell, as the read shows it.
QString loggerCell(const LoggerModel &m, int input, int row) {
    if (row == kRowUnit)
        return unitText(m.unit(input));
    if (row == kRowPulseConstant)
        return QString::number(m.pulseConstant(input));
    if (row == kRowUserNumber)
        return QString::number(m.userNumber(input));
    if (row == kRowFreeText)
        return decodeWindows1251(m.freeText(input));
    if (row == kRowInitialValue)
        return formatTenths(m.initialValue(input), kLocale);
    if (row <= kRowTariff4Duration) {
        const int tariff = (row - kRowTariff1Start) / 2 + 1;
        return QString::number((row - kRowTariff1Start) % 2 == 0 ? m.tariffStartHour(input, tariff)
                                                                 : m.tariffDuration(input, tariff));
    }
    return formatTenths(m.tariffInitialValue(input, row - kRowTariff1InitialValue + 1), kLocale);
}

// Texts for every writable cell, with initial values to be normalised on the way.
void fillTable(StringGrid &grid, int inputs) {
    const QStringList units{"m3", "kWh", "kJ", "N/A"};
    for (int input = 1; input <= inputs; ++input) {
        grid.setCell(input, kRowUnit, units[(input - 1) % 4]);
        grid.setCell(input, kRowPulseConstant, QString::number(1000 + input));
        grid.setCell(input, kRowUserNumber, QString::number(65530 + input % 6));
        grid.setCell(input, kRowFreeText,
                     input == 2 ? "Газ" : QStringLiteral("Line %1").arg(input));
        grid.setCell(input, kRowInitialValue, input == 1 ? "12.34" : (input == 2 ? "7." : "-3.5"));
        for (int tariff = 0; tariff < 4; ++tariff) {
            grid.setCell(input, kRowTariff1Start + 2 * tariff, QString::number(tariff * 6));
            grid.setCell(input, kRowTariff1Start + 2 * tariff + 1, QString::number(input + tariff));
            grid.setCell(input, kRowTariff1InitialValue + tariff,
                         QStringLiteral("%1.%2").arg(100 * input + tariff).arg(tariff));
        }
    }
}

// The table's texts as a read gives them back.
QStringList asRead(const StringGrid &grid, const QList<int> &rows, int inputs) {
    QStringList cells;
    for (int row : rows)
        for (int input = 1; input <= inputs; ++input)
            cells << (isTenthsRow(row) ? asTenths(grid.cell(input, row)) : grid.cell(input, row));
    return cells;
}

QStringList loggerCells(const LoggerModel &m, const QList<int> &rows, int inputs) {
    QStringList cells;
    for (int row : rows)
        for (int input = 1; input <= inputs; ++input)
            cells << loggerCell(m, input, row);
    return cells;
}

QList<int> allRows() {
    QList<int> rows;
    for (int row = 1; row <= kParameterRows; ++row)
        rows << row;
    return rows;
}

} // namespace

class TstDeviceOpsSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void readFillsTable_data();
    void readFillsTable();
    void silentDevice();
    void faults_data();
    void faults();
    void measuredValues();
    void fastRepliesChangeNothingButTime_data();
    void fastRepliesChangeNothingButTime();
    void secondCommandRefused();
    void writeOneGroup_data();
    void writeOneGroup();
    void freeTextSkipped();
    void invalidCellSkipsItsRow();
    void roundTrip();
    void clockFromPc();
};

void TstDeviceOpsSim::readFillsTable_data() {
    QTest::addColumn<Model>("model");
    QTest::addColumn<int>("requests");
    QTest::newRow("QTR-8D") << Model::Qtr8d << 21;
    QTest::newRow("QTR-6D") << Model::Qtr6d << 19;
    QTest::newRow("QTR-4D") << Model::Qtr4d << 17;
}

void TstDeviceOpsSim::readFillsTable() {
    QFETCH(Model, model);
    QFETCH(int, requests);
    Rig rig(model);
    QVERIFY(rig.sim.portOpen);
    rig.sim.sim.withLogger(1, fillLogger);
    const int inputs = inputCountOf(model);
    QVERIFY(rig.run(&DeviceOperations::readParameters));

    QCOMPARE(rig.sim.sim.requestCount(1), requests);
    const QStringList expected = loggerCells(rig.sim.sim.logger(1), allRows(), inputs);
    QCOMPARE(asRead(rig.table(), allRows(), inputs), expected);
    QCOMPARE(rig.sim.session.store.cell(1, inputs, kRowFreeText),
             expected[3 * inputs + inputs - 1]);
    QCOMPARE(rig.sim.out.texts.value("Label6"), "Time: 09:05");
    QCOMPARE(rig.sim.out.texts.value("Label7"), "Date: 06.12.26");
    QCOMPARE(rig.log(),
             (QStringList{"Reading device No. 1...",
                          QStringLiteral("Read finished: %1 of %1 replies").arg(requests)}));
    QCOMPARE(rig.sim.out.isEnabled("BitBtn1"), true);
    // The same read as values: numbers as the logger holds them, tenths as tenths.
    const DeviceReading &reading = rig.sim.session.reading;
    const LoggerModel logger = rig.sim.sim.logger(1);
    QCOMPARE(reading.kind, DeviceReading::Kind::Parameters);
    QCOMPARE(reading.address, 1);
    QCOMPARE(reading.model, modelName(model));
    QVERIFY(reading.failures.empty());
    QVERIFY(!reading.failureReason());
    for (int input = 1; input <= inputs; ++input) {
        const InputReading &in = reading.inputs[std::size_t(input - 1)];
        QCOMPARE(in.pulseConstant, std::optional<int>(logger.pulseConstant(input)));
        QCOMPARE(in.userNumber, std::optional<int>(logger.userNumber(input)));
        QCOMPARE(in.initialValueTenths, std::optional(logger.initialValue(input)));
        QCOMPARE(in.freeText, std::optional(decodeWindows1251(logger.freeText(input))));
    }
    QCOMPARE(reading.clock->timeText(), "09:05");
}

// Every step is attempted and reported; what the table held is kept and stored. The flow
// button comes back although its window closed empty.
void TstDeviceOpsSim::silentDevice() {
    Rig rig(Model::Qtr4d);
    rig.sim.sim.addFault(FaultRule{});
    for (int row = 1; row <= kParameterRows; ++row)
        for (int input = 1; input <= 4; ++input)
            rig.table().setCell(input, row, "old");
    QVERIFY(rig.run(&DeviceOperations::readParameters));

    QCOMPARE(rig.sim.sim.requestCount(1), 17);
    QCOMPARE(rig.log().count(kNoResponse), 17);
    QCOMPARE(rig.sim.out.status.value(StatusPanel::Progress),
             "Read finished: 0 of 17 replies, 17 without reply");
    for (int row = 1; row <= kParameterRows; ++row)
        for (int input = 1; input <= 4; ++input)
            QCOMPARE(rig.table().cell(input, row), "old");
    QCOMPARE(rig.sim.session.store.cell(1, 4, 17), "old");
    QCOMPARE(rig.sim.out.isEnabled("BitBtn1"), true);
    QCOMPARE(rig.sim.session.reading.failures.size(), std::size_t(17));
    QCOMPARE(rig.sim.session.reading.failureReason(), std::optional<QString>("no reply"));
    QVERIFY(!rig.sim.session.reading.inputs[0].unit);

    rig.log().clear();
    rig.ops.readFlow();
    QCOMPARE(rig.sim.out.isEnabled("BitBtn31"), false);
    QVERIFY(rig.sim.waitIdle());
    QCOMPARE(rig.log(), (QStringList{"Reading flow for device No. 1...", kNoResponse}));
    QCOMPARE(rig.sim.out.isEnabled("BitBtn31"), true);
}

// Each fault hits the second request of the counters sequence once (the first one's window
// includes its send, too short for a split reply); the sequence goes on and the later steps
// still fill their rows.
// With retries, a failed reply is asked for again, one log line each, and the value is read;
// an answer ("illegal data address") is not retried, a busy logger is, and when the retries run
// out the designed failure line follows.
void TstDeviceOpsSim::faults_data() {
    QTest::addColumn<FaultRule>("fault");
    QTest::addColumn<int>("retries");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<bool>("read");
    auto rule = [](FaultKind kind, int times = 1) {
        FaultRule r;
        r.kind = kind;
        r.function = 4;
        r.target = 0x0010;
        r.times = times;
        return r;
    };
    FaultRule exception = rule(FaultKind::Exception);
    exception.exceptionCode = 2;
    FaultRule busy = rule(FaultKind::Exception);
    busy.exceptionCode = 6;
    FaultRule late = rule(FaultKind::Delay);
    late.delay = std::chrono::milliseconds(400);
    FaultRule split = rule(FaultKind::Split);
    split.parts = 4;
    split.partPause = std::chrono::milliseconds(15);
    const QString retry1of1 = QStringLiteral("Retry 1 of 1 for device 1");
    QTest::newRow("bad CRC") << rule(FaultKind::BadCrc) << 0 << QStringList{"Error in CRC field\r"}
                             << false;
    QTest::newRow("exception 2") << exception << 0 << QStringList{"Error - ILLEGAL DATA ADDRESS\r"}
                                 << false;
    QTest::newRow("late reply") << late << 0 << QStringList{kNoResponse} << false;
    QTest::newRow("leading zeros") << rule(FaultKind::LeadingZeros) << 0 << QStringList() << true;
    QTest::newRow("split reply") << split << 0 << QStringList() << true;
    QTest::newRow("reply from device 2")
        << rule(FaultKind::WrongAddress) << 0
        << QStringList{"Reply from device 2 ignored (request went to device 1)", kNoResponse}
        << false;
    QTest::newRow("bad CRC, retried")
        << rule(FaultKind::BadCrc) << 1 << QStringList{retry1of1} << true;
    QTest::newRow("silence, retried")
        << rule(FaultKind::NoReply) << 1 << QStringList{retry1of1} << true;
    QTest::newRow("device 2, retried")
        << rule(FaultKind::WrongAddress) << 1 << QStringList{retry1of1} << true;
    QTest::newRow("silence three times, three retries")
        << rule(FaultKind::NoReply, 3) << 3
        << QStringList{"Retry 1 of 3 for device 1", "Retry 2 of 3 for device 1",
                       "Retry 3 of 3 for device 1"}
        << true;
    QTest::newRow("retries run out")
        << rule(FaultKind::NoReply, 3) << 2
        << QStringList{"Retry 1 of 2 for device 1", "Retry 2 of 2 for device 1", kNoResponse}
        << false;
    QTest::newRow("an answer is not retried")
        << exception << 3 << QStringList{"Error - ILLEGAL DATA ADDRESS\r"} << false;
    QTest::newRow("busy, retried") << busy << 1 << QStringList{retry1of1} << true;
}

void TstDeviceOpsSim::faults() {
    QFETCH(FaultRule, fault);
    QFETCH(int, retries);
    QFETCH(QStringList, expectedLines);
    QFETCH(bool, read);
    Rig rig(Model::Qtr4d);
    rig.sim.sim.withLogger(1, fillLogger);
    rig.sim.sim.addFault(fault);
    rig.sim.session.runner.setRetries(retries);
    QVERIFY(rig.run(&DeviceOperations::readCounters));

    const QStringList expectedLog = QStringList{"Reading device No. 1..."} + expectedLines;
    QCOMPARE(rig.log().mid(0, expectedLog.size()), expectedLog);
    QCOMPARE(rig.counters().cell(1, kRowTariff1Pulses), read ? "101" : "");
    QCOMPARE(rig.counters().cell(1, kRowTotalPulses), "70001");
    // The last counter step is far enough from the fault to be untouched by a late reply.
    QCOMPARE(rig.counters().cell(4, kRowTariff4Pulses), "404");
    QCOMPARE(rig.sim.out.texts.value("Label5"), "Battery status: 3.75");
    QCOMPARE(rig.sim.out.isEnabled("BitBtn6"), true);
    QCOMPARE(rig.sim.session.reading.failures.empty(), read);
    QCOMPARE(rig.sim.session.reading.batteryVolts(), std::optional(3.75));
    // A retried step is still one request of the command.
    QCOMPARE(rig.sim.session.runner.lastSummary().sent, 7);
}

void TstDeviceOpsSim::measuredValues() {
    Rig rig(Model::Qtr6d);
    rig.sim.sim.withLogger(1, fillLogger);
    rig.table().setCell(1, kRowUnit, "m3");
    const LoggerModel logger = rig.sim.sim.logger(1);
    QVERIFY(rig.run(&DeviceOperations::readCounters));

    QCOMPARE(rig.sim.sim.requestCount(1, 4), 7);
    for (int input = 1; input <= 6; ++input) {
        QCOMPARE(rig.counters().cell(input, kRowTotalPulses), QString::number(70000 + input));
        QCOMPARE(rig.counters().cell(input, kRowTariff4Pulses), QString::number(400 + input));
    }
    QCOMPARE(rig.counters().cell(1, kRowTotalConsumption),
             formatTenths(logger.consumption(1), kLocale) + " m3");
    // An empty unit cell still leaves the blank behind the number.
    QCOMPARE(rig.counters().cell(2, kRowTotalConsumption),
             formatTenths(logger.consumption(2), kLocale) + " ");
    QCOMPARE(rig.sim.out.texts.value("Label16"), "Battery status: 3.75");
    const DeviceReading counted = rig.sim.session.reading;
    QCOMPARE(counted.kind, DeviceReading::Kind::Counters);
    for (int input = 1; input <= 6; ++input) {
        const InputReading &in = counted.inputs[std::size_t(input - 1)];
        QCOMPARE(in.totalPulses, std::optional(70000 + input));
        QCOMPARE(in.tariffPulses[3], std::optional(400 + input));
        QCOMPARE(in.consumptionTenths, std::optional(logger.consumption(input)));
    }
    QCOMPARE(counted.inputs[0].consumptionUnit, "m3");

    rig.sim.sim.withLogger(1, [](LoggerModel &m) {
        for (int input = 1; input <= 6; ++input)
            m.setPulseRate(input, 0.5 * input);
    });
    QVERIFY(rig.run(&DeviceOperations::readFlow));
    const LoggerModel flowing = rig.sim.sim.logger(1);
    for (int input = 1; input <= 6; ++input) {
        QCOMPARE(rig.sim.session.tables.Grid_flow.cell(input, kRowFlow),
                 formatTenths(flowing.flow(input), kLocale) + " l/s");
        QCOMPARE(rig.sim.session.reading.inputs[std::size_t(input - 1)].flowTenths,
                 std::optional(flowing.flow(input)));
    }

    QVERIFY(rig.run(&DeviceOperations::readInputStatus));
    QCOMPARE(rig.sim.out.texts.value("Label_input_status"), "Current input status: 0xA5");
    QCOMPARE(rig.sim.session.reading.inputStatus, std::optional(0xA5));
}

// While one sequence runs, every other command that would send is turned away after its own
// checks, and the running sequence still reaches its end.
void TstDeviceOpsSim::secondCommandRefused() {
    Rig rig(Model::Qtr4d);
    rig.sim.sim.withLogger(1, fillLogger);
    rig.ops.readCounters();
    rig.log().clear();
    rig.tick({"Check_unit"});
    for (auto command : {&DeviceOperations::readParameters, &DeviceOperations::writeParameters,
                         &DeviceOperations::readFlow, &DeviceOperations::readInputStatus,
                         &DeviceOperations::setClock})
        (rig.ops.*command)();
    rig.sim.portOpen = false;
    rig.ops.readParameters();
    rig.sim.portOpen = true;
    QCOMPARE(rig.log(), QStringList(5, "Another request is in progress, please wait...")
                            << "Serial COM port is not opened");

    QVERIFY(rig.sim.waitIdle());
    QCOMPARE(rig.sim.out.isEnabled("BitBtn6"), true);
    QCOMPARE(rig.sim.sim.requestCount(1), 7);
    QCOMPARE(rig.counters().cell(4, kRowTariff4Pulses), "404");
}

// One check box alone on one model; across the rows every model is covered.
void TstDeviceOpsSim::writeOneGroup_data() {
    QTest::addColumn<Model>("model");
    QTest::addColumn<QString>("box");
    QTest::addColumn<QList<int>>("rows");
    QTest::addColumn<QStringList>("messages");
    QStringList info, tariffs;
    for (int input = 1; input <= 8; ++input)
        info << QStringLiteral("Programming input %1 info...").arg(input);
    for (int tariff = 1; tariff <= 4; ++tariff)
        tariffs << QStringLiteral("Programming tariff %1 start time and duration...").arg(tariff);
    QStringList initial{"Programming total initial value..."};
    for (int tariff = 1; tariff <= 4; ++tariff)
        initial << QStringLiteral("Programming intial value for tariff %1...").arg(tariff);
    // clang-format off
    QTest::newRow("units QTR-8D") << Model::Qtr8d << "Check_unit" << QList<int>{1}
                                  << QStringList{"Programming units..."};
    QTest::newRow("constants QTR-6D") << Model::Qtr6d << "Check_constant" << QList<int>{2}
                                      << QStringList{"Programming constants..."};
    QTest::newRow("user numbers QTR-4D") << Model::Qtr4d << "Check_user" << QList<int>{3}
                                         << QStringList{"Programming user number..."};
    QTest::newRow("free texts QTR-8D") << Model::Qtr8d << "Check_info" << QList<int>{4} << info;
    QTest::newRow("tariffs QTR-6D") << Model::Qtr6d << "Check_tariffs"
                                    << QList<int>{6, 7, 8, 9, 10, 11, 12, 13} << tariffs;
    QTest::newRow("initial values QTR-4D") << Model::Qtr4d << "Check_initial"
                                           << QList<int>{5, 14, 15, 16, 17} << initial;
    // clang-format on
}

void TstDeviceOpsSim::writeOneGroup() {
    QFETCH(Model, model);
    QFETCH(QString, box);
    QFETCH(QList<int>, rows);
    QFETCH(QStringList, messages);
    Rig rig(model);
    const int inputs = inputCountOf(model);
    fillTable(rig.table(), inputs);
    rig.tick({box});
    rig.ops.writeParameters();
    QCOMPARE(rig.sim.out.isEnabled("BitBtn2"), false);
    QVERIFY(rig.sim.waitIdle());

    QCOMPARE(
        rig.log(),
        messages +
            QStringList{QStringLiteral("Write finished: %1 of %1 replies").arg(messages.size())});
    QCOMPARE(rig.sim.sim.requestCount(1), messages.size());
    QCOMPARE(loggerCells(rig.sim.sim.logger(1), rows, inputs), asRead(rig.table(), rows, inputs));
    QCOMPARE(rig.sim.out.isEnabled("BitBtn2"), true);
    if (box == "Check_initial") {
        // The table shows what was sent.
        QCOMPARE(rig.table().cell(1, kRowInitialValue), "12.3");
        QCOMPARE(rig.table().cell(2, kRowInitialValue), "7");
    }
}

void TstDeviceOpsSim::freeTextSkipped() {
    Rig rig(Model::Qtr4d);
    const QByteArray untouched = rig.sim.sim.logger(1).record(1);
    rig.table().setCell(1, kRowFreeText, "First");
    rig.table().setCell(3, kRowFreeText, "Third");
    rig.tick({"Check_info"});
    QVERIFY(rig.run(&DeviceOperations::writeParameters));

    QCOMPARE(
        rig.log(),
        (QStringList{"Programming input 1 info...", "Info for input 2 not entered, skipping...",
                     "Programming input 3 info...", "Info for input 4 not entered, skipping...",
                     "Write finished: 2 of 2 replies"}));
    QCOMPARE(rig.sim.sim.requestCount(1, 21), 2);
    const LoggerModel logger = rig.sim.sim.logger(1);
    QCOMPARE(logger.freeText(1), "First");
    QCOMPARE(logger.record(1), untouched);
    QCOMPARE(logger.freeText(3), "Third");
}

// A cell that does not convert costs its own row: the error display shows why, nothing is sent
// for it, and the rows after it are written.
void TstDeviceOpsSim::invalidCellSkipsItsRow() {
    QStringList errors;
    setErrorSink([&errors](const QString &message) { errors << message; });
    Rig rig(Model::Qtr8d);
    const QStringList tariff2Before = loggerCells(rig.sim.sim.logger(1), {8, 9}, 8);
    fillTable(rig.table(), 8);
    rig.table().setCell(3, kRowTariff1Start + 2, "abc");
    rig.tick({"Check_tariffs"});
    const bool idle = rig.run(&DeviceOperations::writeParameters);
    setErrorSink({});
    QVERIFY(idle);

    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors.first().contains("'abc'"), qPrintable(errors.first()));
    QCOMPARE(rig.log(), (QStringList{"Programming tariff 1 start time and duration...",
                                     "Programming tariff 3 start time and duration...",
                                     "Programming tariff 4 start time and duration...",
                                     "Write finished: 3 of 3 replies"}));
    const LoggerModel after = rig.sim.sim.logger(1);
    const QList<int> written{6, 7, 10, 11, 12, 13};
    QCOMPARE(loggerCells(after, written, 8), asRead(rig.table(), written, 8));
    QCOMPARE(loggerCells(after, {8, 9}, 8), tariff2Before);
    // The write's own account: the refused row in its place, with the reason shown.
    QStringList rows;
    for (const WriteRow &row : rig.ops.lastWrite().rows)
        rows << QStringLiteral("%1 %2 %3").arg(row.step).arg(row.what).arg(int(row.outcome));
    QCOMPARE(rows, (QStringList{"12 tariff 1 start time and duration 1",
                                "13 tariff 2 start time and duration 3",
                                "14 tariff 3 start time and duration 1",
                                "15 tariff 4 start time and duration 1"}));
    QCOMPARE(rig.ops.lastWrite().rows[1].refusal, errors.first());
    QCOMPARE(rig.ops.lastWrite().failureReason(), "refused: " + errors.first());
}

// Read, change every kind of cell, write everything, read again into a spoilt table.
void TstDeviceOpsSim::roundTrip() {
    Rig rig(Model::Qtr6d);
    QVERIFY(rig.run(&DeviceOperations::readParameters));
    fillTable(rig.table(), 6);
    rig.tick({"Check_unit", "Check_constant", "Check_user", "Check_info", "Check_tariffs",
              "Check_initial"});
    QVERIFY(rig.run(&DeviceOperations::writeParameters));
    const QStringList written = asRead(rig.table(), allRows(), 6);

    for (int row = 1; row <= kParameterRows; ++row)
        for (int input = 1; input <= 6; ++input)
            rig.table().setCell(input, row, "spoilt");
    rig.log().clear();
    QVERIFY(rig.run(&DeviceOperations::readParameters));
    QCOMPARE(rig.log(),
             (QStringList{"Reading device No. 1...", "Read finished: 19 of 19 replies"}));
    QCOMPARE(asRead(rig.table(), allRows(), 6), written);
}

// The logger's clock ends on the PC's minute; a minute boundary during the test is allowed.
void TstDeviceOpsSim::clockFromPc() {
    Rig rig(Model::Qtr8d);
    rig.sim.sim.withLogger(
        1, [](LoggerModel &m) { m.setClock(QDateTime(QDate(2001, 1, 1), QTime(0, 0), Qt::UTC)); });
    auto minute = [](const QDateTime &t) {
        return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()), Qt::UTC);
    };
    const QDateTime before = minute(QDateTime::currentDateTime());
    rig.ops.setClock();
    QTRY_COMPARE(rig.sim.sim.requestCount(1, 16), 1);
    const QDateTime after = minute(QDateTime::currentDateTime());
    const QDateTime logger = minute(rig.sim.sim.logger(1).clock());
    QVERIFY2(logger == before || logger == after, qPrintable(logger.toString(Qt::ISODate)));
    QCOMPARE(rig.log(), QStringList{"Programming current time and date..."});
}

void TstDeviceOpsSim::fastRepliesChangeNothingButTime_data() {
    QTest::addColumn<FaultRule>("fault");
    QTest::addColumn<bool>("faulty");
    // Long enough for a split reply to arrive whole in both modes: the counters' first window
    // includes the send, which is shorter in fast mode.
    QTest::addColumn<int>("window");
    QTest::addColumn<bool>("readOnly");
    QTest::newRow("clean") << FaultRule{} << false << 100 << false;
    FaultRule split;
    split.kind = FaultKind::Split;
    split.parts = 3;
    QTest::newRow("reply in three pieces") << split << true << 250 << false;
    FaultRule exception;
    exception.kind = FaultKind::Exception;
    exception.function = 3;
    exception.target = 0x8000;
    exception.exceptionCode = 2;
    QTest::newRow("exception reply") << exception << true << 100 << false;
    FaultRule filler;
    filler.kind = FaultKind::TrailingFiller;
    QTest::newRow("trailing filler") << filler << true << 100 << false;
    FaultRule garbled;
    garbled.kind = FaultKind::BadCrc;
    garbled.function = 4;
    QTest::newRow("garbled counters") << garbled << true << 100 << false;
    // Too late for its window, which waits in full and reports no response. The read's last
    // step, and nothing after it, so that no later request meets the late reply.
    FaultRule late;
    late.kind = FaultKind::Delay;
    late.delay = std::chrono::milliseconds(300);
    late.target = 0x8012;
    QTest::newRow("late clock reply") << late << true << 100 << true;
}

// The same commands with and without fast replies leave the same tables, labels and log lines,
// whatever the line does to the replies.
void TstDeviceOpsSim::fastRepliesChangeNothingButTime() {
    QFETCH(FaultRule, fault);
    QFETCH(bool, faulty);
    QFETCH(int, window);
    QFETCH(bool, readOnly);
    QStringList outcome[2];
    for (const bool fast : {false, true}) {
        Rig rig(Model::Qtr8d);
        rig.sim.sim.setClockSource(std::make_shared<ManualClockSource>(
            QDateTime(QDate(2026, 12, 6), QTime(9, 5), Qt::UTC)));
        rig.sim.sim.withLogger(1, fillLogger);
        if (faulty)
            rig.sim.sim.addFault(fault);
        rig.sim.session.runner.setResponseTime(std::chrono::milliseconds(window));
        rig.sim.session.setFastReplies(fast);
        QVERIFY(rig.run(&DeviceOperations::readParameters));
        if (!readOnly) {
            QVERIFY(rig.run(&DeviceOperations::readCounters));
            QVERIFY(rig.run(&DeviceOperations::readFlow));
        }
        QStringList &result = outcome[fast ? 1 : 0];
        result << asRead(rig.table(), allRows(), 8);
        for (int row = kRowTotalConsumption; row <= kRowTariff4Pulses; ++row)
            for (int input = 1; input <= 8; ++input)
                result << rig.counters().cell(input, row);
        for (int input = 1; input <= 8; ++input)
            result << rig.sim.session.tables.Grid_flow.cell(input, kRowFlow);
        for (auto it = rig.sim.out.texts.cbegin(); it != rig.sim.out.texts.cend(); ++it)
            result << it.key() + '=' + it.value();
        result << rig.log();
    }
    QCOMPARE(outcome[1], outcome[0]);
}

QTEST_GUILESS_MAIN(TstDeviceOpsSim)
#include "tst_device_ops_sim.moc"
