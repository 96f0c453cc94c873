#include "ser_comm_threads.h"

#include "error_display.h"
#include "ser_comm.h"

#include <QMetaObject>

#include <algorithm>
#include <cstring>
#include <thread>

namespace corvane {
namespace detail {

struct HandOffState {
    std::atomic<int> *pending;
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

namespace {

// Travels inside the queued call. Whatever becomes of the call (run, or dropped because its
// receiver was deleted or the application quit), destroying the ticket releases the waiting
// thread.
class HandOffTicket {
public:
    explicit HandOffTicket(std::shared_ptr<HandOffState> state) : m_state(std::move(state)) {}
    HandOffTicket(HandOffTicket &&) noexcept = default;
    HandOffTicket &operator=(HandOffTicket &&) = delete;
    ~HandOffTicket() {
        if (!m_state)
            return;
        std::lock_guard lock(m_state->mutex);
        --*m_state->pending;
        m_state->done = true;
        m_state->finished.notify_all();
    }

private:
    std::shared_ptr<HandOffState> m_state;
};

// Starts body on a detached thread that keeps its object alive and reports its end to the core.
template <typename T>
void launch(std::shared_ptr<T> self, const std::shared_ptr<SerCommCore> &core, void (T::*body)()) {
    core->threadStarted();
    try {
        std::thread([self = std::move(self), core, body]() mutable {
            ((*self).*body)();
            // The thread's object goes first, so a destructor waiting for the threads also
            // waits for it.
            self.reset();
            core->threadFinished();
        }).detach();
    } catch (...) {
        core->threadFinished();
        throw;
    }
}

} // namespace

bool SerCommCore::dispatch(std::uint64_t generation, std::function<void(TSerCustomComm &)> call,
                           std::shared_ptr<HandOffState> waiter) {
    std::lock_guard lock(m_contextMutex);
    if (!m_context)
        return false;
    if (waiter)
        ++m_pendingHandOffs;
    QMetaObject::invokeMethod(
        m_context,
        [ticket = HandOffTicket(std::move(waiter)), core = shared_from_this(), generation,
         call = std::move(call)] {
            if (core->Comm && core->LiveGeneration == generation)
                call(*core->Comm);
        },
        Qt::QueuedConnection);
    return true;
}

void SerCommCore::handOff(std::uint64_t generation, std::function<void(TSerCustomComm &)> call) {
    auto state = std::make_shared<HandOffState>();
    state->pending = &m_pendingHandOffs;
    if (!dispatch(generation, std::move(call), state))
        return;
    std::unique_lock lock(state->mutex);
    state->finished.wait(lock, [&] { return state->done; });
}

void SerCommCore::post(std::uint64_t generation, std::function<void(TSerCustomComm &)> call) {
    dispatch(generation, std::move(call), nullptr);
}

void SerCommCore::detachContext() {
    std::lock_guard lock(m_contextMutex);
    m_context = nullptr;
}

void SerCommCore::threadStarted() {
    std::lock_guard lock(m_threadMutex);
    ++m_threads;
}

void SerCommCore::threadFinished() {
    std::lock_guard lock(m_threadMutex);
    --m_threads;
    m_threadsDone.notify_all();
}

bool SerCommCore::waitForThreads(std::chrono::milliseconds limit) {
    std::unique_lock lock(m_threadMutex);
    return m_threadsDone.wait_for(lock, limit, [this] { return m_threads == 0; });
}

} // namespace detail

TSerCommBuffer::TSerCommBuffer(int capacity)
    : m_capacity(std::max(capacity, 0)), m_data(new std::uint8_t[std::size_t(m_capacity) + 1]) {}

bool TSerCommBuffer::Append(const void *data, int n) {
    if (n < 0 || n > m_capacity - m_fill)
        return false;
    if (n > 0)
        std::memcpy(m_data.get() + m_fill, data, std::size_t(n));
    m_fill += n;
    return true;
}

void TSerCommBuffer::Consume(int n) {
    n = std::clamp(n, 0, m_fill);
    std::memmove(m_data.get(), m_data.get() + n, std::size_t(m_fill - n));
    m_fill -= n;
}

TSerCommEventThread::TSerCommEventThread(std::shared_ptr<detail::SerCommCore> core,
                                         std::shared_ptr<SerialDevice> device,
                                         std::uint64_t generation)
    : m_core(std::move(core)), m_device(std::move(device)), m_generation(generation),
      m_event(m_core->Os) {}

void TSerCommEventThread::Start(TThreadPriority priority) {
    m_priority = priority;
    detail::launch(shared_from_this(), m_core, &TSerCommEventThread::Execute);
}

void TSerCommEventThread::RequestStop() {
    m_stopRequested = true;
    m_event.SetSignal();
}

void TSerCommEventThread::SetPriority(TThreadPriority priority) {
    std::lock_guard lock(m_priorityMutex);
    m_priority = priority;
    if (m_threadId != 0)
        m_core->Os.setThreadPriority(m_threadId, priority);
}

void TSerCommEventThread::Execute() {
    {
        std::lock_guard lock(m_priorityMutex);
        m_threadId = m_core->Os.currentThreadId();
        m_core->Os.setThreadPriority(m_threadId, m_priority);
    }
    while (!m_stopRequested) {
        std::uint32_t mask = 0;
        const SerWaitResult result = m_device->waitCommEvent(mask, m_event.Handle());
        if (m_stopRequested)
            break;
        if (result == SerWaitResult::Events) {
            m_mask = mask;
            Deliver();
        } else if (result == SerWaitResult::Woken) {
            m_event.ResetSignal();
        } else {
            // A dead descriptor would fail again at once, for ever: report it and stop waiting.
            ReportLost(m_core->Os.lastError());
            break;
        }
    }
    std::lock_guard lock(m_priorityMutex);
    m_threadId = 0;
}

void TSerCommEventThread::Deliver() {
    if (!m_stopRequested) {
        const std::uint32_t mask = m_mask;
        m_core->handOff(m_generation, [mask](TSerCustomComm &comm) { comm.DeliverEvents(mask); });
    }
    m_event.ResetSignal();
}

void TSerCommEventThread::ReportLost(int errorCode) {
    m_core->handOff(m_generation,
                    [errorCode](TSerCustomComm &comm) { comm.DeliverDeviceLost(errorCode); });
}

TSerCommWriteThread::TSerCommWriteThread(std::shared_ptr<detail::SerCommCore> core,
                                         std::shared_ptr<SerialDevice> device,
                                         std::uint64_t generation, int capacity)
    : m_core(std::move(core)), m_device(std::move(device)), m_generation(generation),
      m_buffer(capacity), m_dataReady(m_core->Os), m_stop(m_core->Os), m_request(m_core->Os),
      m_acknowledge(m_core->Os), m_writeDone(m_core->Os) {}

void TSerCommWriteThread::Start(TThreadPriority priority) {
    m_priority = priority;
    detail::launch(shared_from_this(), m_core, &TSerCommWriteThread::Execute);
}

void TSerCommWriteThread::Stop() {
    m_stopRequested = true;
    m_stop.SetSignal();
}

void TSerCommWriteThread::SetPriority(TThreadPriority priority) {
    std::lock_guard lock(m_priorityMutex);
    m_priority = priority;
    if (m_threadId != 0)
        m_core->Os.setThreadPriority(m_threadId, priority);
}

bool TSerCommWriteThread::Enqueue(const void *data, int count, std::chrono::milliseconds timeout) {
    if (count <= 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_core->WriteLock);
    for (;;) {
        if (count <= m_buffer.Capacity() - m_buffer.Fill()) {
            m_buffer.Append(data, count);
            m_dataReady.SetSignal();
            return true;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        // Reset while holding the lock: the thread signals after taking bytes, under the same
        // lock, so no signal is lost between this check and the wait.
        m_writeDone.ResetSignal();
        lock.unlock();
        m_writeDone.WaitSignal(int(left.count()));
        lock.lock();
    }
}

int TSerCommWriteThread::QueueFill() {
    std::lock_guard lock(m_core->WriteLock);
    return m_buffer.Fill();
}

void TSerCommWriteThread::Execute() {
    {
        std::lock_guard lock(m_priorityMutex);
        m_threadId = m_core->Os.currentThreadId();
        m_core->Os.setThreadPriority(m_threadId, m_priority);
    }
    const SerHandle waits[] = {m_stop.Handle(), m_request.Handle(), m_dataReady.Handle()};
    const SerHandle wake[] = {m_stop.Handle(), m_request.Handle()};
    for (;;) {
        const int which = m_core->Os.waitForMultipleObjects(waits, kSerInfinite);
        if (which == 0 || which < 0 || m_stopRequested)
            break;
        if (which == 1) {
            AnswerRequest();
            continue;
        }

        const std::uint8_t *data;
        int queued;
        {
            std::lock_guard lock(m_core->WriteLock);
            queued = m_buffer.Fill();
            data = m_buffer.Data();
            if (queued == 0) {
                m_dataReady.ResetSignal();
                continue;
            }
        }
        // Only this thread consumes, and appends go behind the filled part, so data stays valid
        // without the lock while the driver takes it.
        int written = 0;
        int woken = -1;
        const SerWriteResult result =
            m_device->writeFile(data, queued, written, wake, kSerInfinite, woken);
        if (result == SerWriteResult::Written) {
            Complete(written);
        } else if (result == SerWriteResult::Woken) {
            if (woken == 0)
                break;
            AnswerRequest();
        } else if (result == SerWriteResult::Failed) {
            Fail(queued, m_core->Os.lastError());
        }
    }
    std::lock_guard lock(m_priorityMutex);
    m_threadId = 0;
}

void TSerCommWriteThread::AnswerRequest() {
    m_request.ResetSignal();
    m_acknowledge.SetSignal();
}

void TSerCommWriteThread::Complete(int written) {
    bool emptied = false;
    {
        std::lock_guard lock(m_core->WriteLock);
        m_buffer.Consume(written);
        m_writeDone.SetSignal();
        if (m_buffer.Fill() > 0) {
            m_dataReady.SetSignal();
        } else {
            // Reset under the lock, so a concurrent Enqueue cannot lose its signal.
            m_dataReady.ResetSignal();
            emptied = true;
        }
    }
    // Posted, not waited for: a writer on the owner thread that is itself waiting for room in
    // the queue would otherwise stall both sides until WriteTimeout. One notice at a time.
    if (emptied && !m_stopRequested && !m_txEmptyPosted.exchange(true))
        m_core->post(m_generation, [self = shared_from_this()](TSerCustomComm &comm) {
            self->m_txEmptyPosted = false;
            runGuarded([&comm] { comm.DispatchEvents(EV_TXEMPTY); });
        });
}

// Retrying a failed write would fail again at once and keep the queue full; the bytes are
// dropped instead and OnError hears of it (CE_IOE), once per failed write.
void TSerCommWriteThread::Fail(int attempted, int errorCode) {
    {
        std::lock_guard lock(m_core->WriteLock);
        m_buffer.Consume(attempted);
        m_writeDone.SetSignal();
        if (m_buffer.Fill() == 0)
            m_dataReady.ResetSignal();
    }
    if (!m_stopRequested)
        m_core->post(m_generation,
                     [errorCode](TSerCustomComm &comm) { comm.DeliverWriteFailure(errorCode); });
}

} // namespace corvane
