#pragma once

#include "decoders.h"
#include "device_session.h"
#include "readings.h"
#include "request_runner.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <functional>
#include <optional>
#include <vector>

namespace corvane {

// One row (or free text) of a parameter write, and what became of it.
struct WriteRow {
    enum class Outcome {
        // Sent; the command ended before its acknowledgement was judged.
        Sent,
        Written,
        // The acknowledgement was missing or rejected: see verdict.
        Failed,
        // Not sent: the row's cells did not convert, or the register count is not allowed for
        // the model. refusal says why.
        Refused,
    };
    int step = 0;
    // What the row holds, as the log names it: "units", "input 3 info"...
    QString what;
    Outcome outcome = Outcome::Sent;
    ReplyVerdict verdict;
    QString refusal;
};

// What a parameter write did at one address.
struct WriteResult {
    int address = 0;
    QString model;
    QDateTime time;
    std::vector<WriteRow> rows;
    bool stopped = false;
    // The first row that was not written, in a script's words.
    std::optional<QString> failureReason() const;
};

// The commands of the parameter, measured-value and clock controls, and the selection change of
// the address selector. Each checks its preconditions (port, model, its own inputs, then whether
// another request is in flight), starts the runner and returns whether it did. Errors of the port
// never leave an operation: they go to the application's error display.
//
// Construction builds the step tables of the parameter read, the counters, flow and
// input-status reads and the parameter write, which the session's runner runs. Every step reads the
// address selector, the model and the check boxes at the moment it runs, so a change made while
// a sequence runs affects its later steps.
//
// The reads fill the session's reading, and the window's tables and labels from it; the write
// fills lastWrite().
class DeviceOperations {
public:
    using Clock = std::function<QDateTime()>;

    // clock gives the PC's local date and time; the PC's own clock when left empty.
    explicit DeviceOperations(DeviceSession &session, Clock clock = {});
    DeviceOperations(const DeviceOperations &) = delete;
    DeviceOperations &operator=(const DeviceOperations &) = delete;

    // All parameters of the selected logger into Grid_data, then into its store slot.
    CommandStart readParameters();
    // The groups whose check boxes are ticked, from Grid_data.
    CommandStart writeParameters();
    // Counters and battery.
    CommandStart readCounters();
    CommandStart readFlow();
    // Raw state of the inputs.
    CommandStart readInputStatus();
    // The PC's date and time to the logger's clock. Needs the port only, not a model; the reply
    // is not evaluated.
    CommandStart setClock();
    // The PC clock on status-bar panel 2, in the session's locale.
    void showPcClock();

    // The selector moved to newAddress: the table goes back to the slot it came from and comes
    // out of the new one, with the new slot's model and layout. Addresses outside 1..250 are
    // ignored.
    void selectAddress(int newAddress);

    // A logger found elsewhere (a bus scan) is of this model: the address's slot takes it and,
    // when that address is selected, the model is put in force as an identification would.
    // Select the address afterwards, so the selector's change finds the model in the slot.
    void adoptModel(int address, const QString &model);

    // The device part of the window's creation: every slot empty, no model, no register counts,
    // the table belonging to the selector's address.
    void resetForStartup();

    // The last parameter write, complete once the runner has ended it.
    const WriteResult &lastWrite() const { return m_lastWrite; }

    // Twelve blanks, the time in the locale's long format, ",   ", the date in its short format.
    static QString statusClockText(const QDateTime &now, const QLocale &locale);

private:
    void buildReadCommand();
    void buildMeasureCommands();
    void buildWriteCommand();
    CommandStart startWithModel(const RequestRunner::Command &command);
    void refuseWriteRow(int step, const QString &what, const QString &reason);

    DeviceSession &m_session;
    Clock m_clock;
    RequestRunner::Command m_read;
    RequestRunner::Command m_counters;
    RequestRunner::Command m_flow;
    RequestRunner::Command m_inputStatus;
    RequestRunner::Command m_write;
    WriteResult m_lastWrite;
};

} // namespace corvane
