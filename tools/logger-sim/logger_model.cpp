#include "logger_model.h"

#include <algorithm>
#include <cmath>

namespace corvane {
namespace {

constexpr int kFirstYear = 2000;
constexpr std::int64_t kMicroPerPulse = 1'000'000;

std::uint16_t high16(std::int64_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) >> 16);
}
std::uint16_t low16(std::int64_t value) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(value) & 0xFFFF);
}

// Day, month and year packed as in register 0x8012, or nothing for an impossible date.
std::optional<QDate> unpackDate(std::uint16_t reg) {
    const int year = kFirstYear + (((reg >> 12) & 0x0F) << 3) + ((reg >> 5) & 0x07);
    const int month = (reg >> 8) & 0x0F;
    const int day = reg & 0x1F;
    const QDate date(year, month, day);
    if (!date.isValid())
        return std::nullopt;
    return date;
}

std::optional<QTime> unpackTime(std::uint16_t reg) {
    const QTime time(reg >> 8, reg & 0xFF);
    if (!time.isValid())
        return std::nullopt;
    return time;
}

QDateTime plainDateTime(const QDate &date, const QTime &time) {
    return QDateTime(date, time, Qt::UTC);
}

} // namespace

QString modelName(Model model) {
    switch (model) {
    case Model::Qtr4d:
        return QStringLiteral("QTR-4D");
    case Model::Qtr6d:
        return QStringLiteral("QTR-6D");
    case Model::Qtr8d:
        break;
    }
    return QStringLiteral("QTR-8D");
}

std::optional<Model> modelFromName(const QString &name) {
    for (Model model : {Model::Qtr4d, Model::Qtr6d, Model::Qtr8d}) {
        if (name.compare(modelName(model), Qt::CaseInsensitive) == 0)
            return model;
    }
    return std::nullopt;
}

int inputCountOf(Model model) {
    switch (model) {
    case Model::Qtr4d:
        return 4;
    case Model::Qtr6d:
        return 6;
    case Model::Qtr8d:
        break;
    }
    return 8;
}

std::optional<Model> modelWithInputs(int inputCount) {
    switch (inputCount) {
    case 4:
        return Model::Qtr4d;
    case 6:
        return Model::Qtr6d;
    case 8:
        return Model::Qtr8d;
    default:
        return std::nullopt;
    }
}

int speedCodeOf(int baud) {
    for (std::size_t code = 0; code < kLineSpeeds.size(); ++code) {
        if (kLineSpeeds[code] == baud)
            return static_cast<int>(code);
    }
    return kNoLineCode;
}

QString lineSettingsText(const LineSettings &settings) {
    static const char *const parities[] = {"even", "odd", "none"};
    const QString speed = settings.speedCode >= 0 && settings.speedCode < int(kLineSpeeds.size())
                              ? QString::number(kLineSpeeds[settings.speedCode])
                              : QStringLiteral("?");
    const QString parity = settings.parityCode >= 0 && settings.parityCode <= 2
                               ? QString::fromLatin1(parities[settings.parityCode])
                               : QStringLiteral("?");
    return speed + u' ' + parity;
}

LoggerModel::LoggerModel(Model model, int address, const QDateTime &clock)
    : m_model(model), m_address(address), m_inputsDisplayed(inputCountOf(model)) {
    setClock(clock.isValid() ? clock : plainDateTime(QDate(2026, 1, 1), QTime(0, 0)));
    for (int i = 0; i < kLoggerInputSlots; ++i) {
        m_units[i] = 1;
        m_constants[i] = 100;
        m_userNumbers[i] = static_cast<std::uint16_t>(i + 1);
        m_records[i] = QByteArray(kRecordBytes, '\0');
        setFreeText(i + 1, QByteArray("Input ") + QByteArray::number(i + 1));
    }
    // A day tariff and a night tariff, so that tariff counters move in a fresh simulation.
    for (int input = 1; input <= kLoggerInputSlots; ++input) {
        setTariff(input, 1, 6, 16);
        setTariff(input, 2, 22, 8);
    }
}

void LoggerModel::setClock(const QDateTime &clock) {
    m_clock = plainDateTime(clock.date(), clock.time());
}

std::uint16_t LoggerModel::dateRegister() const {
    const QDate date = m_clock.date();
    const int year = (date.year() - kFirstYear) & 0x7F;
    return static_cast<std::uint16_t>(((year >> 3) << 12) | (date.month() << 8) |
                                      ((year & 0x07) << 5) | date.day());
}

std::uint16_t LoggerModel::timeRegister() const {
    const QTime time = m_clock.time();
    return static_cast<std::uint16_t>((time.hour() << 8) | time.minute());
}

