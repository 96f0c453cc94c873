// The Win32 serial backend against a simulated logger, run under Wine with the port mapped to
// the simulator's pseudo-terminal (scripts/win32-check.sh). Qt-free: cross-built with MinGW-w64.
// Every check prints PASS, FAIL or SKIP with its reason; what Wine cannot emulate is a SKIP,
// never a silent pass. Exit status 1 when any check failed.

#include "win32/win32_serial_os.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using namespace corvane;

namespace {

int g_failed = 0;
int g_passed = 0;
int g_skipped = 0;
win32::Win32SerialOs g_os;
// Whether a WaitCommEvent on the idle port stays pending, as on Windows (see probePendingWait).
bool g_waitStaysPending = true;

void pass(const std::string &what) {
    std::printf("PASS %s\n", what.c_str());
    ++g_passed;
}
void fail(const std::string &what, const std::string &why) {
    std::printf("FAIL %s: %s\n", what.c_str(), why.c_str());
    ++g_failed;
}
void skip(const std::string &what, const std::string &why) {
    std::printf("SKIP %s: %s\n", what.c_str(), why.c_str());
    ++g_skipped;
}
std::string lastErrorText() {
    const int code = g_os.lastError();
    return "error " + std::to_string(code) + ", " + g_os.errorText(code);
}

std::uint16_t crc16(const std::uint8_t *data, std::size_t size) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? std::uint16_t((crc >> 1) ^ 0xA001) : std::uint16_t(crc >> 1);
    }
    return crc;
}

// Ends the process if a step hangs: the script's own timeout would tell less.
constexpr DWORD kWatchdogMs = 15000;
HANDLE g_progress = nullptr;
DWORD WINAPI watchdog(void *) {
    while (WaitForSingleObject(g_progress, kWatchdogMs) == WAIT_OBJECT_0)
        ResetEvent(g_progress);
    std::printf("FAIL watchdog: a step took longer than %lu ms\n", kWatchdogMs);
    std::fflush(stdout);
    ExitProcess(3);
}
void progress() {
    SetEvent(g_progress);
}

// Signals an event after a delay unless stopped first: bounds a wait that should end by itself,
// or ends one that should be woken.
class Timer {
public:
    Timer(SerHandle event, DWORD delayMs) : m_event(event), m_delayMs(delayMs) {
        m_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        m_thread = CreateThread(nullptr, 0, run, this, 0, nullptr);
    }
    ~Timer() {
        SetEvent(m_stop);
        WaitForSingleObject(m_thread, INFINITE);
        CloseHandle(m_thread);
        CloseHandle(m_stop);
    }
    Timer(const Timer &) = delete;
    Timer &operator=(const Timer &) = delete;

private:
    static DWORD WINAPI run(void *parameter) {
        auto *timer = static_cast<Timer *>(parameter);
        if (WaitForSingleObject(timer->m_stop, timer->m_delayMs) == WAIT_TIMEOUT)
            g_os.setEvent(timer->m_event);
        return 0;
    }
    SerHandle m_event;
    DWORD m_delayMs;
    HANDLE m_stop = nullptr;
    HANDLE m_thread = nullptr;
};

// Read 8 registers at 0x8000 (the units) from logger 1: 01 03 10, 16 data bytes, CRC.
std::vector<std::uint8_t> request() {
    std::vector<std::uint8_t> frame = {0x01, 0x03, 0x80, 0x00, 0x00, 0x08};
    const std::uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(std::uint8_t(crc & 0xFF));
    frame.push_back(std::uint8_t(crc >> 8));
    return frame;
}
constexpr std::size_t kReplySize = 3 + 16 + 2;

// A wait for line events on a thread of its own, so that it is pending when the reply arrives.
struct EventWait {
    SerialDevice *port;
    SerHandle stop;
    SerWaitResult result = SerWaitResult::Failed;
    std::uint32_t events = 0;
    DWORD error = 0;
};
DWORD WINAPI waitForEvents(void *parameter) {
    auto *wait = static_cast<EventWait *>(parameter);
    wait->result = wait->port->waitCommEvent(wait->events, wait->stop);
    wait->error = GetLastError();
    return 0;
}

// Bytes in the input queue, waiting up to 3 s for at least one.
std::uint32_t awaitQueued(SerialDevice &port) {
    std::uint32_t errors = 0;
    SerComStat stat;
    const ULONGLONG deadline = GetTickCount64() + 3000;
    while (port.clearCommError(errors, stat) && stat.cbInQue == 0 && GetTickCount64() < deadline)
        Sleep(5);
    return stat.cbInQue;
}

