// The service page against the simulated logger on a pseudo-terminal: the information read as
// "Read type" runs it, and what each service command changes in the logger.

#include "error_display.h"
#include "service_page.h"
#include "sim_session.h"
#include "string_grid.h"

#include <QTest>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

struct ServiceSim {
    explicit ServiceSim(Model model = Model::Qtr8d, int address = 1) : sim{{address, model}} {
        sim.address = address;
        sim.session.runner.setResponseTime(100ms);
    }
    // Clicks a command and waits until its answer window, if any, has closed.
    void run(CommandStart (ServicePage::*handler)(), const QHash<QString, QString> &texts = {}) {
        sim.controls.texts = texts;
        (page.*handler)();
        QVERIFY(sim.waitIdle());
    }
    LoggerModel logger() const { return sim.sim.logger(sim.address); }
    const QHash<QString, QString> &texts() const { return sim.out.texts; }

    SimSession sim;
    ServicePage page{sim.session};
};

} // namespace

class TestServiceSim : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_errors.clear();
        setErrorSink([this](const QString &message) { m_errors << message; });
    }
    void cleanup() {
        setErrorSink({});
        QVERIFY2(m_errors.isEmpty(), qPrintable(m_errors.join('\n')));
    }

    void readType_data() {
        QTest::addColumn<Model>("model");
        QTest::addColumn<QString>("type");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("inputs");
        QTest::newRow("QTR-8D") << Model::Qtr8d << "QTR-8D" << 9 << 8;
        QTest::newRow("QTR-6D") << Model::Qtr6d << "QTR-6D" << 7 << 6;
        QTest::newRow("QTR-4D") << Model::Qtr4d << "QTR-4D" << 5 << 4;
    }
    void readType() {
        QFETCH(Model, model);
        QFETCH(QString, type);
        QFETCH(int, columns);
        QFETCH(int, inputs);
        ServiceSim s(model, 23);
        s.sim.sim.withLogger(23, [](LoggerModel &logger) {
            logger.setPulseLengthCode(4);
            logger.setLanguage(0);
        });
        s.run(&ServicePage::readDeviceInfo);
        DeviceSession &session = s.sim.session;
        QCOMPARE(session.device.DeviceType, type);
        QCOMPARE(session.tables.Grid_data.gridColumnCount(), columns);
        QCOMPARE(session.tables.Grid_data2.gridColumnCount(), columns);
        QCOMPARE(session.device.InputCount, inputs);
        QCOMPARE(session.device.LongRegisterCount, 2 * inputs);
        QCOMPARE(session.store.model(23), type);
        QCOMPARE(s.texts().value("Label13"), QStringLiteral("Мрежов адрес: 23"));
        QCOMPARE(s.texts().value("Label21"), "Device type: " + type);
        QVERIFY(s.texts().value("Label17").startsWith("Time and Date: "));
        QVERIFY(s.texts().value("Label16").startsWith("Battery status: "));
        QCOMPARE(s.texts().value("Label15"), QStringLiteral("Pulse length: 20 ms"));
        QCOMPARE(s.texts().value("Label14"), QStringLiteral("Language: Bulgarian"));
        QCOMPARE(s.sim.out.logLines, (QStringList{"Reading device No. 23...",
                                                  "Information read finished: 5 of 5 replies"}));
        QVERIFY(s.sim.out.isEnabled("BitBtn24", false));
    }

    void onlyIdentificationAnswered() {
        ServiceSim s(Model::Qtr6d);
        for (int function : {0x03, 0x04, 0x47}) {
            FaultRule silence;
            silence.function = function;
            s.sim.sim.addFault(silence);
        }
        s.run(&ServicePage::readDeviceInfo);
        QCOMPARE(s.sim.out.logLines.count("No response from device 1\r"), 4);
        QCOMPARE(s.sim.session.device.DeviceType, QStringLiteral("QTR-6D"));
        QVERIFY(s.sim.out.isEnabled("BitBtn24", false));
    }

    // Read code keeps the answer in RxBuffer; a later command empties it before sending.
    void menuCodeAndLock() {
        ServiceSim s;
        s.sim.sim.withLogger(1, [](LoggerModel &logger) { logger.setMenuCode("4321"); });
        s.run(&ServicePage::readMenuCode);
        QCOMPARE(s.texts().value("Edit1"), QStringLiteral("4321"));
        QVERIFY(!s.sim.session.state.RxBuffer.isEmpty());
        s.run(&ServicePage::lockDevice);
        QVERIFY(s.logger().isLocked());
        QCOMPARE(s.texts().value("Label19"), QStringLiteral("Current state: Locked"));
        s.run(&ServicePage::changeMenuCode, {{"Edit1", "0815"}});
        QCOMPARE(s.logger().menuCode(), QByteArray("0815"));
        QCOMPARE(s.texts().value("Label19"), QStringLiteral("Current state: Locked"));
        s.run(&ServicePage::unlockDevice);
        QVERIFY(!s.logger().isLocked());
        QCOMPARE(s.texts().value("Label19"), QStringLiteral("Current state: Unlocked"));
    }

    void exceptionReply() {
        ServiceSim s;
        FaultRule failure;
        failure.kind = FaultKind::Exception;
        failure.function = 0x47;
        s.sim.sim.addFault(failure);
        s.run(&ServicePage::lockDevice);
        QVERIFY(s.sim.out.logLines.contains("Error - SLAVE DEVICE FAILURE\r"));
        QVERIFY(!s.texts().contains("Label19"));
    }

    // The logger switches its line after the acknowledgement: it no longer answers at the old
    // settings, and does once the port follows it.
    void lineSettings_data() {
        QTest::addColumn<QString>("speed");
        QTest::addColumn<QString>("parity");
        QTest::addColumn<int>("codes"); // parity code * 16 + speed code
        const char *const speeds[] = {"300", "1200", "2400", "4800", "9600", "19200", "38400"};
        for (int code = 0; code < 7; ++code)
            QTest::addRow("%s", speeds[code]) << speeds[code] << "Even" << code;
        QTest::newRow("Odd") << "9600"
                             << "Odd" << 0x14;
        QTest::newRow("None") << "2400"
                              << "None" << 0x22;
    }
    void lineSettings() {
        QFETCH(QString, speed);
        QFETCH(QString, parity);
        QFETCH(int, codes);
        ServiceSim s;
        s.run(&ServicePage::changeLineSettings, {{"ComboBox1", speed}, {"ComboBox2", parity}});
        const LineSettings line = s.logger().lineSettings();
        QCOMPARE(line.parityCode * 16 + line.speedCode, codes);
        s.run(&ServicePage::readMenuCode);
        QVERIFY(!s.texts().contains("Edit1"));
        const QHash<QString, TSerBaudrate> bauds = {
            {"300", br300},   {"1200", br1200},   {"2400", br2400},  {"4800", br4800},
            {"9600", br9600}, {"19200", br19200}, {"38400", br38400}};
        s.sim.comm.SetBaudrate(bauds.value(speed));
        s.sim.comm.SetParity(parity == "Even" ? paEven : parity == "Odd" ? paOdd : paNone);
        s.run(&ServicePage::readMenuCode);
        QCOMPARE(s.texts().value("Edit1"), QStringLiteral("1234"));
    }

    void inputSettings() {
        ServiceSim s;
        s.run(&ServicePage::setPolarity, {{"Combo_polarity", "Negative"}});
        QCOMPARE(s.logger().polarity(), 1);
        s.run(&ServicePage::setInputCount, {{"Combo_inputs", "4"}});
        QCOMPARE(s.logger().model(), Model::Qtr4d);
        QCOMPARE(s.sim.out.logLines.last(), QStringLiteral("Number of inputs changed..."));
        s.run(&ServicePage::changeDeviceId, {{"Edit_id", "87654321"}});
        QCOMPARE(s.logger().deviceId(), QStringLiteral("87654321"));
    }

    // Register writes open no window. The pulse length's register also holds the language,
    // which is written as 0 whatever it was.
    void registerWrites_data() {
        QTest::addColumn<QString>("combo");
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("reg");
        QTest::addColumn<int>("value");
        QTest::newRow("20 ms") << "Combo_pulses"
                               << "20 ms" << 0x8010 << 0x0400;
        QTest::newRow("100 ms") << "Combo_pulses"
                                << "100 ms" << 0x8010 << 0x1400;
        QTest::newRow("display 3") << "Combo_inputs"
                                   << "3" << 0x8015 << 3;
    }
    void registerWrites() {
        QFETCH(QString, combo);
        QFETCH(QString, text);
        QFETCH(int, reg);
        QFETCH(int, value);
        ServiceSim s;
        s.run(combo == "Combo_pulses" ? &ServicePage::changePulseLength
                                      : &ServicePage::setDisplayedInputs,
              {{combo, text}});
        QTRY_COMPARE(int(s.logger().holdingRegister(reg).value_or(-1)), value);
    }

    // The selector stays where it was: the logger answers only once the new address is chosen.
    void changeAddress() {
        ServiceSim s;
        s.run(&ServicePage::changeAddress, {{"Edit_address", "17"}});
        QTRY_VERIFY(s.sim.sim.hasSlave(17) && !s.sim.sim.hasSlave(1));
        QTRY_COMPARE(s.sim.out.trafficLines.size(), 1); // the acknowledgement, not waited for
        s.run(&ServicePage::readDeviceInfo);
        QCOMPARE(s.sim.out.logLines.count("No response from device 1\r"), 5);
        s.sim.address = 17;
        s.run(&ServicePage::readDeviceInfo);
        QCOMPARE(s.sim.session.store.model(17), QStringLiteral("QTR-8D"));
        QCOMPARE(s.texts().value("Label13"), QStringLiteral("Мрежов адрес: 17"));
    }

private:
    QStringList m_errors;
};

QTEST_GUILESS_MAIN(TestServiceSim)
#include "tst_service_sim.moc"
