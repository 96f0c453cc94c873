#pragma once

#include "serial_os.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <vector>

namespace corvane::test {

// The platform's serial layer with a recorder in front: every RTS change, write and read of the
// device is noted with the moment it was made, and the driver's RS-485 mode can be granted
// without a UART that has it. Everything else passes through.
class RecordingSerialOs final : public SerialOs {
public:
    using Clock = std::chrono::steady_clock;
    enum class Kind { RtsUp, RtsDown, Write, Read, Rs485 };
    struct Event {
        Kind kind;
        Clock::time_point at;
        int bytes = 0; // Write, Read: how many went
        SerRs485 mode; // Rs485: what was asked
    };

    explicit RecordingSerialOs(SerialOs &inner = defaultSerialOs()) : m_inner(inner) {}

    // Grant RS-485 mode as a driver that has it would; otherwise the real driver answers.
    bool grantRs485 = false;

    std::vector<Event> events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    void clear() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }

    std::shared_ptr<SerialDevice> createFile(const std::string &name) override {
        std::shared_ptr<SerialDevice> device = m_inner.createFile(name);
        if (!device)
            return nullptr;
        return std::make_shared<Device>(*this, std::move(device));
    }
    SerHandle createEvent() override { return m_inner.createEvent(); }
    bool setEvent(SerHandle event) override { return m_inner.setEvent(event); }
    bool resetEvent(SerHandle event) override { return m_inner.resetEvent(event); }
    int waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) override {
        return m_inner.waitForMultipleObjects(handles, timeoutMs);
    }
    bool closeHandle(SerHandle handle) override { return m_inner.closeHandle(handle); }
    int lastError() const override { return m_inner.lastError(); }
    std::string errorText(int code) const override { return m_inner.errorText(code); }
    bool isNotFound(int code) const override { return m_inner.isNotFound(code); }
    std::int64_t currentThreadId() const override { return m_inner.currentThreadId(); }
    void setThreadPriority(std::int64_t threadId, TThreadPriority priority) override {
        m_inner.setThreadPriority(threadId, priority);
    }

private:
    void note(Kind kind, int bytes = 0, SerRs485 mode = {}) {
        std::lock_guard lock(m_mutex);
        m_events.push_back({kind, Clock::now(), bytes, mode});
    }

    class Device final : public SerialDevice {
    public:
        Device(RecordingSerialOs &os, std::shared_ptr<SerialDevice> inner)
            : m_os(os), m_inner(std::move(inner)) {}
        bool isValid() const override { return m_inner->isValid(); }
        void closeHandle() override { m_inner->closeHandle(); }
        bool setupComm(int in, int out) override { return m_inner->setupComm(in, out); }
        bool setCommState(const SerDcb &dcb) override { return m_inner->setCommState(dcb); }
        bool setCommTimeouts() override { return m_inner->setCommTimeouts(); }
        bool setCommMask(std::uint32_t mask) override { return m_inner->setCommMask(mask); }
        bool clearCommError(std::uint32_t &errors, SerComStat &stat) override {
            return m_inner->clearCommError(errors, stat);
        }
        bool escapeCommFunction(SerEscape function) override {
            if (function == SerEscape::SetRts)
                m_os.note(Kind::RtsUp);
            else if (function == SerEscape::ClrRts)
                m_os.note(Kind::RtsDown);
            return m_inner->escapeCommFunction(function);
        }
        bool readFile(void *buffer, int count, int &done) override {
            const bool ok = m_inner->readFile(buffer, count, done);
            if (ok && done > 0)
                m_os.note(Kind::Read, done);
            return ok;
        }
        SerWriteResult writeFile(const void *data, int count, int &done,
                                 std::span<const SerHandle> wake, int timeoutMs,
                                 int &wokenIndex) override {
            m_os.note(Kind::Write, count);
            return m_inner->writeFile(data, count, done, wake, timeoutMs, wokenIndex);
        }
        SerWaitResult waitCommEvent(std::uint32_t &events, SerHandle wake) override {
            return m_inner->waitCommEvent(events, wake);
        }
        bool drainOutput(int timeoutMs) override { return m_inner->drainOutput(timeoutMs); }
        bool setRs485(const SerRs485 &mode) override {
            m_os.note(Kind::Rs485, 0, mode);
            return m_os.grantRs485 || m_inner->setRs485(mode);
        }

    private:
        RecordingSerialOs &m_os;
        std::shared_ptr<SerialDevice> m_inner;
    };

    SerialOs &m_inner;
    mutable std::mutex m_mutex;
    std::vector<Event> m_events;
};

} // namespace corvane::test
