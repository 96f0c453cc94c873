#include "keyed_sender.h"

#include "sleeper.h"

#include <QMetaObject>

#include <algorithm>
#include <exception>
#include <utility>

#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace corvane {
namespace {

// Ends the frame in progress when the sender is told to stop.
struct Stopped {};

class StoppableSleeper final : public Sleeper {
public:
    explicit StoppableSleeper(std::function<bool(std::chrono::microseconds)> pause)
        : m_pause(std::move(pause)) {}
    void sleep(std::chrono::microseconds duration) override {
        if (!m_pause(duration))
            throw Stopped{};
    }

private:
    std::function<bool(std::chrono::microseconds)> m_pause;
};

} // namespace

void SendKeyed(SerialLine &line, Sleeper &sleeper, const SerialLine::KeyedFrame &frame) {
    const bool keyed = line.keysRts();
    if (keyed)
        line.SetRtsLine(true);
    std::chrono::microseconds delay = frame.preSendDelay;
    if (frame.quietSince) {
        const auto left = std::chrono::ceil<std::chrono::microseconds>(
            *frame.quietSince + frame.preSendDelay - std::chrono::steady_clock::now());
        delay = std::clamp(left, std::min(frame.leadAfterRts, delay), delay);
    }
    if (delay.count() != 0)
        sleeper.sleep(delay);
    if (frame.byteGap.count() == 0) {
        line.WriteBlock(frame.bytes);
        line.WaitSent(drainLimit(frame.bytes));
    } else {
        for (const char byte : frame.bytes) {
            line.WriteByte(static_cast<std::uint8_t>(byte));
            sleeper.sleep(frame.byteGap);
        }
    }
    if (keyed)
        line.SetRtsLine(false);
}

std::chrono::milliseconds drainLimit(const QByteArray &bytes) {
    // 11 bits a character at 1200 baud is just over 9 ms.
    return std::chrono::milliseconds(100 + 10 * bytes.size());
}

KeyedSender::KeyedSender(SerialLine &line, QObject *context) : m_line(line), m_context(context) {}

KeyedSender::~KeyedSender() {
    stop();
}

void KeyedSender::post(const SerialLine::KeyedFrame &frame, Done done) {
    std::lock_guard lock(m_mutex);
    m_stopping = false;
    m_jobs.push_back({frame, std::move(done)});
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
    m_wake.notify_all();
}

void KeyedSender::stop() {
    std::deque<Job> abandoned;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        abandoned.swap(m_jobs);
        m_wake.notify_all();
    }
    if (m_thread.joinable())
        m_thread.join();
    for (Job &job : abandoned)
        deliver(std::move(job.done), false, QString());
}

// Completions go through the context's event queue, never straight from this thread; one
// whose context is gone is dropped.
void KeyedSender::deliver(Done done, bool ok, const QString &error) {
    if (!done || !m_context)
        return;
    QMetaObject::invokeMethod(
        m_context.data(), [done = std::move(done), ok, error] { done(ok, error); },
        Qt::QueuedConnection);
}

void KeyedSender::run() {
#ifdef __linux__
    // The pauses here are protocol timing: the silence before a frame at a fast line is 1.75 ms,
    // and the kernel's default slack of 50 us on every timed wait would add to each of them.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
    std::unique_lock lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_stopping)
            return;
        Job job = std::move(m_jobs.front());
        m_jobs.pop_front();
        lock.unlock();
        bool ok = false;
        QString error;
        try {
            StoppableSleeper sleeper([this](std::chrono::microseconds d) { return pause(d); });
            SendKeyed(m_line, sleeper, job.frame);
            if (job.frame.queryOutputRoomAfter)
                m_line.OutputRoom();
            ok = true;
        } catch (const Stopped &) {
            // Abandoned: the completion reports failure without a text.
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
        } catch (...) {
            error = QStringLiteral("Unknown error");
        }
        if (!ok && m_line.keysRts()) {
            // Leave the bus free for whoever talks next.
            try {
                m_line.SetRtsLine(false);
            } catch (...) {
            }
        }
        deliver(std::move(job.done), ok, error);
        lock.lock();
    }
}

bool KeyedSender::pause(std::chrono::microseconds duration) {
    if (duration.count() <= 0)
        return true;
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_stopping; });
}

} // namespace corvane
