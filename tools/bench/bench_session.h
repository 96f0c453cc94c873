#pragma once

// What the benchmarks share: a view that shows nothing but counts failed requests, no controls,
// and a port opened on the simulator's pseudo-terminal feeding a session's runner.

#include "device_operations.h"
#include "device_session.h"
#include "logger_simulator.h"
#include "named_controls.h"
#include "ser_comm.h"
#include "sleeper.h"

#include <cstdio>

namespace corvane::bench {

class CountingOutput : public NamedControlsView {
public:
    void log(const QString &line) override {
        if (line.startsWith(QLatin1String("No response")) ||
            line.startsWith(QLatin1String("Error")))
            ++failures;
    }
    void traffic(const QString &) override {}
    void setStatus(int, const QString &) override {}
    int failures = 0;

protected:
    void setControlText(const QString &, const QString &) override {}
    void setControlEnabled(const QString &, bool) override {}
    void setControlVisible(const QString &, bool) override {}
};

class NoControls : public NamedControlReader {
protected:
    QString controlText(const QString &) const override { return {}; }
    bool isControlChecked(const QString &) const override { return false; }
};

// 9600 baud, no parity; false, with the reason on stderr, when the port does not open.
inline bool openOnSimulator(TSerComm &comm, const LoggerSimulator &sim, DeviceSession &session) {
    comm.SetDeviceName(sim.slavePath());
    comm.SetBaudrate(br9600);
    comm.SetDirectWrite(true);
    comm.OnRxChar = [&session](TSerCustomComm *, int count) { session.runner.Comm1RxChar(count); };
    try {
        comm.OpenPort();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "port did not open: %s\n", e.what());
        return false;
    }
    return true;
}

// A session at address 1 on the simulator's port, the port open (see open), with the operations
// of the window's first two pages. model, when given, is put in force as "Read type" would.
struct SimSession {
    SimSession(const LoggerSimulator &sim, const QString &model = {})
        : session(SessionEnvironment{comm, defaultSleeper(), out, controls, [] { return 1; },
                                     [this] { return comm.IsOpen(); },
                                     [] { return QStringLiteral("."); }}),
          ops(session) {
        open = openOnSimulator(comm, sim, session);
        if (!model.isEmpty()) {
            session.store.setModel(1, model);
            ops.selectAddress(1);
        }
    }

    TSerComm comm;
    CountingOutput out;
    NoControls controls;
    DeviceSession session;
    DeviceOperations ops;
    bool open = false;
};

} // namespace corvane::bench
