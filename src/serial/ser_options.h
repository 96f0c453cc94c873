#pragma once

#include "ser_comm_types.h"

#include <cstdint>
#include <functional>

namespace corvane {

// An option group that tells its owner when it changes. Changes made between LockChanges and
// UnlockChanges reach the owner once, at the final UnlockChanges.
class TSerPersistent {
public:
    using TChangeEvent = std::function<void(TSerPersistent *Sender)>;

    TSerPersistent() = default;
    TSerPersistent(const TSerPersistent &) = delete;
    TSerPersistent &operator=(const TSerPersistent &) = delete;
    virtual ~TSerPersistent() = default;

    void LockChanges();
    void UnlockChanges();
    // Copies every member of a group of the same class, notifying the owner once. Any other
    // class is refused with std::invalid_argument.
    virtual void Assign(const TSerPersistent &Source);
    virtual const char *ClassName() const = 0;

    TChangeEvent OnChange;

protected:
    void NotifyChange();

private:
    std::int32_t m_changeLock = 0;
};

class TSerFlowControl : public TSerPersistent {
public:
    void Assign(const TSerPersistent &Source) override;
    const char *ClassName() const override { return "TSerFlowControl"; }

    bool OutCtsFlow() const { return m_outCtsFlow; }
    bool OutDsrFlow() const { return m_outDsrFlow; }
    TSerControlDtr ControlDtr() const { return m_controlDtr; }
    TSerControlRts ControlRts() const { return m_controlRts; }
    bool XonXoffOut() const { return m_xonXoffOut; }
    bool XonXoffIn() const { return m_xonXoffIn; }
    bool DsrSensitivity() const { return m_dsrSensitivity; }
    bool TxContinueOnXoff() const { return m_txContinueOnXoff; }

    void SetOutCtsFlow(bool value) { store(m_outCtsFlow, value); }
    void SetOutDsrFlow(bool value) { store(m_outDsrFlow, value); }
    void SetControlDtr(TSerControlDtr value) { store(m_controlDtr, value); }
    void SetControlRts(TSerControlRts value) { store(m_controlRts, value); }
    void SetXonXoffOut(bool value) { store(m_xonXoffOut, value); }
    void SetXonXoffIn(bool value) { store(m_xonXoffIn, value); }
    void SetDsrSensitivity(bool value) { store(m_dsrSensitivity, value); }
    void SetTxContinueOnXoff(bool value) { store(m_txContinueOnXoff, value); }

private:
    template <typename T> void store(T &field, T value) {
        if (field == value)
            return;
        field = value;
        NotifyChange();
    }

    bool m_outCtsFlow = false;
    bool m_outDsrFlow = false;
    TSerControlDtr m_controlDtr = dtrDisabled;
    TSerControlRts m_controlRts = rtsDisabled;
    bool m_xonXoffOut = false;
    bool m_xonXoffIn = false;
    bool m_dsrSensitivity = false;
    bool m_txContinueOnXoff = false;
};

class TSerEventChars : public TSerPersistent {
public:
    void Assign(const TSerPersistent &Source) override;
    const char *ClassName() const override { return "TSerEventChars"; }

    std::uint8_t XonChar() const { return m_chars[0]; }
    std::uint8_t XoffChar() const { return m_chars[1]; }
    std::uint8_t ErrorChar() const { return m_chars[2]; }
    std::uint8_t EventChar() const { return m_chars[3]; }
    std::uint8_t EofChar() const { return m_chars[4]; }

    void SetXonChar(std::uint8_t value) { SetChar(1, value); }
    void SetXoffChar(std::uint8_t value) { SetChar(2, value); }
    void SetErrorChar(std::uint8_t value) { SetChar(3, value); }
    void SetEventChar(std::uint8_t value) { SetChar(4, value); }
    void SetEofChar(std::uint8_t value) { SetChar(5, value); }

    // Index 1..5 as above. Always notifies, even when the value is the same.
    void SetChar(int Index, std::uint8_t value);

private:
    std::uint8_t m_chars[5] = {0x11, 0x13, 0, 0, 0};
};

class TSerBuffers : public TSerPersistent {
public:
    void Assign(const TSerPersistent &Source) override;
    const char *ClassName() const override { return "TSerBuffers"; }

    TSerIntW ReadSize() const { return m_readSize; }
    TSerIntW WriteSize() const { return m_writeSize; }
    TSerIntW ReadTimeout() const { return m_readTimeout; }
    TSerIntW WriteTimeout() const { return m_writeTimeout; }
    TSerIntW XonLimit() const { return m_xonLimit; }
    TSerIntW XoffLimit() const { return m_xoffLimit; }

    void SetReadSize(TSerIntW value) { store(m_readSize, value); }
    void SetWriteSize(TSerIntW value) { store(m_writeSize, value); }
    void SetXonLimit(TSerIntW value) { store(m_xonLimit, value); }
    void SetXoffLimit(TSerIntW value) { store(m_xoffLimit, value); }
    // The time limits may change at any time, open or not, so the owner is not told.
    void SetReadTimeout(TSerIntW value) { m_readTimeout = clamp(value); }
    void SetWriteTimeout(TSerIntW value) { m_writeTimeout = clamp(value); }

private:
    // A negative size would become a huge allocation for the write queue.
    static TSerIntW clamp(TSerIntW value) { return value < 0 ? 0 : value; }
    void store(TSerIntW &field, TSerIntW value);

    TSerIntW m_readSize = 4096;
    TSerIntW m_writeSize = 2048;
    TSerIntW m_readTimeout = 1000;
    TSerIntW m_writeTimeout = 1000;
    TSerIntW m_xonLimit = 1024;
    TSerIntW m_xoffLimit = 1024;
};

} // namespace corvane
