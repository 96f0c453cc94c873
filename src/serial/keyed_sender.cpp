#include "keyed_sender.h"

#include <QMetaObject>

#include <exception>
#include <utility>

namespace corvane {

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
            ok = send(job.frame);
        } catch (const std::exception &e) {
            error = QString::fromUtf8(e.what());
        } catch (...) {
            error = QStringLiteral("Unknown error");
        }
        if (!ok && !error.isEmpty()) {
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

bool KeyedSender::pause(std::chrono::milliseconds duration) {
    if (duration.count() <= 0)
        return true;
    std::unique_lock lock(m_mutex);
    return !m_wake.wait_for(lock, duration, [this] { return m_stopping; });
}

bool KeyedSender::send(const SerialLine::KeyedFrame &frame) {
    m_line.SetRtsLine(true);
    bool whole = pause(frame.preSendDelay);
    if (whole && frame.byteGap.count() == 0) {
        m_line.WriteBlock(frame.bytes);
        m_line.WaitSent(frame.drainLimit);
    } else {
        for (int i = 0; whole && i < frame.bytes.size(); ++i) {
            m_line.WriteByte(static_cast<std::uint8_t>(frame.bytes.at(i)));
            whole = pause(frame.byteGap);
        }
    }
    m_line.SetRtsLine(false);
    if (whole && frame.queryOutputRoomAfter)
        m_line.OutputRoom();
    return whole;
}

} // namespace corvane
