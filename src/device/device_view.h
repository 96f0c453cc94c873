#pragma once

#include "output.h"

#include <QString>

namespace corvane {

// What the device and service commands show besides the logs and the status bar, in the
// window's terms: which value arrived, which command may be started now. Where a value lands
// and under which caption is the window's business; the core never names a widget.
class DeviceView : public Output {
public:
    // The commands whose buttons grey out while they run.
    enum class Command { Read, Write, Counters, Flow, DeviceInfo };

    // The recognised model text ("QTR-8D"), empty when none is known.
    virtual void showModel(const QString &deviceType) = 0;
    // The identification text of the information read, control bytes shown as spaces.
    virtual void showIdentification(const QString &text) = 0;
    // The logger's clock as "hh:mm" and "dd.mm.yyyy".
    virtual void showClock(const QString &time, const QString &date) = 0;
    // The battery level, already formatted for the operator.
    virtual void showBattery(const QString &level) = 0;
    // The input status byte, one bit per input.
    virtual void showInputStatus(int bits) = 0;
    // The menu access code read from the logger.
    virtual void showMenuCode(const QString &code) = 0;
    // The pulse length as "<n> ms", and the menu language's name.
    virtual void showPulseLength(const QString &length) = 0;
    virtual void showLanguage(const QString &language) = 0;
    // A lock or unlock command was acknowledged.
    virtual void showLockState(bool locked) = 0;
    // The address the information read is asking.
    virtual void showInfoAddress(int address) = 0;
    // A known model is selected: its parameter and measured-value pages may be used.
    virtual void enableModelPages() = 0;
    virtual void setCommandEnabled(Command command, bool enabled) = 0;
    // The service page's password: refused (entry emptied, page stays shut) or accepted (page
    // open, the entry and its button gone).
    virtual void showPasswordRefused() = 0;
    virtual void showServicePageOpen() = 0;
};

// What the operator has typed, chosen or ticked, read at the moment a command needs it.
class ControlReader {
public:
    // The service page's entries, and the new bus address.
    enum class Field {
        DeviceId,
        Speed,
        Parity,
        MenuCode,
        InputCount,
        Polarity,
        NewAddress,
        PulseLength
    };
    // The parameter write's check boxes: which rows go to the logger.
    enum class WriteGroup { Unit, Constant, User, FreeText, Tariffs, Initial };

    virtual ~ControlReader() = default;
    virtual QString text(Field field) const = 0;
    virtual bool isChecked(WriteGroup group) const = 0;
};

} // namespace corvane
