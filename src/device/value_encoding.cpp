#include "value_encoding.h"

#include "register_map.h"

#include <cstdlib>
#include <stdexcept>

namespace corvane {
namespace {

constexpr int kTenthsPerUnit = 10;
constexpr int kBatteryFullScale = 51;
constexpr int kHundredths = 100;
constexpr int kYearHighShift = 3; // year bits 6..3 go to the top nibble
constexpr int kYearLowMask = 0x07;
constexpr int kNibbleMask = 0x0F;
constexpr int kDayMask = 0x1F;

struct UnitName {
    int code;
    const char *text;
};

constexpr UnitName kUnitNames[] = {
    {kUnitNone, "N/A"},
    {kUnitCubicMetre, "m3"},
    {kUnitKilowattHour, "kWh"},
    {kUnitKilojoule, "kJ"},
};
constexpr const char *kUnknownUnit = "Unknown";
// Older work files may hold the shorter text for unit code 3; it is written back as code 3.
constexpr const char *kShortKilojouleText = "J";

} // namespace

int strictToInt(const QString &text) {
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    if (!ok)
        throw std::invalid_argument(
            QStringLiteral("'%1' is not a valid integer value").arg(text).toStdString());
    return value;
}

QString unitText(int code) {
    for (const UnitName &unit : kUnitNames) {
        if (unit.code == code)
            return QString::fromLatin1(unit.text);
    }
    return QString::fromLatin1(kUnknownUnit);
}

int unitCode(const QString &text) {
    if (text == QLatin1String(kShortKilojouleText))
        return kUnitKilojoule;
    for (const UnitName &unit : kUnitNames) {
        if (unit.code != kUnitNone && text == QLatin1String(unit.text))
            return unit.code;
    }
    return kUnitNone;
}

QString formatTenths(std::int32_t tenths, const QLocale &locale) {
    const std::int64_t value = tenths;
    const std::int64_t magnitude = std::llabs(value);
    QString text = value < 0 ? QStringLiteral("-") : QString();
    text += QString::number(magnitude / kTenthsPerUnit);
    text += locale.decimalPoint();
    text += QString::number(magnitude % kTenthsPerUnit);
    return text;
}

QString formatBatteryLevel(int batteryByte, const QLocale &locale) {
    // Rounded half up in integers; byte * 100 / 51 never ends in exactly one half.
    const int hundredths =
        (batteryByte * kHundredths * 2 + kBatteryFullScale) / (kBatteryFullScale * 2);
    return QString::number(hundredths / kHundredths) + locale.decimalPoint() +
           QStringLiteral("%1").arg(hundredths % kHundredths, 2, 10, QLatin1Char('0'));
}

std::uint16_t packClockDate(const ClockDate &date) {
    const int high =
        ((date.year >> kYearHighShift) & kNibbleMask) << 4 | (date.month & kNibbleMask);
    const int low = (date.year & kYearLowMask) << 5 | (date.day & kDayMask);
    return std::uint16_t(high << 8 | low);
}

ClockDate unpackClockDate(std::uint16_t reg) {
    const int high = reg >> 8;
    const int low = reg & 0xFF;
    return {(high >> 4) << kYearHighShift | low >> 5, high & kNibbleMask, low & kDayMask};
}

int clockYear(int year) {
    constexpr int kCenturyYears = 100;
    constexpr int kLowSevenBits = 0x7F;
    if (year >= 0 && year < kCenturyYears)
        return year;
    if (year > 1900 && year < 2000)
        return year - 1900;
    if (year > 2000 && year < 2100)
        return year - 2000;
    return year & kLowSevenBits;
}

} // namespace corvane
