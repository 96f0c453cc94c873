#pragma once

#include "fault_plan.h"
#include "logger_model.h"
#include "request_framer.h"
#include "sim_wire.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <optional>
#include <sys/types.h>
#include <thread>

namespace corvane {

class BusCopy;
class LoggerSimulator;

// One way for a master to reach the loggers, served from a thread of its own: the master's
// bytes are cut into requests, each is answered by the loggers, and the reply goes back piece
// by piece with the pauses its faults ask for. With the wire options that start() took, the
// requests and replies also take their time on the line, and the master hears its requests
// echoed. That loop is the same whatever carries the bytes; a subclass opens the carrier, says
// which descriptor to serve, and writes the bytes.
//
// A subclass calls stopThread() in its destructor at the latest, since the thread runs its
// code.
class SimTransport {
public:
    virtual ~SimTransport();
    SimTransport(const SimTransport &) = delete;
    SimTransport &operator=(const SimTransport &) = delete;

    bool isRunning() const { return m_thread.joinable(); }

protected:
    using Clock = std::chrono::steady_clock;

    explicit SimTransport(LoggerSimulator &loggers);

    bool startThread(QString *error);
    // Wakes the thread from every wait, and returns once it has ended.
    void stopThread();
    bool stopping() const { return m_stopping; }

    // The thread's body.
    virtual void run() = 0;

    enum class Ended {
        Stopped,  // the simulator stops, or the descriptor cannot be waited on
        PeerGone, // the master closed its end
        Dropped,  // the transport let the master go (takeDropRequest())
    };
    // Answers the master on fd until it goes. Whatever it sent that is not a whole request yet
    // stays in the framer for discardPartialFrame().
    Ended serve(int fd);

    struct Input {
        short events = 0;      // what poll() saw on the descriptor
        bool timedOut = false; // nothing at all came before the deadline
    };
    // Waits for fd (its input or hang-up), the deadline, or a kick (kickFd()). Nothing when the
    // thread is to end.
    std::optional<Input> waitForInput(int fd, std::optional<Clock::time_point> deadline);
    // Sleeps, cut short only by stopThread(). False when the thread is to end.
    bool waitForWake(std::chrono::milliseconds timeout);
    // The same to a point in time, to well below a millisecond, for pacing bytes on the line.
    bool waitUntil(Clock::time_point deadline);
    // A master that has gone will not finish its frame; the next one starts afresh.
    void discardPartialFrame();
    // Where every byte the line carries is copied as well; set before the thread starts.
    void setBusCopy(BusCopy *copy) { m_busCopy = copy; }
    // A line in the simulator's traffic log.
    void log(const QString &line) const;

    // The speed and parity the frames come at, for the loggers to sort them by; nothing when
    // every logger hears every frame.
    virtual std::optional<LineSettings> heardSettings() const { return std::nullopt; }
    // The stop bits of a character on the line: 1 or 2.
    virtual int stopBits() const { return 1; }
    // A logger changed its line settings with the reply just written.
    virtual void followLineChange(const LineSettings &) {}
    // One write() or send(): the bytes taken, or -1 with errno.
    virtual ssize_t writeSome(int fd, const char *bytes, std::size_t size) = 0;
    // A descriptor whose input wakes waitForInput(); -1 for none.
    virtual int kickFd() const { return -1; }
    // Whether the master is to be let go now; asking clears the request.
    virtual bool takeDropRequest() { return false; }

private:
    enum class Sent {
        Done,
        Lost,  // the master is not there to take it
        Ended, // the thread is to end or the master is dropped
    };

    bool readInput(int fd, short events);
    // False when the thread is to end or the master is dropped.
    bool answerFrames(int fd);
    // One character on the line to a request for address (-1: garbage); zero without line time.
    std::chrono::nanoseconds characterTimeAt(int address,
                                             const std::optional<LineSettings> &heard) const;
    Sent sendReply(int fd, const SimResponse &response, Clock::time_point received,
                   std::chrono::nanoseconds character);
    // Each byte once its time in due has come. onLine: the bytes pass on the line, as a reply
    // does; an adapter's echo stays between it and its master.
    Sent writePaced(int fd, const QByteArray &bytes, const QList<Clock::time_point> &due,
                    bool onLine = true);
    // Every piece of every reply goes out here.
    bool writeChunk(int fd, const QByteArray &bytes, bool onLine = true);
    void logDiscarded();

    LoggerSimulator &m_loggers;
    WireOptions m_options;
    WireSchedule m_wire;
    RequestFramer m_framer;
    Clock::time_point m_lastByte;
    std::thread m_thread;
    std::atomic<bool> m_stopping{false};
    int m_wakeRead = -1;
    int m_wakeWrite = -1;
    BusCopy *m_busCopy = nullptr;
};

} // namespace corvane
