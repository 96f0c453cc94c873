#pragma once

// A device session on a real port, talking to the simulated logger over a pseudo-terminal.
// Tests that use it link corvane_device, corvane_serial and corvane_logger_sim.

#include "device_session.h"
#include "logger_simulator.h"
#include "recording_output.h"
#include "ser_comm.h"
#include "sleeper.h"
#include "windows1251.h"

#include <QDateTime>

#include <QTest>

#include <chrono>
#include <initializer_list>
#include <memory>
#include <utility>

namespace corvane::test {

// Different values in every field, a negative one and a Cyrillic free text among them, so that
// no read or write of them shows a default.
inline void fillLogger(LoggerModel &m) {
    for (int input = 1; input <= 8; ++input) {
        m.setUnit(input, std::uint16_t(input % 4));
        m.setPulseConstant(input, std::uint16_t(100 * input + 1));
        m.setUserNumber(input, std::uint16_t(60000 + input));
        m.setInitialValue(input, input == 3 ? -25 : 123456 * input);
        m.setFreeText(input, encodeWindows1251(input == 2 ? QStringLiteral("Вода 2")
                                                          : QStringLiteral("Meter %1").arg(input)));
        m.setTotalPulses(input, 70000 + input);
        for (int tariff = 1; tariff <= 4; ++tariff) {
            m.setTariff(input, tariff, (input + 5 * tariff) % 24, tariff + input);
            m.setTariffInitialValue(input, tariff, 1000 * tariff + input);
            m.setTariffPulses(input, tariff, 100 * tariff + input);
        }
    }
    m.setBatteryByte(191);
    m.setInputStatusOverride(0xA5);
    m.setClock(QDateTime(QDate(2026, 12, 6), QTime(9, 5), Qt::UTC));
}

class SimSession {
public:
    explicit SimSession(std::initializer_list<std::pair<int, Model>> slaves,
                        std::chrono::milliseconds responseTime = std::chrono::milliseconds(100))
        : session(SessionEnvironment{comm, defaultSleeper(), out, controls,
                                     [this] { return address; }, [this] { return portOpen; },
                                     [this] { return decSeparator; },
                                     QLocale(QLocale::English, QLocale::UnitedStates)}) {
        for (const auto &[slaveAddress, model] : slaves)
            sim.addSlave(slaveAddress, model);
        QString error;
        started = sim.start({}, &error);
        if (!started)
            qWarning("simulator did not start: %s", qPrintable(error));
        comm.SetDeviceName(sim.slavePath());
        comm.SetBaudrate(br9600);
        comm.SetDirectWrite(true);
        comm.OnRxChar = [this](TSerCustomComm *, int count) {
            session.runner.Comm1RxChar(count);
        };
        session.runner.setResponseTime(responseTime);
        try {
            comm.OpenPort();
        } catch (const std::exception &e) {
            qWarning("port did not open: %s", e.what());
        }
        portOpen = comm.IsOpen();
    }

    ~SimSession() {
        comm.ClosePort();
        sim.stop();
    }

    // Waits until no sequence, window or registered busy check is left running.
    bool waitIdle(int timeoutMs = 30000) {
        return QTest::qWaitFor([this] { return !session.runner.isBusy(); }, timeoutMs);
    }

    LoggerSimulator sim;
    TSerComm comm;
    RecordingOutput out;
    FakeControls controls;
    int address = 1;
    bool portOpen = false;
    QString decSeparator = QStringLiteral(".");
    bool started = false;
    DeviceSession session;
};

} // namespace corvane::test
