#pragma once

#include "serial_os.h"

#include <cstdint>

namespace corvane::posix {

// The flags of the kernel's serial_rs485 for a mode: enabled, RTS during or after sending.
std::uint32_t posixRs485Flags(const SerRs485 &mode);

// The serial OS layer on POSIX terminals: termios (termios2 for odd speeds), ioctl and poll.
// Exclusive use is an flock plus TIOCEXCL; event objects are eventfds.
class PosixSerialOs final : public SerialOs {
public:
    std::shared_ptr<SerialDevice> createFile(const std::string &name) override;

    SerHandle createEvent() override;
    bool setEvent(SerHandle event) override;
    bool resetEvent(SerHandle event) override;
    int waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) override;
    bool closeHandle(SerHandle handle) override;

    int lastError() const override;
    std::string errorText(int code) const override;
    bool isNotFound(int code) const override;

    std::int64_t currentThreadId() const override;
    void setThreadPriority(std::int64_t threadId, TThreadPriority priority) override;
};

} // namespace corvane::posix
