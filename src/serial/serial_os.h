#pragma once

#include "ser_comm_types.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace corvane {

// Everything the serial component asks of the operating system. The calls keep the shape of the
// Win32 communications API (CreateFile, SetCommState, WaitCommEvent, ...), so a Win32 backend
// can sit beside the POSIX one in posix/. A failing call returns false (or an invalid result)
// and leaves its reason in lastError(), which must be read before anything else runs. It takes
// standard types only, so that the backends build without Qt.

// A file descriptor here, a HANDLE on Windows.
using SerHandle = std::intptr_t;
inline constexpr SerHandle kInvalidSerHandle = -1;
inline constexpr int kSerInfinite = -1;
inline constexpr int kSerWaitTimeout = -1;
inline constexpr int kSerWaitFailed = -2;

// The device control block: the line settings in the form the driver takes them.
struct SerDcb {
    std::uint32_t BaudRate = 0;
    std::uint32_t Flags = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    std::uint8_t XonChar = 0;
    std::uint8_t XoffChar = 0;
    std::uint8_t ErrorChar = 0;
    std::uint8_t EofChar = 0;
    std::uint8_t EvtChar = 0;
    friend bool operator==(const SerDcb &, const SerDcb &) = default;
};

inline constexpr std::uint32_t kDcbBinary = 1u << 0;
inline constexpr std::uint32_t kDcbParity = 1u << 1;
inline constexpr std::uint32_t kDcbOutxCtsFlow = 1u << 2;
inline constexpr std::uint32_t kDcbOutxDsrFlow = 1u << 3;
inline constexpr unsigned kDcbDtrControlShift = 4; // two bits
inline constexpr std::uint32_t kDcbDsrSensitivity = 1u << 6;
inline constexpr std::uint32_t kDcbTxContinueOnXoff = 1u << 7;
inline constexpr std::uint32_t kDcbOutX = 1u << 8;
inline constexpr std::uint32_t kDcbInX = 1u << 9;
inline constexpr std::uint32_t kDcbErrorChar = 1u << 10;
inline constexpr std::uint32_t kDcbNull = 1u << 11;
inline constexpr unsigned kDcbRtsControlShift = 12; // two bits
inline constexpr std::uint32_t kDcbAbortOnError = 1u << 14;

// Queue counts of the status query.
struct SerComStat {
    std::uint32_t Flags = 0;
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// EscapeCommFunction codes.
enum class SerEscape { SetRts = 3, ClrRts = 4, SetDtr = 5, ClrDtr = 6 };

// The driver's RS-485 mode: the driver itself raises RTS while it transmits, so the transceiver
// turns round as soon as the last character has left.
struct SerRs485 {
    bool enabled = false;
    // RTS high while sending and low after; the other way round for inverting transceivers.
    bool rtsOnSend = true;
    friend bool operator==(const SerRs485 &, const SerRs485 &) = default;
};

enum class SerWaitResult {
    Events, // events holds what happened
    Woken,  // the wake handle was signalled first
    Failed, // lastError() tells why
    Lost,   // the device is gone for good (hang-up, pulled adapter); waiting again is pointless
};

enum class SerWriteResult { Written, Woken, TimedOut, Failed };

// One open device. Every call may come from the GUI thread or a background thread; closeHandle
// may run while another thread waits in waitCommEvent or writeFile, provided that thread's wake
// handle was signalled first.
class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    virtual bool isValid() const = 0;
    virtual void closeHandle() = 0;

    virtual bool setupComm(int inQueue, int outQueue) = 0;
    virtual bool setCommState(const SerDcb &dcb) = 0;
    // Reads return at once with whatever is queued; writes have no time limit of their own.
    virtual bool setCommTimeouts() = 0;
    virtual bool setCommMask(std::uint32_t mask) = 0;
    // Reports and clears the line errors since the last call, with the queue counts.
    virtual bool clearCommError(std::uint32_t &errors, SerComStat &stat) = 0;
    virtual bool escapeCommFunction(SerEscape function) = 0;
    // Takes what is queued, up to count; done is 0 when nothing is.
    virtual bool readFile(void *buffer, int count, int &done) = 0;
    // Hands bytes to the driver, waiting up to timeoutMs (kSerInfinite: no limit) for room.
    // Returns Written as soon as at least one byte was taken (done tells how many), Woken when
    // one of the wake handles was signalled before any byte went (wokenIndex tells which).
    virtual SerWriteResult writeFile(const void *data, int count, int &done,
                                     std::span<const SerHandle> wake, int timeoutMs,
                                     int &wokenIndex) = 0;
    // Blocks until one of the events of the mask occurs or wake is signalled.
    virtual SerWaitResult waitCommEvent(std::uint32_t &events, SerHandle wake) = 0;
    // Puts the driver in or out of its RS-485 mode; false, with the reason in lastError(), where
    // the driver has none (most USB adapters, pseudo-terminals, network ports). The mode the
    // device was in before is restored when it closes.
    virtual bool setRs485(const SerRs485 &mode) = 0;
    // Waits until everything written has left the line, the last character included, or
    // until timeoutMs has passed; false in that case. A device that cannot tell returns true.
    virtual bool drainOutput(int timeoutMs) {
        (void)timeoutMs;
        return true;
    }
};

class SerialOs {
public:
    virtual ~SerialOs() = default;

    // Opens the device for exclusive use; null on failure. The name is in the encoding the
    // system takes file names in (UTF-8 on Linux, the ANSI code page on Windows).
    virtual std::shared_ptr<SerialDevice> createFile(const std::string &name) = 0;

    // Event objects: manual reset, created not signalled.
    virtual SerHandle createEvent() = 0;
    virtual bool setEvent(SerHandle event) = 0;
    virtual bool resetEvent(SerHandle event) = 0;
    // The lowest index among the signalled handles, kSerWaitTimeout or kSerWaitFailed.
    virtual int waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) = 0;
    virtual bool closeHandle(SerHandle handle) = 0;

    virtual int lastError() const = 0;
    // The system's text for an error code, in UTF-8.
    virtual std::string errorText(int code) const = 0;
    // The error that means "no such device" (it has its own message).
    virtual bool isNotFound(int code) const = 0;

    virtual std::int64_t currentThreadId() const = 0;
    virtual void setThreadPriority(std::int64_t threadId, TThreadPriority priority) = 0;
};

// The platform's implementation; lives until the process ends.
SerialOs &defaultSerialOs();

} // namespace corvane
