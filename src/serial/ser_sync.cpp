#include "ser_sync.h"

#include <system_error>

namespace corvane {

TSerHandleObject::~TSerHandleObject() {
    if (m_handle != kInvalidSerHandle)
        m_os.closeHandle(m_handle);
}

int TSerHandleObject::WaitSignal(int milliseconds) {
    const SerHandle handles[] = {m_handle};
    const int result = m_os.waitForMultipleObjects(handles, milliseconds);
    if (result == 0)
        return wrSignaled;
    if (result == kSerWaitTimeout)
        return wrTimeout;
    m_lastError = m_os.lastError();
    return wrError;
}

bool TSerEvent::SetSignal() {
    return m_os.setEvent(m_handle);
}

bool TSerEvent::ResetSignal() {
    return m_os.resetEvent(m_handle);
}

TSerWaitEvent::TSerWaitEvent(SerialOs &os) : TSerEvent(os, os.createEvent()) {
    if (m_handle == kInvalidSerHandle)
        throw std::system_error(os.lastError(), std::generic_category(), "event object");
}

} // namespace corvane