// Wine's wait for line events reads the modem lines, which a pseudo-terminal does not have; it
// then ends every wait at once with ERROR_OPERATION_ABORTED, and the backend makes it again.
// Looked at on a raw handle, so that the report says which wait the reply went through.
void probePendingWait(const std::string &name) {
    const HANDLE port = CreateFileA(win32::devicePath(name).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        fail("pending WaitCommEvent probe", lastErrorText());
        return;
    }
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    SetCommMask(port, EV_RXCHAR);
    const BOOL at_once = WaitCommEvent(port, &events, &ov);
    const DWORD error = at_once ? 0 : GetLastError();
    if (!at_once && error == ERROR_IO_PENDING &&
        WaitForSingleObject(ov.hEvent, 500) == WAIT_TIMEOUT) {
        pass("an overlapped WaitCommEvent on the idle port stays pending");
        CancelIoEx(port, &ov);
        WaitForSingleObject(ov.hEvent, INFINITE);
    } else {
        DWORD unused = 0;
        const BOOL ok = at_once || (error == ERROR_IO_PENDING &&
                                    GetOverlappedResult(port, &ov, &unused, FALSE));
        const DWORD ended = ok ? 0 : (error == ERROR_IO_PENDING ? GetLastError() : error);
        g_waitStaysPending = false;
        skip("an overlapped WaitCommEvent on the idle port stays pending",
             "it ended at once (events " + std::to_string(events) + ", error " +
                 std::to_string(ended) + ", " + g_os.errorText(int(ended)) +
                 "): Wine ends a wait on a pseudo-terminal because it cannot read its modem "
                 "lines; the backend makes the wait again, so the replies below are seen by the "
                 "check a wait makes when it starts, and the cancelling of a pending wait is not "
                 "exercised");
    }
    CloseHandle(ov.hEvent);
    CloseHandle(port);
}

// Sends the request with RTS keyed; the reply must end a wait for line events that was started
// before the request went out.
void exchange(SerialDevice &port, SerHandle stop, const std::string &label) {
    EventWait wait{&port, stop};
    const HANDLE waiter = CreateThread(nullptr, 0, waitForEvents, &wait, 0, nullptr);
    // Lets the wait get under way on the idle line; should it not have, the checks still hold.
    Sleep(100);

    const bool keyed = port.escapeCommFunction(SerEscape::SetRts);
    if (keyed)
        pass(label + ": RTS keyed");
    else
        skip(label + ": RTS keyed",
             "Wine keys RTS with TIOCMBIS, which a pseudo-terminal refuses (" + lastErrorText() +
                 ")");
    const std::vector<std::uint8_t> frame = request();
    int done = 0;
    int woken = -1;
    const SerWriteResult wrote =
        port.writeFile(frame.data(), int(frame.size()), done, {}, 2000, woken);
    if (wrote == SerWriteResult::Written && done == int(frame.size()))
        pass(label + ": request written (" + std::to_string(done) +
             " bytes, overlapped WriteFile)");
    else
        fail(label + ": request written", "result " + std::to_string(int(wrote)) + ", " +
                                              std::to_string(done) + " bytes, " + lastErrorText());
    if (!port.drainOutput(2000))
        fail(label + ": output drained", lastErrorText());
    if (keyed && !port.escapeCommFunction(SerEscape::ClrRts))
        fail(label + ": RTS released", lastErrorText());
    progress();
    {
        Timer limit(stop, 3000);
        WaitForSingleObject(waiter, INFINITE);
    }
    CloseHandle(waiter);
    g_os.resetEvent(stop);
    progress();

    if (wait.result == SerWaitResult::Events && (wait.events & EV_RXCHAR)) {
        pass(label + ": reply announced by EV_RXCHAR through " +
             (g_waitStaysPending ? "a pending overlapped WaitCommEvent"
                                 : "an overlapped WaitCommEvent made again until it saw it"));
    } else if (wait.result == SerWaitResult::Woken) {
        const std::uint32_t queued = awaitQueued(port);
        if (queued == 0) {
            fail(label + ": reply awaited", "nothing arrived within 3 s");
            return;
        }
        skip(label + ": reply announced through a pending overlapped WaitCommEvent",
             std::to_string(queued) + " bytes arrived and did not end the pending wait; Wine "
                                      "does not watch a pseudo-terminal for a pending wait");
        std::uint32_t events = 0;
        SerWaitResult waited;
        {
            Timer limit(stop, 3000);
            waited = port.waitCommEvent(events, stop);
        }
        g_os.resetEvent(stop);
        if (waited == SerWaitResult::Events && (events & EV_RXCHAR))
            pass(label + ": overlapped WaitCommEvent made with the reply queued reports EV_RXCHAR");
        else
            fail(label + ": overlapped WaitCommEvent made with the reply queued",
                 "result " + std::to_string(int(waited)) + ", events " + std::to_string(events));
    } else {
        fail(label + ": reply awaited",
             "wait ended with result " + std::to_string(int(wait.result)) + ", events " +
                 std::to_string(wait.events) + ", " + g_os.errorText(int(wait.error)));
        return;
    }

    // The rest of the reply may still be on its way.
    std::vector<std::uint8_t> reply;
    while (reply.size() < kReplySize && awaitQueued(port) > 0) {
        std::uint8_t buffer[64];
        int got = 0;
        if (!port.readFile(buffer, int(sizeof buffer), got)) {
            fail(label + ": reply read", lastErrorText());
            return;
        }
        reply.insert(reply.end(), buffer, buffer + got);
    }
    progress();

    std::string hex;
    for (std::uint8_t byte : reply) {
        char text[4];
        std::snprintf(text, sizeof text, "%02X ", byte);
        hex += text;
    }
    const std::uint16_t crc = crc16(reply.data(), kReplySize - 2);
    const bool crcOk = reply.size() == kReplySize && reply[kReplySize - 2] == (crc & 0xFF) &&
                       reply[kReplySize - 1] == (crc >> 8);
    if (reply.size() == kReplySize && reply[0] == 0x01 && reply[1] == 0x03 && reply[2] == 16 &&
        crcOk)
        pass(label + ": reply bytes (address 1, function 3, 16 data bytes, CRC): " + hex);
    else
        fail(label + ": reply bytes", hex);
}

} // namespace

