#pragma once

#include "network_port.h"
#include "serial_os.h"

#include <chrono>

namespace corvane {

// The OS layer as the port sees it: a network port name ("tcp://HOST:PORT") opens a TCP
// connection to a serial gateway, every other name goes to the serial layer below, as do the
// event objects, threads and error texts. Network failures have texts of their own.
// defaultSerialOs() is one of these over the platform's backend (posix/ or win32/).
class RoutingSerialOs final : public SerialOs {
public:
    explicit RoutingSerialOs(SerialOs &serial,
                             std::chrono::milliseconds connectTimeout = kNetworkConnectTimeout);

    std::shared_ptr<SerialDevice> createFile(const std::string &name) override;

    SerHandle createEvent() override { return m_serial.createEvent(); }
    bool setEvent(SerHandle event) override { return m_serial.setEvent(event); }
    bool resetEvent(SerHandle event) override { return m_serial.resetEvent(event); }
    int waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) override {
        return m_serial.waitForMultipleObjects(handles, timeoutMs);
    }
    bool closeHandle(SerHandle handle) override { return m_serial.closeHandle(handle); }

    int lastError() const override { return m_serial.lastError(); }
    std::string errorText(int code) const override;
    bool isNotFound(int code) const override { return m_serial.isNotFound(code); }

    std::int64_t currentThreadId() const override { return m_serial.currentThreadId(); }
    void setThreadPriority(std::int64_t threadId, TThreadPriority priority) override {
        m_serial.setThreadPriority(threadId, priority);
    }

private:
    SerialOs &m_serial;
    std::chrono::milliseconds m_connectTimeout;
};

} // namespace corvane
