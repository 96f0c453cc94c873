#pragma once

#include "ser_comm_types.h"
#include "ser_sync.h"
#include "serial_os.h"

#include <QObject>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace corvane {

class TSerCustomComm;

namespace detail {

struct HandOffState;

// What the component shares with its background threads. The threads are not waited for when
// the port closes, and one may still be blocked in a hand-off when the component is destroyed,
// so everything a thread touches lives here and is held by shared_ptr.
class SerCommCore : public std::enable_shared_from_this<SerCommCore> {
public:
    SerCommCore(SerialOs &os, QObject *context, TSerCustomComm *comm)
        : Os(os), Comm(comm), m_context(context) {}

    SerialOs &Os;
    TSerCriticalSection WriteLock;
    TSerCriticalSection ReadLock;

    // Owner thread only. Comm is null once the component is gone; LiveGeneration names the
    // current open (0 while closed), so a thread of an earlier open never delivers into a
    // later one.
    TSerCustomComm *Comm;
    std::uint64_t LiveGeneration = 0;

    // Runs call on the owner thread and returns once it has run, or once it is certain that it
    // never will (component closed, reopened or destroyed: then call is skipped or dropped).
    // Never call it from the owner thread.
    void handOff(std::uint64_t generation, std::function<void(TSerCustomComm &)> call);
    // The same, without waiting for the call to run.
    void post(std::uint64_t generation, std::function<void(TSerCustomComm &)> call);
    // Owner thread, from the component's destructor: no further hand-off is accepted.
    void detachContext();

    // Hand-offs posted and not yet run or dropped.
    int pendingHandOffs() const { return m_pendingHandOffs.load(); }

    void threadStarted();
    void threadFinished();
    // Waits up to limit for every thread that was started to have finished.
    bool waitForThreads(std::chrono::milliseconds limit);

private:
    bool dispatch(std::uint64_t generation, std::function<void(TSerCustomComm &)> call,
                  std::shared_ptr<HandOffState> waiter);

    std::mutex m_contextMutex;
    QObject *m_context;
    std::atomic<int> m_pendingHandOffs{0};
    std::mutex m_threadMutex;
    std::condition_variable m_threadsDone;
    int m_threads = 0;
};

} // namespace detail

// The write thread's queue: fixed capacity, never reallocated, so the block being written keeps
// its address while the write is in flight.
class TSerCommBuffer {
public:
    explicit TSerCommBuffer(int capacity);

    int Capacity() const { return m_capacity; }
    int Fill() const { return m_fill; }
    const std::uint8_t *Data() const { return m_data.get(); }
    // Copies n bytes behind the filled part; refused (false) when they do not fit.
    bool Append(const void *data, int n);
    // Drops n bytes from the front.
    void Consume(int n);

private:
    int m_capacity;
    int m_fill = 0;
    std::unique_ptr<std::uint8_t[]> m_data;
};

// Waits for line events and hands each one to the owner thread, synchronously: the next wait
// starts only after the handlers have run. Frees itself when it ends.
class TSerCommEventThread : public std::enable_shared_from_this<TSerCommEventThread> {
public:
    TSerCommEventThread(std::shared_ptr<detail::SerCommCore> core,
                        std::shared_ptr<SerialDevice> device, std::uint64_t generation);

    void Start(TThreadPriority priority);
    void RequestStop();
    void SetPriority(TThreadPriority priority);

private:
    void Execute();
    void Deliver();
    void ReportLost(int errorCode);

    std::shared_ptr<detail::SerCommCore> m_core;
    std::shared_ptr<SerialDevice> m_device;
    const std::uint64_t m_generation;
    TSerWaitEvent m_event;
    std::atomic<bool> m_stopRequested{false};
    std::uint32_t m_mask = 0; // what the OS reported last

    std::mutex m_priorityMutex;
    TThreadPriority m_priority = tpNormal;
    std::int64_t m_threadId = 0; // 0 unless running
};

// Writes the queued bytes when DirectWrite is off, and raises OnTxEmpty when the queue has been
// written out. Unlike the event thread it never waits for the owner thread.
class TSerCommWriteThread : public std::enable_shared_from_this<TSerCommWriteThread> {
public:
    TSerCommWriteThread(std::shared_ptr<detail::SerCommCore> core,
                        std::shared_ptr<SerialDevice> device, std::uint64_t generation,
                        int capacity);

    void Start(TThreadPriority priority);
    void Stop();
    void SetPriority(TThreadPriority priority);

    // Owner thread. Waits up to timeout for room; false when there was none in time.
    bool Enqueue(const void *data, int count, std::chrono::milliseconds timeout);
    int Capacity() const { return m_buffer.Capacity(); }
    // Bytes queued and not yet taken by the driver (takes WriteLock).
    int QueueFill();

private:
    void Execute();
    void AnswerRequest();
    void Complete(int written);
    void Fail(int attempted, int errorCode);

    std::shared_ptr<detail::SerCommCore> m_core;
    std::shared_ptr<SerialDevice> m_device;
    const std::uint64_t m_generation;
    TSerCommBuffer m_buffer;
    TSerWaitEvent m_dataReady;
    TSerWaitEvent m_stop;
    TSerWaitEvent m_request;
    TSerWaitEvent m_acknowledge;
    // Signalled whenever the thread has taken bytes off the queue: Enqueue waits on it for room.
    TSerWaitEvent m_writeDone;
    std::atomic<bool> m_stopRequested{false};
    std::atomic<bool> m_txEmptyPosted{false};

    std::mutex m_priorityMutex;
    TThreadPriority m_priority = tpHighest;
    std::int64_t m_threadId = 0;
};

} // namespace corvane