int main(int argc, char **argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    const std::string name = argc > 1 ? argv[1] : "COM5";
    g_progress = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    CreateThread(nullptr, 0, watchdog, nullptr, 0, nullptr);

    probePendingWait(name);
    progress();

    std::shared_ptr<SerialDevice> port = g_os.createFile(name);
    if (!port) {
        fail("open " + name + " (" + win32::devicePath(name) + ")", lastErrorText());
        return 1;
    }
    pass("open " + name + " as " + win32::devicePath(name) + " with FILE_FLAG_OVERLAPPED");

    SerDcb dcb;
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    dcb.Flags = kDcbBinary | (1u << kDcbDtrControlShift);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    if (port->setupComm(4096, 4096) && port->setCommState(dcb) && port->setCommTimeouts() &&
        port->setCommMask(EV_RXCHAR)) {
        pass("9600 8N1: SetupComm, SetCommState, SetCommTimeouts, SetCommMask");
    } else {
        fail("9600 8N1", lastErrorText());
        return 1;
    }
    std::uint32_t errors = 0;
    SerComStat stat;
    if (port->clearCommError(errors, stat))
        pass("ClearCommError (errors " + std::to_string(errors) + ", " +
             std::to_string(stat.cbInQue) + " bytes queued)");
    else
        fail("ClearCommError", lastErrorText());

    const SerHandle stop = g_os.createEvent();
    if (stop == kInvalidSerHandle) {
        fail("CreateEvent", lastErrorText());
        return 1;
    }
    progress();
    exchange(*port, stop, "first request");

    // Another program asking for the port in use.
    if (std::shared_ptr<SerialDevice> second = g_os.createFile(name)) {
        skip("second open refused as busy",
             "Wine opened the port a second time; it does not enforce exclusive access to a "
             "serial device");
    } else if (g_os.lastError() == ERROR_ACCESS_DENIED) {
        pass("second open refused as busy (" + lastErrorText() + ")");
    } else {
        fail("second open refused as busy", lastErrorText());
    }
    progress();

    // The wake event ends a wait: signalled before it starts, and while it runs on a quiet line.
    std::uint32_t events = 0;
    g_os.setEvent(stop);
    if (port->waitCommEvent(events, stop) == SerWaitResult::Woken)
        pass("wake event signalled before the wait ends it");
    else
        fail("wake event signalled before the wait ends it", lastErrorText());
    g_os.resetEvent(stop);
    progress();
    {
        Timer wake(stop, 200);
        if (port->waitCommEvent(events, stop) == SerWaitResult::Woken)
            pass(std::string("wake event signalled during the wait ends it") +
                 (g_waitStaysPending ? " (pending WaitCommEvent cancelled)" : ""));
        else
            fail("wake event signalled during the wait ends it", lastErrorText());
    }
    g_os.resetEvent(stop);
    progress();

    // The cancelled wait leaves the port as it was.
    exchange(*port, stop, "request after the wake");

    port->closeHandle();
    port = g_os.createFile(name);
    if (port)
        pass("reopen after close");
    else
        fail("reopen after close", lastErrorText());
    port.reset();
    g_os.closeHandle(stop);

    std::printf("Win32 serial check: %d passed, %d skipped, %d failed\n", g_passed, g_skipped,
                g_failed);
    return g_failed == 0 ? 0 : 1;
}
