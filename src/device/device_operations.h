#pragma once

#include "decoders.h"
#include "request_runner.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <functional>

namespace corvane {

class DeviceSession;

// The commands of the parameter, measured-value and clock controls, and the selection change of
// the address selector. The window calls the handlers from its buttons and timers; each checks
// its preconditions (port, model, its own inputs, then whether another request is in flight),
// starts the runner and returns. Errors of the port never leave a handler: they go to the
// application's error display.
//
// Construction builds the step tables of the parameter read, the counters, flow and
// input-status reads and the parameter write, which the session's runner runs. Every step reads the
// address selector, the model and the check boxes at the moment it runs, so a change made while
// a sequence runs affects its later steps.
class DeviceOperations {
public:
    using Clock = std::function<QDateTime()>;

    // clock gives the PC's local date and time; the PC's own clock when left empty.
    explicit DeviceOperations(DeviceSession &session, Clock clock = {});
    DeviceOperations(const DeviceOperations &) = delete;
    DeviceOperations &operator=(const DeviceOperations &) = delete;

    // Read: all parameters of the selected logger into Grid_data, then into its store slot.
    void BitBtn1Click();
    // Write: the groups whose check boxes are ticked, from Grid_data.
    void BitBtn2Click();
    // Counters and battery.
    void BitBtn6Click();
    // Flow rates.
    void BitBtn31Click();
    // Raw state of the inputs.
    void BitBtn28Click();
    // The PC's date and time to the logger's clock. Needs the port only, not a model; the reply
    // is not evaluated.
    void BitBtn10Click();
    // The PC clock on status-bar panel 2, in the session's locale.
    void Timer_timeTimer();

    // The selector moved to newAddress: the table goes back to the slot it came from and comes
    // out of the new one, with the new slot's model and layout. Addresses outside 1..250 are
    // ignored.
    void Edit_addrChange(int newAddress);

    // A logger found elsewhere (a bus scan) is of this model: the address's slot takes it and,
    // when that address is selected, the model is put in force as an identification would.
    // Select the address afterwards, so the selector's change finds the model in the slot.
    void adoptModel(int address, const QString &model);

    // The device part of the window's creation: every slot empty, no model, no register counts,
    // the table belonging to the selector's address.
    void resetForStartup();

    // Twelve blanks, the time in the locale's long format, ",   ", the date in its short format.
    static QString statusClockText(const QDateTime &now, const QLocale &locale);

private:
    void buildReadCommand();
    void buildMeasureCommands();
    void buildWriteCommand();

    DeviceSession &m_session;
    Clock m_clock;
    RequestRunner::Command m_read;
    RequestRunner::Command m_counters;
    RequestRunner::Command m_flow;
    RequestRunner::Command m_inputStatus;
    RequestRunner::Command m_write;
};

} // namespace corvane
