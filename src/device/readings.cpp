#include "readings.h"

#include "register_map.h"
#include "request_runner.h"
#include "value_encoding.h"

namespace corvane {
namespace {

QString twoDigits(int value) {
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

// The counters table's tariff rows, 3..6.
constexpr int kTariffPulseRows = kRowTariff4Pulses - kRowTariff1Pulses + 1;
static_assert(kTariffPulseRows == kTariffs);

} // namespace

QString LoggerClock::timeText() const {
    return twoDigits(hour) + QLatin1Char(':') + twoDigits(minute);
}

QString LoggerClock::dateText() const {
    return twoDigits(day) + QLatin1Char('.') + twoDigits(month) + QLatin1Char('.') +
           QString::number(year);
}

QString PulseSettings::lengthText() const {
    return QString::number(lengthMs) + QStringLiteral(" ms");
}

QString PulseSettings::languageName() const {
    if (languageCode == kLanguageBulgarian)
        return QStringLiteral("Bulgarian");
    if (languageCode == kLanguageEnglish)
        return QStringLiteral("English");
    return QStringLiteral("Unknown");
}

void DeviceReading::record(const StepOutcome &outcome) {
    if (!outcome.verdict.accepted())
        failures.push_back({outcome.step, outcome.verdict, outcome.sendFailed});
}

std::optional<QString> DeviceReading::failureReason() const {
    if (problem)
        return problem;
    if (failures.empty())
        return std::nullopt;
    const StepFailure &first = failures.front();
    if (first.sendFailed)
        return QStringLiteral("the request could not be sent");
    return verdictReason(first.verdict);
}

std::optional<double> DeviceReading::batteryVolts() const {
    if (!batteryByte)
        return std::nullopt;
    return QLocale::c().toDouble(formatBatteryLevel(*batteryByte, QLocale::c()));
}

std::optional<QString> parameterText(const InputReading &input, int row, const QLocale &locale) {
    const auto number = [](const std::optional<int> &value) -> std::optional<QString> {
        if (!value)
            return std::nullopt;
        return QString::number(*value);
    };
    const auto tenths =
        [&locale](const std::optional<std::int32_t> &value) -> std::optional<QString> {
        if (!value)
            return std::nullopt;
        return formatTenths(*value, locale);
    };
    switch (row) {
    case kRowUnit:
        return input.unit;
    case kRowPulseConstant:
        return number(input.pulseConstant);
    case kRowUserNumber:
        return number(input.userNumber);
    case kRowFreeText:
        return input.freeText;
    case kRowInitialValue:
        return tenths(input.initialValueTenths);
    default:
        break;
    }
    if (isTariffRow(row)) {
        const auto &tariff = input.tariffs[std::size_t((row - kRowTariff1Start) / 2)];
        if (!tariff)
            return std::nullopt;
        return QString::number(isTariffStartRow(row) ? tariff->startHour : tariff->duration);
    }
    if (row >= kRowTariff1InitialValue && row <= kRowTariff4InitialValue)
        return tenths(input.tariffInitialValueTenths[std::size_t(row - kRowTariff1InitialValue)]);
    return std::nullopt;
}

std::optional<QString> counterText(const InputReading &input, int row, const QLocale &locale) {
    if (row == kRowTotalConsumption) {
        if (!input.consumptionTenths)
            return std::nullopt;
        return formatTenths(*input.consumptionTenths, locale) + QLatin1Char(' ') +
               input.consumptionUnit;
    }
    std::optional<std::int32_t> count;
    if (row == kRowTotalPulses)
        count = input.totalPulses;
    else if (row >= kRowTariff1Pulses && row <= kRowTariff4Pulses)
        count = input.tariffPulses[std::size_t(row - kRowTariff1Pulses)];
    if (!count)
        return std::nullopt;
    return QString::number(*count);
}

std::optional<QString> flowText(const InputReading &input, const QLocale &locale) {
    if (!input.flowTenths)
        return std::nullopt;
    return formatTenths(*input.flowTenths, locale) + QStringLiteral(" l/s");
}

} // namespace corvane