std::optional<std::uint16_t> LoggerModel::holdingRegister(int reg) const {
    using namespace HoldingRegister;
    if (reg >= Units && reg < Units + kLoggerInputSlots)
        return m_units[reg - Units];
    if (reg >= PulseConstants && reg < PulseConstants + kLoggerInputSlots)
        return m_constants[reg - PulseConstants];
    if (reg == PulseLengthLanguage)
        return static_cast<std::uint16_t>((m_pulseLengthCode << 8) | m_language);
    if (reg == BusAddress)
        return static_cast<std::uint16_t>(m_address);
    if (reg == Date)
        return dateRegister();
    if (reg == Time)
        return timeRegister();
    if (reg == InputsDisplayed)
        return static_cast<std::uint16_t>(m_inputsDisplayed);
    if (reg >= Tariffs && reg < Tariffs + kTariffCount * kLoggerInputSlots) {
        const int offset = reg - Tariffs;
        return m_tariffs[offset / kLoggerInputSlots][offset % kLoggerInputSlots];
    }
    if (reg >= UserNumbers && reg < UserNumbers + kLoggerInputSlots)
        return m_userNumbers[reg - UserNumbers];
    if (reg >= InitialValues && reg < InitialValues + 2 * kLoggerInputSlots) {
        const int offset = reg - InitialValues;
        const std::int32_t value = m_initial[offset / 2];
        return offset % 2 == 0 ? high16(value) : low16(value);
    }
    if (reg >= TariffInitialValues && reg < End) {
        const int offset = reg - TariffInitialValues;
        const std::int32_t value = m_tariffInitial[offset / 16][(offset % 16) / 2];
        return offset % 2 == 0 ? high16(value) : low16(value);
    }
    return std::nullopt;
}

int LoggerModel::checkHoldingWrite(int start, const QList<std::uint16_t> &values) const {
    for (int i = 0; i < values.size(); ++i) {
        if (!holdingRegister(start + i))
            return 2;
    }
    for (int i = 0; i < values.size(); ++i) {
        const std::uint16_t value = values[i];
        switch (start + i) {
        case HoldingRegister::BusAddress:
            if (value < 1 || value > kHighestBusAddress)
                return 3;
            break;
        case HoldingRegister::InputsDisplayed:
            if (value < 1 || value > kLoggerInputSlots)
                return 3;
            break;
        case HoldingRegister::Date:
            if (!unpackDate(value))
                return 3;
            break;
        case HoldingRegister::Time:
            if (!unpackTime(value))
                return 3;
            break;
        default:
            break;
        }
    }
    return 0;
}

void LoggerModel::writeHalf(std::int32_t &value, bool high, std::uint16_t half, int input) {
    auto bits = static_cast<std::uint32_t>(value);
    bits = high ? (bits & 0x0000FFFFu) | (std::uint32_t(half) << 16) : (bits & 0xFFFF0000u) | half;
    value = static_cast<std::int32_t>(bits);
    if (input > 0)
        m_counters[input - 1].baseline = m_counters[input - 1].total;
}

void LoggerModel::writeHoldingRegisters(int start, const QList<std::uint16_t> &values) {
    using namespace HoldingRegister;
    std::optional<QDate> newDate;
    std::optional<QTime> newTime;
    for (int i = 0; i < values.size(); ++i) {
        const int reg = start + i;
        const std::uint16_t value = values[i];
        if (reg >= Units && reg < Units + kLoggerInputSlots) {
            m_units[reg - Units] = value;
        } else if (reg >= PulseConstants && reg < PulseConstants + kLoggerInputSlots) {
            m_constants[reg - PulseConstants] = value;
        } else if (reg == PulseLengthLanguage) {
            // Taken as written: a pulse-length write with a low byte of 0 selects Bulgarian.
            m_pulseLengthCode = value >> 8;
            m_language = value & 0xFF;
        } else if (reg == BusAddress) {
            m_address = value;
        } else if (reg == Date) {
            newDate = unpackDate(value);
        } else if (reg == Time) {
            newTime = unpackTime(value);
        } else if (reg == InputsDisplayed) {
            m_inputsDisplayed = value;
        } else if (reg >= Tariffs && reg < Tariffs + kTariffCount * kLoggerInputSlots) {
            const int offset = reg - Tariffs;
            m_tariffs[offset / kLoggerInputSlots][offset % kLoggerInputSlots] = value;
        } else if (reg >= UserNumbers && reg < UserNumbers + kLoggerInputSlots) {
            m_userNumbers[reg - UserNumbers] = value;
        } else if (reg >= InitialValues && reg < InitialValues + 2 * kLoggerInputSlots) {
            const int offset = reg - InitialValues;
            writeHalf(m_initial[offset / 2], offset % 2 == 0, value, offset / 2 + 1);
        } else if (reg >= TariffInitialValues && reg < End) {
            const int offset = reg - TariffInitialValues;
            writeHalf(m_tariffInitial[offset / 16][(offset % 16) / 2], offset % 2 == 0, value, 0);
        }
    }
    if (newDate || newTime) {
        const QDate date = newDate.value_or(m_clock.date());
        const QTime time = newTime ? *newTime : m_clock.time();
        m_clock = plainDateTime(date, time);
    }
}

