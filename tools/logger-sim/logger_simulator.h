#pragma once

#include "clock_source.h"
#include "fault_plan.h"
#include "logger_model.h"
#include "sim_serial_transport.h"
#include "sim_tcp_transport.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <mutex>

namespace corvane {

// Simulated loggers on one RS-485 line, answering as Modbus RTU slaves.
//
//     LoggerSimulator sim;
//     sim.addSlave(1, Model::Qtr8d);
//     sim.start();                 // own thread, a pseudo-terminal at sim.slavePath()
//     ...
//     sim.stop();
//
// handleRequest() and respond() are the same core without any line, for tests that need no
// pseudo-terminal; the line and the TCP service are transports around it
// (SimSerialTransport, SimTcpTransport). Every public function may be called from any thread.
//
// Time: before every request and every access to a logger, all loggers are moved on by the
// time the clock source has advanced since the last look, each on its own clock. The default
// source is the system's; tests install a ManualClockSource.
class LoggerSimulator {
public:
    LoggerSimulator();
    ~LoggerSimulator();
    LoggerSimulator(const LoggerSimulator &) = delete;
    LoggerSimulator &operator=(const LoggerSimulator &) = delete;

    // A logger at a free bus address 1..250, its clock set to the clock source's time.
    bool addSlave(int address, Model model);
    bool removeSlave(int address);
    QList<int> slaveAddresses() const;
    bool hasSlave(int address) const;
    // A copy of a logger's state (a default logger when there is none at the address).
    LoggerModel logger(int address) const;
    // Changes a logger in place, under the simulator's lock. Changing its address here
    // re-files it under the new address (refused when that address is taken).
    bool withLogger(int address, const std::function<void(LoggerModel &)> &change);
    // Helpers for the common cases.
    bool setPulseRate(int address, int input, double pulsesPerSecond);

    void setClockSource(std::shared_ptr<ClockSource> source);

    // How the line behaves in time; all off by default, when the loggers answer at memory
    // speed. With line time a logger takes a request as received once its characters have
    // passed at the logger's speed and parity, and its reply goes out at that speed; the
    // turnaround is the logger's own time before it answers; with echo the master hears each
    // request it sent before the reply, as through a 2-wire adapter. start() and startTcp()
    // take them as they are then.
    void setLineTime(bool on);
    void setTurnaround(std::chrono::milliseconds turnaround);
    void setEcho(bool on);
    WireOptions wireOptions() const;
    // The line settings of the logger at address; nothing when there is none.
    std::optional<LineSettings> slaveLineSettings(int address) const;

    // The core: the reply bytes to one request frame exactly as they would go on the line
    // (all pieces of a split reply joined), or nothing where a logger stays silent: a bad CRC,
    // an address without a logger, a broadcast (address 0: every logger acts, none answers), a
    // fault that suppresses the reply.
    //
    // line is the speed and parity the frame came at. A logger hears only frames at its own
    // settings: at others it neither acts nor answers, and the frame does not count for it.
    // Without line (a real device, whose UART sorts that out, or a test of the requests
    // themselves) every logger hears every frame. On a pseudo-terminal the running simulator
    // passes what the master has set there.
    QByteArray handleRequest(const QByteArray &frame,
                             std::optional<LineSettings> line = std::nullopt);
    // The same with the timing of the reply: its pieces and the pauses before them. A logger
    // that changes its line settings with this request leaves the new ones in lineChange, for
    // the line to follow once the reply is out.
    SimResponse respond(const QByteArray &frame, std::optional<LineSettings> line = std::nullopt,
                        std::optional<LineSettings> *lineChange = nullptr);

    int addFault(const FaultRule &rule);
    void removeFault(int id);
    void clearFaults();
    void setRandomFaults(double rate, std::uint32_t seed, const QList<FaultKind> &kinds = {},
                         const FaultRule &shape = {});

    // Requests with a good CRC that reached a logger (or the broadcast address 0), by the
    // address they were sent to and their function; -1 counts all. A request at line settings
    // other than its logger's does not reach it and does not count, nor does a broadcast that
    // no logger heard for its line settings.
    int requestCount(int address = -1, int function = -1) const;
    // Every frame with a good CRC, in order, addressed to a logger or not (the last 10000).
    QList<QByteArray> receivedFrames() const;
    void resetCounters();

    // One line per request, reply and dropped garbage ("<- 01 03 ...", "-> ..."). Called on
    // whichever thread handled the request; nothing is logged without it.
    void setTrafficLog(std::function<void(const QString &)> log);
    // A line of the transports' own (a client came or went, garbage dropped). Not from within
    // the traffic log.
    void logTraffic(const QString &line) const;

    // Opens the line and answers on it from a thread of its own.
    bool start(const LineOptions &options = {}, QString *error = nullptr);
    // Ends the line of start() and the TCP service of startTcp().
    void stop();
    bool isRunning() const { return m_serialLine.isRunning(); }
    // What a master opens: the pseudo-terminal's slave path or the device.
    QString slavePath() const { return m_serialLine.path(); }
    // With LineOptions::busCopy: what a listener opens to hear the line as another master
    // drives it; empty otherwise.
    QString busCopyPath() const { return m_serialLine.busCopyPath(); }
    // The bytes written into the copy from the listener's side since the last call.
    qint64 busCopyWrittenBack() { return m_serialLine.busCopy().takeWrittenBack(); }

    // Serves the loggers over TCP on 127.0.0.1, from a thread of its own, as a serial-to-Ethernet
    // gateway in transparent mode does: the bytes of the connection are the bus, and every
    // logger hears every frame whatever its line settings. Port 0 lets the system choose;
    // tcpPort() tells the port. One client at a time: while one is connected, the system
    // completes a second one's connection, which then waits unanswered in the listen queue
    // until the first one closes. Runs beside start()'s line or alone.
    bool startTcp(std::uint16_t port = 0, QString *error = nullptr);
    // 0 while not listening.
    std::uint16_t tcpPort() const { return m_tcp.port(); }
    bool hasTcpClient() const { return m_tcp.hasClient(); }
    // Closes the client's connection, as a gateway that drops it; a request being answered
    // gets no reply. The next client is accepted as usual. Safe from any thread and from the
    // traffic log, which runs while a request is handled.
    void dropTcpClient() { m_tcp.dropClient(); }

private:
    void syncClockLocked() const;
    SimResponse respondLocked(const QByteArray &frame, const std::optional<LineSettings> &line,
                              std::optional<LineSettings> *lineChange);
    void log(const QString &line) const;

    mutable std::mutex m_mutex;
    mutable std::map<int, LoggerModel> m_loggers;
    std::shared_ptr<ClockSource> m_clockSource;
    mutable QDateTime m_lastSourceTime;
    FaultPlan m_faults;
    QHash<int, int> m_counts; // (address << 8 | function) -> requests
    QList<QByteArray> m_frames;
    std::function<void(const QString &)> m_log;
    WireOptions m_wireOptions;

    // Declared last, so that they are destroyed first: their threads use everything above.
    SimSerialTransport m_serialLine{*this};
    SimTcpTransport m_tcp{*this};
};

} // namespace corvane
