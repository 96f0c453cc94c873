#include "win32_serial_os.h"

#include "network_port_name.h"

#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 // CancelIoEx
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <algorithm>
#include <vector>

namespace corvane::win32 {
namespace {

HANDLE toHandle(SerHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// The device handle is read by one thread while another may close it; the lock is never held
// across a wait.
class Hold {
public:
    explicit Hold(SRWLOCK &lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
    ~Hold() { ReleaseSRWLockExclusive(&m_lock); }
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;

private:
    SRWLOCK &m_lock;
};

// One overlapped operation with an event of its own; it lives on the caller's stack, and the
// caller does not return before the operation has completed or been cancelled.
struct Overlapped {
    OVERLAPPED ov{};
    Overlapped() { ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr); }
    ~Overlapped() {
        if (ov.hEvent)
            CloseHandle(ov.hEvent);
    }
    Overlapped(const Overlapped &) = delete;
    Overlapped &operator=(const Overlapped &) = delete;
    bool valid() const { return ov.hEvent != nullptr; }
};

// Errors after which the handle is of no further use: a USB adapter pulled out, a driver gone.
bool deviceGone(DWORD error) {
    return error == ERROR_BAD_COMMAND || error == ERROR_GEN_FAILURE ||
           error == ERROR_DEVICE_NOT_CONNECTED || error == ERROR_DEVICE_REMOVED ||
           error == ERROR_ACCESS_DENIED;
}

class Win32SerialDevice final : public SerialDevice {
public:
    explicit Win32SerialDevice(HANDLE handle) : m_handle(handle) {}
    ~Win32SerialDevice() override { closeHandle(); }

    bool isValid() const override {
        Hold hold(m_lock);
        return m_handle != INVALID_HANDLE_VALUE;
    }

    void closeHandle() override {
        Hold hold(m_lock);
        if (m_handle == INVALID_HANDLE_VALUE)
            return;
        // Whatever is still pending ends now; its owner waits for the end before it returns.
        CancelIoEx(m_handle, nullptr);
        CloseHandle(m_handle);
        m_handle = INVALID_HANDLE_VALUE;
    }

    bool setupComm(int inQueue, int outQueue) override {
        Hold hold(m_lock);
        return usable() && SetupComm(m_handle, DWORD(std::max(inQueue, 0)),
                                     DWORD(std::max(outQueue, 0))) != FALSE;
    }

    bool setCommState(const SerDcb &settings) override;

    bool setCommTimeouts() override {
        Hold hold(m_lock);
        if (!usable())
            return false;
        COMMTIMEOUTS timeouts{};
        // MAXDWORD with zero totals: a read returns at once with what is queued.
        timeouts.ReadIntervalTimeout = MAXDWORD;
        return SetCommTimeouts(m_handle, &timeouts) != FALSE;
    }

    bool setCommMask(std::uint32_t mask) override {
        // A pending WaitCommEvent completes with no events; the waiter then waits again.
        Hold hold(m_lock);
        return usable() && SetCommMask(m_handle, DWORD(mask)) != FALSE;
    }

    bool clearCommError(std::uint32_t &errors, SerComStat &stat) override {
        Hold hold(m_lock);
        errors = 0;
        stat = {};
        if (!usable())
            return false;
        DWORD flags = 0;
        COMSTAT status{};
        if (!ClearCommError(m_handle, &flags, &status))
            return false;
        errors = flags | m_pendingErrors;
        m_pendingErrors = 0;
        stat.Flags = errors;
        stat.cbInQue = status.cbInQue;
        stat.cbOutQue = status.cbOutQue;
        return true;
    }

    bool escapeCommFunction(SerEscape function) override {
        Hold hold(m_lock);
        return usable() && EscapeCommFunction(m_handle, DWORD(function)) != FALSE;
    }

    bool readFile(void *buffer, int count, int &done) override;
    SerWriteResult writeFile(const void *data, int count, int &done,
                             std::span<const SerHandle> wake, int timeoutMs,
                             int &wokenIndex) override;
    SerWaitResult waitCommEvent(std::uint32_t &events, SerHandle wake) override;
    bool drainOutput(int timeoutMs) override;
    // Windows drivers that switch direction do it by the RTS_CONTROL_TOGGLE of the DCB, not by
    // a mode of their own.
    bool setRs485(const SerRs485 & /*mode*/) override {
        SetLastError(ERROR_NOT_SUPPORTED);
        return false;
    }

private:
    bool usable() const {
        if (m_handle != INVALID_HANDLE_VALUE)
            return true;
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    // Asks a pending operation to end and waits until it has: the driver writes into the
    // OVERLAPPED (and the event mask) up to that moment. The last error is kept.
    void cancel(Overlapped &op) {
        const DWORD error = GetLastError();
        {
            Hold hold(m_lock);
            if (m_handle != INVALID_HANDLE_VALUE)
                CancelIoEx(m_handle, &op.ov);
        }
        WaitForSingleObject(op.ov.hEvent, INFINITE);
        SetLastError(error);
    }

    mutable SRWLOCK m_lock = SRWLOCK_INIT;
    HANDLE m_handle;
    // Line errors that a queue query of our own took off the driver, kept for clearCommError.
    DWORD m_pendingErrors = 0;
};

bool Win32SerialDevice::setCommState(const SerDcb &settings) {
    Hold hold(m_lock);
    if (!usable())
        return false;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(m_handle, &dcb))
        return false;
    const std::uint32_t flags = settings.Flags;
    dcb.BaudRate = settings.BaudRate;
    dcb.fBinary = (flags & kDcbBinary) != 0;
    dcb.fParity = (flags & kDcbParity) != 0;
    dcb.fOutxCtsFlow = (flags & kDcbOutxCtsFlow) != 0;
    dcb.fOutxDsrFlow = (flags & kDcbOutxDsrFlow) != 0;
    dcb.fDtrControl = (flags >> kDcbDtrControlShift) & 3u;
    dcb.fDsrSensitivity = (flags & kDcbDsrSensitivity) != 0;
    dcb.fTXContinueOnXoff = (flags & kDcbTxContinueOnXoff) != 0;
    dcb.fOutX = (flags & kDcbOutX) != 0;
    dcb.fInX = (flags & kDcbInX) != 0;
    dcb.fErrorChar = (flags & kDcbErrorChar) != 0;
    dcb.fNull = (flags & kDcbNull) != 0;
    dcb.fRtsControl = (flags >> kDcbRtsControlShift) & 3u;
    dcb.fAbortOnError = (flags & kDcbAbortOnError) != 0;
    dcb.XonLim = settings.XonLim;
    dcb.XoffLim = settings.XoffLim;
    dcb.ByteSize = settings.ByteSize;
    dcb.Parity = settings.Parity;
    dcb.StopBits = settings.StopBits;
    dcb.XonChar = char(settings.XonChar);
    dcb.XoffChar = char(settings.XoffChar);
    dcb.ErrorChar = char(settings.ErrorChar);
    dcb.EofChar = char(settings.EofChar);
    dcb.EvtChar = char(settings.EvtChar);
    return SetCommState(m_handle, &dcb) != FALSE;
}

bool Win32SerialDevice::readFile(void *buffer, int count, int &done) {
    done = 0;
    Overlapped op;
    if (!op.valid())
        return false;
    Hold hold(m_lock);
    if (!usable())
        return false;
    if (count <= 0)
        return true;
    // Only what is queued is asked for, so the read never waits, whatever a driver makes of the
    // timeouts (Wine waits for a byte when none is queued) and with the device held meanwhile.
    DWORD flags = 0;
    COMSTAT status{};
    if (!ClearCommError(m_handle, &flags, &status))
        return false;
    m_pendingErrors |= flags;
    const DWORD wanted = std::min(DWORD(count), status.cbInQue);
    if (wanted == 0)
        return true;
    DWORD got = 0;
    if (!ReadFile(m_handle, buffer, wanted, &got, &op.ov)) {
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        if (!GetOverlappedResult(m_handle, &op.ov, &got, TRUE))
            return false;
    }
    done = int(got);
    return true;
}

SerWriteResult Win32SerialDevice::writeFile(const void *data, int count, int &done,
                                            std::span<const SerHandle> wake, int timeoutMs,
                                            int &wokenIndex) {
    done = 0;
    wokenIndex = -1;
    if (count <= 0)
        return SerWriteResult::Written;
    if (wake.size() >= MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return SerWriteResult::Failed;
    }
    Overlapped op;
    if (!op.valid())
        return SerWriteResult::Failed;
    HANDLE handle;
    {
        Hold hold(m_lock);
        if (!usable())
            return SerWriteResult::Failed;
        handle = m_handle;
        DWORD sent = 0;
        if (WriteFile(m_handle, data, DWORD(count), &sent, &op.ov)) {
            done = int(sent);
            return SerWriteResult::Written;
        }
        if (GetLastError() != ERROR_IO_PENDING)
            return SerWriteResult::Failed;
    }

    // The wake handles come first, so a stop is seen even when the write has completed too.
    std::vector<HANDLE> handles;
    handles.reserve(wake.size() + 1);
    for (SerHandle handle : wake)
        handles.push_back(toHandle(handle));
    handles.push_back(op.ov.hEvent);
    const DWORD waited = WaitForMultipleObjects(
        DWORD(handles.size()), handles.data(), FALSE,
        timeoutMs == kSerInfinite ? INFINITE : DWORD(std::max(timeoutMs, 0)));
    const DWORD written = WAIT_OBJECT_0 + DWORD(wake.size());
    if (waited == written) {
        DWORD sent = 0;
        if (!GetOverlappedResult(handle, &op.ov, &sent, FALSE))
            return SerWriteResult::Failed;
        done = int(sent);
        return SerWriteResult::Written;
    }
    cancel(op);
    // Bytes that went before the cancel count as written.
    if (const DWORD sent = DWORD(op.ov.InternalHigh); sent > 0) {
        done = int(sent);
        return SerWriteResult::Written;
    }
    if (waited < written) {
        wokenIndex = int(waited - WAIT_OBJECT_0);
        return SerWriteResult::Woken;
    }
    return waited == WAIT_TIMEOUT ? SerWriteResult::TimedOut : SerWriteResult::Failed;
}

SerWaitResult Win32SerialDevice::waitCommEvent(std::uint32_t &events, SerHandle wake) {
    events = 0;
    const auto failure = [] {
        return deviceGone(GetLastError()) ? SerWaitResult::Lost : SerWaitResult::Failed;
    };
    for (;;) {
        Overlapped op;
        if (!op.valid())
            return SerWaitResult::Failed;
        DWORD happened = 0;
        HANDLE handle;
        {
            Hold hold(m_lock);
            if (!usable())
                return SerWaitResult::Failed;
            handle = m_handle;
            if (WaitCommEvent(handle, &happened, &op.ov)) {
                if (happened == 0)
                    continue; // the mask changed
                events = happened;
                return SerWaitResult::Events;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                return failure();
        }
        HANDLE handles[] = {toHandle(wake), op.ov.hEvent};
        const DWORD waited = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        if (waited != WAIT_OBJECT_0 + 1) {
            cancel(op);
            return waited == WAIT_OBJECT_0 ? SerWaitResult::Woken : SerWaitResult::Failed;
        }
        DWORD unused = 0;
        if (!GetOverlappedResult(handle, &op.ov, &unused, FALSE)) {
            // A close ends the wait this way, and so does Wine every wait on a port without
            // modem lines (a pseudo-terminal); the next round sees the handle gone or waits again.
            // The pause, spent listening for the wake, keeps the second case from spinning.
            if (GetLastError() == ERROR_OPERATION_ABORTED) {
                if (WaitForSingleObject(toHandle(wake), 1) == WAIT_OBJECT_0)
                    return SerWaitResult::Woken;
                continue;
            }
            return failure();
        }
        if (happened != 0) {
            events = happened;
            return SerWaitResult::Events;
        }
    }
}

// The driver tells only how much is still queued, not when the last character has left the
// UART; a few character times after an empty queue are the caller's to allow for.
bool Win32SerialDevice::drainOutput(int timeoutMs) {
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(std::max(timeoutMs, 0));
    for (;;) {
        {
            Hold hold(m_lock);
            if (!usable())
                return false;
            DWORD flags = 0;
            COMSTAT status{};
            if (!ClearCommError(m_handle, &flags, &status))
                return true;
            m_pendingErrors |= flags;
            if (status.cbOutQue == 0)
                return true;
        }
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(1);
    }
}

bool isComName(const std::string &name) {
    if (name.size() < 4 || name.size() > 6)
        return false;
    for (int i = 0; i < 3; ++i) {
        if ((name[i] & ~0x20) != "COM"[i])
            return false;
    }
    if (name[3] == '0')
        return false;
    int number = 0;
    for (std::size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return false;
        number = number * 10 + (name[i] - '0');
    }
    return number >= 1 && number <= 256;
}

} // namespace

std::string devicePath(const std::string &name) {
    return isComName(name) ? "\\\\.\\" + name : name;
}

std::shared_ptr<SerialDevice> Win32SerialOs::createFile(const std::string &name) {
    const HANDLE handle = CreateFileA(devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    // A file or a pipe opens as readily as a port; only a communications device has line
    // settings.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return nullptr;
    }
    return std::make_shared<Win32SerialDevice>(handle);
}

SerHandle Win32SerialOs::createEvent() {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event ? reinterpret_cast<SerHandle>(event) : kInvalidSerHandle;
}

bool Win32SerialOs::setEvent(SerHandle event) {
    return SetEvent(toHandle(event)) != FALSE;
}

bool Win32SerialOs::resetEvent(SerHandle event) {
    return ResetEvent(toHandle(event)) != FALSE;
}

int Win32SerialOs::waitForMultipleObjects(std::span<const SerHandle> handles, int timeoutMs) {
    if (handles.empty() || handles.size() > MAXIMUM_WAIT_OBJECTS) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kSerWaitFailed;
    }
    std::vector<HANDLE> objects;
    objects.reserve(handles.size());
    for (SerHandle handle : handles)
        objects.push_back(toHandle(handle));
    const DWORD waited = WaitForMultipleObjects(
        DWORD(objects.size()), objects.data(), FALSE,
        timeoutMs == kSerInfinite ? INFINITE : DWORD(std::max(timeoutMs, 0)));
    if (waited < WAIT_OBJECT_0 + objects.size())
        return int(waited - WAIT_OBJECT_0);
    if (waited == WAIT_TIMEOUT)
        return kSerWaitTimeout;
    return kSerWaitFailed;
}

bool Win32SerialOs::closeHandle(SerHandle handle) {
    return CloseHandle(toHandle(handle)) != FALSE;
}

int Win32SerialOs::lastError() const {
    return int(GetLastError());
}

std::string Win32SerialOs::errorText(int code) const {
    wchar_t *text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(code), 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
    std::string result;
    if (length > 0 && text) {
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, text, int(length), nullptr, 0, nullptr, nullptr);
        result.resize(std::size_t(std::max(size, 0)));
        WideCharToMultiByte(CP_UTF8, 0, text, int(length), result.data(), size, nullptr, nullptr);
    }
    if (text)
        LocalFree(text);
    // The messages end in ".\r\n"; they are quoted inside sentences of our own.
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r' ||
                               result.back() == ' ' || result.back() == '.'))
        result.pop_back();
    if (result.empty())
        result = "error " + std::to_string(code);
    return result;
}

