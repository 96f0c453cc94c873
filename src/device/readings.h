#pragma once

#include "reply_verdict.h"
#include "table_rows.h"

#include <QDateTime>
#include <QLocale>
#include <QString>

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane {

struct StepOutcome;

inline constexpr int kTariffs = 4;

// A step of a command that gave no value, and why.
struct StepFailure {
    int step = 0;
    ReplyVerdict verdict;
    // The request never left whole; the error display has the reason.
    bool sendFailed = false;
};

struct TariffWindow {
    int startHour = 0;
    int duration = 0;
    friend bool operator==(const TariffWindow &, const TariffWindow &) = default;
};

// The logger's clock as it answered.
struct LoggerClock {
    int hour = 0;
    int minute = 0;
    int day = 0;
    int month = 0;
    int year = 0;
    // "hh:mm" and "dd.mm.yyyy", as the window shows them.
    QString timeText() const;
    QString dateText() const;
};

struct PulseSettings {
    int lengthMs = 0;
    int languageCode = 0;
    // "<n> ms", and "Bulgarian", "English" or "Unknown".
    QString lengthText() const;
    QString languageName() const;
};

// One input's values as a command read them. What the command does not read, and what its
// logger did not answer, stays empty.
struct InputReading {
    // The parameter read.
    std::optional<QString> unit;
    std::optional<int> pulseConstant;
    std::optional<int> userNumber;
    std::optional<QString> freeText;
    std::optional<std::int32_t> initialValueTenths;
    std::array<std::optional<TariffWindow>, kTariffs> tariffs;
    std::array<std::optional<std::int32_t>, kTariffs> tariffInitialValueTenths;
    // The counters and flow reads. The consumption is in the unit of the parameter table's unit
    // row as it stood when the value came.
    std::optional<std::int32_t> consumptionTenths;
    QString consumptionUnit;
    std::optional<std::int32_t> totalPulses;
    std::array<std::optional<std::int32_t>, kTariffs> tariffPulses;
    std::optional<std::int32_t> flowTenths; // litres per second
};

// What one command read from the logger at one address: the values as numbers and texts, and
// for each step that failed the reason. Decoders write into it as replies are accepted; the
// window's tables and labels, the command line and the monitor take their values from it.
struct DeviceReading {
    enum class Kind {
        None,
        Parameters,
        Counters,
        Flow,
        InputStatus,
        Identification,
        DeviceInfo,
        MenuCode,
        // One address of a monitor cycle: counters, battery and flow.
        Monitor
    };

    Kind kind = Kind::None;
    int address = 0;
    // The model in force when the command started; an identification's is the one recognised.
    QString model;
    // When the command started, on the PC's clock.
    QDateTime time;
    // Up to eight values a block, whatever the model: a logger may send more than it has inputs.
    std::array<InputReading, kMaxInputs> inputs;
    std::optional<LoggerClock> clock;
    std::optional<int> batteryByte;
    std::optional<int> inputStatus;
    std::optional<QString> identification;
    std::optional<QString> menuCode;
    std::optional<PulseSettings> pulseSettings;
    std::vector<StepFailure> failures;
    // A failure of no single step, such as a model that could not be learnt.
    std::optional<QString> problem;
    // The command ended before its last step: the operator's Stop, or the port closed.
    bool stopped = false;

    // Notes a step's outcome: a verdict other than Accepted is a failure of its step.
    void record(const StepOutcome &outcome);
    // The reason of the first failed step, in a script's words, or nothing when every step that
    // went out was answered.
    std::optional<QString> failureReason() const;
    // The battery level in volts.
    std::optional<double> batteryVolts() const;
};

// The texts the tables show for a value of a reading, or nothing where the reading has none.
// Rows are the tables' own: the parameter table's 1..17 (a tariff's start row gives its start
// hour, the row after it its duration), the counters table's 1..6.
std::optional<QString> parameterText(const InputReading &input, int row, const QLocale &locale);
std::optional<QString> counterText(const InputReading &input, int row, const QLocale &locale);
std::optional<QString> flowText(const InputReading &input, const QLocale &locale);

} // namespace corvane