std::optional<std::uint16_t> LoggerModel::inputRegister(int reg) const {
    using namespace InputRegister;
    auto half = [reg](std::int64_t value, int base) {
        return (reg - base) % 2 == 0 ? high16(value) : low16(value);
    };
    if (reg >= TotalPulses && reg < TotalPulses + 2 * kLoggerInputSlots)
        return half(m_counters[(reg - TotalPulses) / 2].total, TotalPulses);
    if (reg >= TariffPulses && reg < TariffPulses + kTariffCount * 2 * kLoggerInputSlots) {
        const int offset = reg - TariffPulses;
        return half(m_counters[(offset % 16) / 2].tariff[offset / 16], TariffPulses);
    }
    if (reg >= Consumption && reg < Consumption + 2 * kLoggerInputSlots)
        return half(consumption((reg - Consumption) / 2 + 1), Consumption);
    if (reg >= Flow && reg < Flow + 2 * kLoggerInputSlots)
        return half(flow((reg - Flow) / 2 + 1), Flow);
    if (reg == Battery)
        return static_cast<std::uint16_t>(m_batteryByte);
    if (reg == Battery + 1)
        return 0;
    if (reg == InputStatus)
        return static_cast<std::uint16_t>(inputStatus());
    if (reg > InputStatus && reg < InputStatus + kLoggerInputSlots)
        return 0;
    return std::nullopt;
}

std::uint16_t LoggerModel::unit(int input) const {
    return validInput(input) ? m_units[input - 1] : 0;
}
void LoggerModel::setUnit(int input, std::uint16_t code) {
    if (validInput(input))
        m_units[input - 1] = code;
}
std::uint16_t LoggerModel::pulseConstant(int input) const {
    return validInput(input) ? m_constants[input - 1] : 0;
}
void LoggerModel::setPulseConstant(int input, std::uint16_t constant) {
    if (validInput(input))
        m_constants[input - 1] = constant;
}
std::uint16_t LoggerModel::userNumber(int input) const {
    return validInput(input) ? m_userNumbers[input - 1] : 0;
}
void LoggerModel::setUserNumber(int input, std::uint16_t number) {
    if (validInput(input))
        m_userNumbers[input - 1] = number;
}
int LoggerModel::tariffStartHour(int input, int tariff) const {
    return validInput(input) && validTariff(tariff) ? m_tariffs[tariff - 1][input - 1] >> 8 : 0;
}
int LoggerModel::tariffDuration(int input, int tariff) const {
    return validInput(input) && validTariff(tariff) ? m_tariffs[tariff - 1][input - 1] & 0xFF : 0;
}
void LoggerModel::setTariff(int input, int tariff, int startHour, int durationHours) {
    if (validInput(input) && validTariff(tariff))
        m_tariffs[tariff - 1][input - 1] =
            static_cast<std::uint16_t>(((startHour & 0xFF) << 8) | (durationHours & 0xFF));
}
std::int32_t LoggerModel::initialValue(int input) const {
    return validInput(input) ? m_initial[input - 1] : 0;
}
void LoggerModel::setInitialValue(int input, std::int32_t tenths) {
    if (!validInput(input))
        return;
    m_initial[input - 1] = tenths;
    m_counters[input - 1].baseline = m_counters[input - 1].total;
}
std::int32_t LoggerModel::tariffInitialValue(int input, int tariff) const {
    return validInput(input) && validTariff(tariff) ? m_tariffInitial[tariff - 1][input - 1] : 0;
}
void LoggerModel::setTariffInitialValue(int input, int tariff, std::int32_t tenths) {
    if (validInput(input) && validTariff(tariff))
        m_tariffInitial[tariff - 1][input - 1] = tenths;
}