bool Win32SerialOs::isNotFound(int code) const {
    return code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND;
}

std::int64_t Win32SerialOs::currentThreadId() const {
    return std::int64_t(GetCurrentThreadId());
}

void Win32SerialOs::setThreadPriority(std::int64_t threadId, TThreadPriority priority) {
    static constexpr int levels[] = {THREAD_PRIORITY_IDLE,         THREAD_PRIORITY_LOWEST,
                                     THREAD_PRIORITY_BELOW_NORMAL, THREAD_PRIORITY_NORMAL,
                                     THREAD_PRIORITY_ABOVE_NORMAL, THREAD_PRIORITY_HIGHEST,
                                     THREAD_PRIORITY_TIME_CRITICAL};
    if (priority < tpIdle || priority > tpTimeCritical)
        return;
    const HANDLE thread = OpenThread(THREAD_SET_INFORMATION, FALSE, DWORD(threadId));
    if (!thread)
        return;
    SetThreadPriority(thread, levels[priority]);
    CloseHandle(thread);
}

std::shared_ptr<SerialDevice> openTcpDevice(const std::string &name,
                                            std::chrono::milliseconds /*timeout*/) {
    NetworkPortAddress address;
    const int problem = parseNetworkPortName(name, address);
    SetLastError(problem ? DWORD(problem) : ERROR_NOT_SUPPORTED);
    return nullptr;
}

} // namespace corvane::win32
