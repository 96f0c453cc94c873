#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace corvane {

enum class Model { Qtr4d, Qtr6d, Qtr8d };

QString modelName(Model model);
std::optional<Model> modelFromName(const QString &name);
int inputCountOf(Model model);
std::optional<Model> modelWithInputs(int inputCount);

inline constexpr int kLoggerInputSlots = 8;
inline constexpr int kTariffCount = 4;
inline constexpr int kRecordBytes = 12;
inline constexpr int kHighestBusAddress = 250;

namespace HoldingRegister {
inline constexpr int Units = 0x8000;
inline constexpr int PulseConstants = 0x8008;
inline constexpr int PulseLengthLanguage = 0x8010;
inline constexpr int BusAddress = 0x8011;
inline constexpr int Date = 0x8012;
inline constexpr int Time = 0x8013;
inline constexpr int InputsDisplayed = 0x8015;
inline constexpr int Tariffs = 0x8016;
inline constexpr int UserNumbers = 0x8036;
inline constexpr int InitialValues = 0x803E;
inline constexpr int TariffInitialValues = 0x804E;
inline constexpr int End = 0x808E;
} // namespace HoldingRegister

namespace InputRegister {
inline constexpr int TotalPulses = 0x0000;
inline constexpr int TariffPulses = 0x0010;
inline constexpr int Consumption = 0x0050;
inline constexpr int Flow = 0x0060;
inline constexpr int Battery = 999;
inline constexpr int InputStatus = 2000;
} // namespace InputRegister

// The logger's own codes for its line settings (function 0x47, sub-code 1). A line whose
// settings a logger cannot have (mark or space parity, another speed) is described with
// kNoLineCode there, which equals no logger's code.
struct LineSettings {
    int parityCode = 2; // 0 even, 1 odd, 2 none
    // 0 300, 1 1200, 2 2400, 3 4800, 4 9600, 5 19200, 6 38400; 7 115200, which no logger can
    // be set to, for measuring a fast line
    int speedCode = 4;
    friend bool operator==(const LineSettings &, const LineSettings &) = default;
};

inline constexpr int kNoLineCode = -1;
// Bits per second, by speed code.
inline constexpr std::array<int, 8> kLineSpeeds = {300,  1200,  2400,  4800,
                                                   9600, 19200, 38400, 115200};

// The speed code of a rate in bits per second; kNoLineCode for a rate no logger runs at.
int speedCodeOf(int baud);
// "19200 even", "9600 none"; "?" for a code no logger has.
QString lineSettingsText(const LineSettings &settings);

// Everything one simulated logger knows and counts. Inputs are numbered 1 to 8 and tariffs 1
// to 4, as on the device's labels; every block keeps eight slots whatever the model, as the
// register map does. Calls with an input or tariff out of range are ignored (setters) or give 0.
//
// Counting: input k advances at its pulse rate while time passes (advance()). Tariff t counts
// the same pulses while the hour of the logger's own clock lies in its window [start hour,
// start hour + duration), wrapping over midnight; a duration of 0 or a start hour above 23
// closes the window, a duration of 24 or more keeps it open all day.
//
// Consumption, in tenths of the input's unit, is the initial value plus ten times the pulses
// counted since the initial value was last written, divided by the pulse constant (pulses per
// unit). Writing the initial value therefore sets the meter reading, as on the device.
// Flow, in tenths of a litre per second, is the pulse rate divided by the pulse constant, times
// 1000 for inputs counting m3 (unit 1) and unscaled for other units. A pulse constant of 0
// counts pulses but adds no consumption and shows no flow.
class LoggerModel {
public:
    explicit LoggerModel(Model model = Model::Qtr8d, int address = 1,
                         const QDateTime &clock = QDateTime());

    Model model() const { return m_model; }
    void setModel(Model model) { m_model = model; }
    int inputCount() const { return inputCountOf(m_model); }
    int address() const { return m_address; }
    void setAddress(int address) { m_address = address; }

    // Register access as the bus sees it: nullopt for a register the logger does not have.
    std::optional<std::uint16_t> holdingRegister(int reg) const;
    std::optional<std::uint16_t> inputRegister(int reg) const;
    // 0 when the whole block may be written, otherwise the Modbus exception code: 2 when a
    // register is missing, 3 when a value is refused (bus address outside 1..250, inputs shown
    // outside 1..8, an impossible date or time). Nothing is stored by the check.
    int checkHoldingWrite(int start, const QList<std::uint16_t> &values) const;
    // Stores a block that checkHoldingWrite accepted; date and time written together set the
    // clock once, with the seconds at zero.
    void writeHoldingRegisters(int start, const QList<std::uint16_t> &values);

