#include "ser_options.h"

#include <stdexcept>
#include <string>

namespace corvane {

void TSerPersistent::LockChanges() {
    ++m_changeLock;
}

void TSerPersistent::UnlockChanges() {
    if (m_changeLock > 0)
        --m_changeLock;
    NotifyChange();
}

void TSerPersistent::NotifyChange() {
    if (m_changeLock == 0 && OnChange)
        OnChange(this);
}

void TSerPersistent::Assign(const TSerPersistent &Source) {
    throw std::invalid_argument(std::string("Cannot assign a ") + Source.ClassName() + " to a " +
                                ClassName());
}

void TSerFlowControl::Assign(const TSerPersistent &Source) {
    const auto *src = dynamic_cast<const TSerFlowControl *>(&Source);
    if (!src) {
        TSerPersistent::Assign(Source);
        return;
    }
    LockChanges();
    SetOutCtsFlow(src->OutCtsFlow());
    SetOutDsrFlow(src->OutDsrFlow());
    SetControlDtr(src->ControlDtr());
    SetControlRts(src->ControlRts());
    SetXonXoffOut(src->XonXoffOut());
    SetXonXoffIn(src->XonXoffIn());
    SetDsrSensitivity(src->DsrSensitivity());
    SetTxContinueOnXoff(src->TxContinueOnXoff());
    UnlockChanges();
}

void TSerEventChars::Assign(const TSerPersistent &Source) {
    const auto *src = dynamic_cast<const TSerEventChars *>(&Source);
    if (!src) {
        TSerPersistent::Assign(Source);
        return;
    }
    LockChanges();
    for (int index = 1; index <= 5; ++index)
        SetChar(index, src->m_chars[index - 1]);
    UnlockChanges();
}

void TSerEventChars::SetChar(int Index, std::uint8_t value) {
    if (Index < 1 || Index > 5)
        return;
    m_chars[Index - 1] = value;
    NotifyChange();
}

void TSerBuffers::Assign(const TSerPersistent &Source) {
    const auto *src = dynamic_cast<const TSerBuffers *>(&Source);
    if (!src) {
        TSerPersistent::Assign(Source);
        return;
    }
    LockChanges();
    SetReadSize(src->ReadSize());
    SetWriteSize(src->WriteSize());
    SetReadTimeout(src->ReadTimeout());
    SetWriteTimeout(src->WriteTimeout());
    SetXonLimit(src->XonLimit());
    SetXoffLimit(src->XoffLimit());
    UnlockChanges();
}

void TSerBuffers::store(TSerIntW &field, TSerIntW value) {
    value = clamp(value);
    if (field == value)
        return;
    field = value;
    NotifyChange();
}

} // namespace corvane
