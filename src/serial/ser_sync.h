#pragma once

#include "serial_os.h"

#include <mutex>

namespace corvane {

// Owns one OS handle and closes it when destroyed.
class TSerHandleObject {
public:
    TSerHandleObject(const TSerHandleObject &) = delete;
    TSerHandleObject &operator=(const TSerHandleObject &) = delete;
    virtual ~TSerHandleObject();

    SerHandle Handle() const { return m_handle; }
    int LastError() const { return m_lastError; }

    enum WaitResult { wrSignaled = 0, wrTimeout = 1, wrAbandoned = 2, wrError = 3 };
    // Waits for the handle (kSerInfinite: no limit). On wrError, LastError() tells why.
    int WaitSignal(int milliseconds);

protected:
    TSerHandleObject(SerialOs &os, SerHandle handle) : m_os(os), m_handle(handle) {}

    SerialOs &m_os;
    SerHandle m_handle;
    int m_lastError = 0;
};

class TSerEvent : public TSerHandleObject {
public:
    bool SetSignal();
    bool ResetSignal();

protected:
    using TSerHandleObject::TSerHandleObject;
};

// The event kind behind every wait of the component: manual reset, created not signalled.
// Throws std::system_error when the OS has no event to give.
class TSerWaitEvent : public TSerEvent {
public:
    explicit TSerWaitEvent(SerialOs &os = defaultSerialOs());
};

// Recursive, like the OS critical section it stands for. Usable with std::lock_guard.
class TSerCriticalSection {
public:
    void Enter() { m_mutex.lock(); }
    void Leave() { m_mutex.unlock(); }

    void lock() { Enter(); }
    void unlock() { Leave(); }
    bool try_lock() { return m_mutex.try_lock(); }

private:
    std::recursive_mutex m_mutex;
};

} // namespace corvane