    std::uint16_t unit(int input) const;
    void setUnit(int input, std::uint16_t code);
    std::uint16_t pulseConstant(int input) const;
    void setPulseConstant(int input, std::uint16_t constant);
    std::uint16_t userNumber(int input) const;
    void setUserNumber(int input, std::uint16_t number);
    int tariffStartHour(int input, int tariff) const;
    int tariffDuration(int input, int tariff) const;
    void setTariff(int input, int tariff, int startHour, int durationHours);
    std::int32_t initialValue(int input) const;
    void setInitialValue(int input, std::int32_t tenths);
    std::int32_t tariffInitialValue(int input, int tariff) const;
    void setTariffInitialValue(int input, int tariff, std::int32_t tenths);
    int pulseLengthCode() const { return m_pulseLengthCode; }
    void setPulseLengthCode(int code) { m_pulseLengthCode = code & 0xFF; }
    int language() const { return m_language; }
    void setLanguage(int language) { m_language = language & 0xFF; }
    int inputsDisplayed() const { return m_inputsDisplayed; }
    void setInputsDisplayed(int count) { m_inputsDisplayed = count; }

    // The logger's clock: a plain date and time (kept as UTC so that it never meets daylight
    // saving). Years 2000 to 2127 can be represented in the date register.
    QDateTime clock() const { return m_clock; }
    void setClock(const QDateTime &clock);
    std::uint16_t dateRegister() const;
    std::uint16_t timeRegister() const;

    double pulseRate(int input) const;
    void setPulseRate(int input, double pulsesPerSecond);
    std::int64_t totalPulses(int input) const;
    void setTotalPulses(int input, std::int64_t pulses);
    std::int64_t tariffPulses(int input, int tariff) const;
    void setTariffPulses(int input, int tariff, std::int64_t pulses);
    std::int32_t consumption(int input) const;
    std::int32_t flow(int input) const;
    // Moves the clock on and counts the pulses of that time.
    void advance(std::chrono::milliseconds elapsed);

    // Reported as the low byte of register 999; the level shown is byte / 51.
    int batteryByte() const { return m_batteryByte; }
    void setBatteryByte(int value) { m_batteryByte = value & 0xFF; }
    // One bit per input, input 1 in bit 0: high while a pulse lasts (pulse length), inverted
    // for negative polarity. An override pins the value for tests and training.
    int inputStatus() const;
    void setInputStatusOverride(std::optional<int> status) { m_statusOverride = status; }

    // File 10: record k - 1 holds the free text of input k, 12 bytes.
    int recordCount() const { return inputCount(); }
    QByteArray record(int index) const;
    // Replaces the record: the bytes given, then zeros up to its length.
    void setRecord(int index, const QByteArray &bytes);
    // The record's text up to its first 0x00.
    QByteArray freeText(int input) const;
    void setFreeText(int input, const QByteArray &text);

    // Eight decimal digits, sent as packed BCD.
    QString deviceId() const { return m_deviceId; }
    void setDeviceId(const QString &digits) { m_deviceId = digits; }
    LineSettings lineSettings() const { return m_lineSettings; }
    void setLineSettings(const LineSettings &settings) { m_lineSettings = settings; }
    QByteArray menuCode() const { return m_menuCode; }
    void setMenuCode(const QByteArray &code) { m_menuCode = code; }
    bool isLocked() const { return m_locked; }
    void setLocked(bool locked) { m_locked = locked; }
    // 0 positive, 1 negative.
    int polarity() const { return m_polarity; }
    void setPolarity(int polarity) { m_polarity = polarity; }

private:
    struct Counter {
        std::int64_t total = 0;
        std::array<std::int64_t, kTariffCount> tariff{};
        std::int64_t baseline = 0;  // total when the initial value was last written
        std::int64_t phase = 0;     // millionths of a pulse since the last whole pulse
        std::int64_t rateMilli = 0; // thousandths of a pulse per second
    };

    static bool validInput(int input) { return input >= 1 && input <= kLoggerInputSlots; }
    static bool validTariff(int tariff) { return tariff >= 1 && tariff <= kTariffCount; }
    bool tariffOpen(int input, int tariff, int hour) const;
    void writeHalf(std::int32_t &value, bool high, std::uint16_t half, int input);

    Model m_model;
    int m_address;
    std::array<std::uint16_t, kLoggerInputSlots> m_units{};
    std::array<std::uint16_t, kLoggerInputSlots> m_constants{};
    std::array<std::uint16_t, kLoggerInputSlots> m_userNumbers{};
    std::array<std::array<std::uint16_t, kLoggerInputSlots>, kTariffCount> m_tariffs{};
    std::array<std::int32_t, kLoggerInputSlots> m_initial{};
    std::array<std::array<std::int32_t, kLoggerInputSlots>, kTariffCount> m_tariffInitial{};
    int m_pulseLengthCode = 2;
    int m_language = 1;
    int m_inputsDisplayed = 8;
    QDateTime m_clock;
    std::array<Counter, kLoggerInputSlots> m_counters{};
    int m_batteryByte = 184;
    std::optional<int> m_statusOverride;
    std::array<QByteArray, kLoggerInputSlots> m_records;
    QString m_deviceId = QStringLiteral("12345678");
    LineSettings m_lineSettings;
    QByteArray m_menuCode = QByteArrayLiteral("1234");
    bool m_locked = false;
    int m_polarity = 0;
};

} // namespace corvane
