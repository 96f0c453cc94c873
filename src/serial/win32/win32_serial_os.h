#pragma once

#include "serial_os.h"

#include <chrono>
#include <memory>
#include <string>

namespace corvane::win32 {

// The serial OS layer on Windows: the communications API on a handle opened for overlapped I/O,
// so that a wait for line events, a read and a write can each be given up when a wake event is
// signalled. Error codes are the system's own (ERROR_ACCESS_DENIED, 5, for a port that another
// program holds; ERROR_FILE_NOT_FOUND for a port that does not exist).
class Win32SerialOs final : public SerialOs {
public:
    // "COM1".."COM256" are opened as \\.\COMn (which COM10 and above need); any other name is
    // opened as it is.
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

// The device path CreateFile takes for a port name.
std::string devicePath(const std::string &name);

// Network ports have no Windows backend yet: a well-formed name fails with ERROR_NOT_SUPPORTED,
// a malformed one with its kNet... code.
std::shared_ptr<SerialDevice> openTcpDevice(const std::string &name,
                                            std::chrono::milliseconds timeout);

} // namespace corvane::win32
