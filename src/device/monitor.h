#pragma once

#include "device_session.h"
#include "readings.h"
#include "request_runner.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTimer>

#include <chrono>
#include <functional>

namespace corvane {

struct MonitorOptions {
    std::chrono::milliseconds interval{10000};
    // Read in this order every cycle.
    QList<int> addresses;
};

// Watches loggers over time: every interval, for each address in turn, the counters (total
// consumption, total pulses, the four tariffs), the battery and the flow, as one sequence on the
// session's runner, in fast mode when fast mode is on. A cycle that outlasts the interval is
// followed at once by the next, never by two. The runner stays reserved from start to end, so
// every other command gets the "in progress" refusal meanwhile.
//
// The selected address's reading fills the window's tables and labels as the counters and flow
// reads do, and its cells a cycle could not renew are greyed. Other addresses only yield their
// readings. An address whose model is not known yet is identified in its first cycle.
//
// A port that is closed (a lost adapter, a gateway gone) costs the cycles it is closed: each
// address gets a reading with the reason, and the cycles after the port is back read again.
class Monitor : public QObject {
    Q_OBJECT
public:
    static constexpr int kShortestIntervalSeconds = 1;
    static constexpr int kLongestIntervalSeconds = 3600;

    explicit Monitor(DeviceSession &session, QObject *parent = nullptr);
    ~Monitor() override;

    // Refuses with the designed log line when the port is closed or another request is in
    // flight, and with its own when there is no address.
    CommandStart start(const MonitorOptions &options);
    // Ends after the request in flight ("Stopped by user after step N of M" when a sequence was
    // cut short), or at once between cycles.
    void stop();
    // The same, for a fault outside the line (the log file): reason is the one log line, and
    // the address in flight is read to its end.
    void fail(const QString &reason);
    // Commands of others between two addresses, or at once while the monitor waits for its
    // next cycle, never in the middle of an address: once asked for, the hook runs with the
    // runner free and runs its commands to their end before it returns. The command line makes
    // its MQTT commands there, and learns an address that first answered late, without a new
    // start and new cycle numbers. A stop meanwhile ends the monitor once it returns.
    void setInterlude(std::function<void()> hook) { m_interlude = std::move(hook); }
    void requestInterlude();
    // The address read out of turn at the next gap (at once while waiting), its reading given
    // as any other; the cycle and its numbering go on as they were.
    void readSoon(int address);
    bool isRunning() const { return m_running; }
    const MonitorOptions &options() const { return m_options; }
    int cycle() const { return m_cycle; }
    // Since the last cycle began; zero before the first.
    std::chrono::milliseconds sinceCycleStart() const {
        return std::chrono::milliseconds(m_cycleClock.isValid() ? m_cycleClock.elapsed() : 0);
    }

Q_SIGNALS:
    void runningChanged(bool running);
    // One address of a cycle has been read, or has failed.
    void readingReady(const corvane::DeviceReading &reading);
    void cycleEnded(int cycle);

private:
    void startCycle();
    void readNext();
    void readAddress(int address, bool outOfTurn);
    void runInterlude();
    void gap();
    void afterAddress();
    void end();
    RequestRunner::Command addressCommand(int address);
    // The model in force for an address: the window's for the selected one, else its slot's.
    QString modelOf(int address) const;
    void greyFailedStep(const StepOutcome &outcome, int address);

    DeviceSession &m_session;
    MonitorOptions m_options;
    bool m_running = false;
    bool m_stopRequested = false;
    QString m_failure;
    int m_cycle = 0;
    int m_index = 0;
    // The addresses whose last reading failed: the operator log hears when one stops answering
    // and when it answers again, not every cycle in between.
    QSet<int> m_failing;
    std::function<void()> m_interlude;
    bool m_interludeWanted = false;
    bool m_inInterlude = false;
    // Between a cycle's end and the next one.
    bool m_waiting = false;
    // The wait ran out while the line was someone else's.
    bool m_cycleDue = false;
    // The address in flight is read out of turn.
    bool m_outOfTurn = false;
    QList<int> m_soon;
    DeviceReading m_reading;
    // The rows of Grid_data2 (or, for 0, Grid_flow) of each step of the address in flight.
    std::vector<int> m_stepRows;
    QElapsedTimer m_cycleClock;
    QTimer m_next;
};

} // namespace corvane