double LoggerModel::pulseRate(int input) const {
    return validInput(input) ? static_cast<double>(m_counters[input - 1].rateMilli) / 1000.0 : 0;
}
void LoggerModel::setPulseRate(int input, double pulsesPerSecond) {
    if (validInput(input) && std::isfinite(pulsesPerSecond))
        m_counters[input - 1].rateMilli =
            std::max<std::int64_t>(0, std::llround(std::min(pulsesPerSecond, 1e9) * 1000.0));
}
std::int64_t LoggerModel::totalPulses(int input) const {
    return validInput(input) ? m_counters[input - 1].total : 0;
}
void LoggerModel::setTotalPulses(int input, std::int64_t pulses) {
    if (validInput(input))
        m_counters[input - 1].total = pulses;
}
std::int64_t LoggerModel::tariffPulses(int input, int tariff) const {
    return validInput(input) && validTariff(tariff) ? m_counters[input - 1].tariff[tariff - 1] : 0;
}
void LoggerModel::setTariffPulses(int input, int tariff, std::int64_t pulses) {
    if (validInput(input) && validTariff(tariff))
        m_counters[input - 1].tariff[tariff - 1] = pulses;
}

std::int32_t LoggerModel::consumption(int input) const {
    if (!validInput(input))
        return 0;
    const Counter &counter = m_counters[input - 1];
    std::int64_t tenths = m_initial[input - 1];
    if (const std::uint16_t constant = m_constants[input - 1]; constant != 0)
        tenths += (counter.total - counter.baseline) * 10 / constant;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(tenths));
}

std::int32_t LoggerModel::flow(int input) const {
    if (!validInput(input) || m_constants[input - 1] == 0)
        return 0;
    // Tenths of a unit per second from thousandths of a pulse per second.
    double tenths =
        static_cast<double>(m_counters[input - 1].rateMilli) / 100.0 / m_constants[input - 1];
    if (m_units[input - 1] == 1)
        tenths *= 1000.0;
    tenths = std::clamp(tenths, double(INT32_MIN), double(INT32_MAX));
    return static_cast<std::int32_t>(std::llround(tenths));
}

bool LoggerModel::tariffOpen(int input, int tariff, int hour) const {
    const int start = tariffStartHour(input, tariff);
    const int duration = tariffDuration(input, tariff);
    if (duration == 0 || start > 23)
        return false;
    if (duration >= 24)
        return true;
    return (hour - start + 24) % 24 < duration;
}

void LoggerModel::advance(std::chrono::milliseconds elapsed) {
    std::int64_t left = elapsed.count();
    while (left > 0) {
        // Tariff windows change only on the hour, so count up to the next hour at a time.
        const QTime now = m_clock.time();
        const QDateTime hourStart = plainDateTime(m_clock.date(), QTime(now.hour(), 0));
        const std::int64_t toNextHour = m_clock.msecsTo(hourStart.addSecs(3600));
        const std::int64_t step = std::min(left, std::max<std::int64_t>(toNextHour, 1));
        for (int i = 0; i < kLoggerInputSlots; ++i) {
            Counter &counter = m_counters[i];
            counter.phase += counter.rateMilli * step;
            const std::int64_t pulses = counter.phase / kMicroPerPulse;
            counter.phase %= kMicroPerPulse;
            if (pulses == 0)
                continue;
            counter.total += pulses;
            for (int t = 1; t <= kTariffCount; ++t) {
                if (tariffOpen(i + 1, t, now.hour()))
                    counter.tariff[t - 1] += pulses;
            }
        }
        m_clock = m_clock.addMSecs(step);
        left -= step;
    }
}

int LoggerModel::inputStatus() const {
    if (m_statusOverride)
        return *m_statusOverride & 0xFF;
    const std::int64_t pulseMs = std::int64_t(m_pulseLengthCode) * 5;
    int status = 0;
    for (int i = 0; i < inputCount(); ++i) {
        const Counter &counter = m_counters[i];
        const bool high = counter.rateMilli > 0 && counter.phase < counter.rateMilli * pulseMs;
        if (high != (m_polarity != 0))
            status |= 1 << i;
    }
    return status;
}

QByteArray LoggerModel::record(int index) const {
    if (index < 0 || index >= kLoggerInputSlots)
        return {};
    return m_records[index];
}

void LoggerModel::setRecord(int index, const QByteArray &bytes) {
    if (index < 0 || index >= kLoggerInputSlots)
        return;
    QByteArray stored = bytes.left(kRecordBytes);
    stored.append(QByteArray(kRecordBytes - stored.size(), '\0'));
    m_records[index] = stored;
}

QByteArray LoggerModel::freeText(int input) const {
    if (!validInput(input))
        return {};
    const QByteArray &bytes = m_records[input - 1];
    const qsizetype end = bytes.indexOf('\0');
    return end < 0 ? bytes : bytes.left(end);
}

void LoggerModel::setFreeText(int input, const QByteArray &text) {
    setRecord(input - 1, text);
}

} // namespace corvane
