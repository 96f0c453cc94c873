#pragma once

#include "serial_line.h"

#include <QObject>
#include <QPointer>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace corvane {

class Sleeper;

// Sends a frame keyed by RTS on the calling thread: RTS up, the pre-send delay, the bytes (one
// at a time with byteGap after each, or as one block when byteGap is zero, then waiting for the
// line to drain), RTS down. A line that does not key RTS (the driver or the adapter turns it
// round) keeps the pauses and leaves RTS alone. Errors of the port, and of the sleeper,
// propagate at once and leave RTS as it was then.
void SendKeyed(SerialLine &line, Sleeper &sleeper, const SerialLine::KeyedFrame &frame);

// Longest wait for a block to drain before RTS drops regardless: the frame's own line time at
// the slowest speed the program offers, with room to spare.
std::chrono::milliseconds drainLimit(const QByteArray &bytes);

// The sending side of a half-duplex line: frames keyed by RTS go out one after another on a
// thread of their own, with their pre-send delay and byte pauses, so that whoever queued them
// goes on meanwhile. Completions are delivered on the thread of context, in order.
//
// The thread calls back into line (RTS, writes, status), so the owner of line must stop the
// sender before the device goes away.
class KeyedSender {
public:
    using Done = std::function<void(bool ok, const QString &error)>;

    KeyedSender(SerialLine &line, QObject *context);
    KeyedSender(const KeyedSender &) = delete;
    KeyedSender &operator=(const KeyedSender &) = delete;
    ~KeyedSender();

    void post(const SerialLine::KeyedFrame &frame, Done done);
    // Abandons what is queued and ends a frame in progress at its next pause, with RTS dropped.
    // Their completions report failure without a text. Returns once the thread has stopped.
    void stop();

private:
    struct Job {
        SerialLine::KeyedFrame frame;
        Done done;
    };

    void run();
    // Waits for duration unless stop() comes first; false then.
    bool pause(std::chrono::microseconds duration);
    void deliver(Done done, bool ok, const QString &error);

    SerialLine &m_line;
    QPointer<QObject> m_context;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_jobs;
    bool m_stopping = false;
    std::thread m_thread;
};

} // namespace corvane
