#include "value_encoding.h"

#include "register_map.h"

#include <algorithm>
#include <cstdlib>
#include <limits>
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

namespace {

bool isAsciiDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

// Blanks around the text and its sign taken off.
QStringView withoutSign(QStringView text, bool &negative) {
    text = text.trimmed();
    negative = false;
    if (!text.isEmpty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text = text.sliced(1);
    }
    return text;
}

// value * 10 + each digit; false on anything but an ASCII digit, or on overflow.
bool accumulate(QStringView digits, qint64 &value) {
    constexpr qint64 kMax = std::numeric_limits<qint64>::max();
    for (const QChar c : digits) {
        if (!isAsciiDigit(c))
            return false;
        const int digit = c.unicode() - u'0';
        if (value > (kMax - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    return true;
}

bool usableMark(const QString &mark) {
    return mark.size() == 1 && !isAsciiDigit(mark.front()) && mark.front() != u'+' &&
           mark.front() != u'-' && !mark.front().isSpace();
}

} // namespace

std::optional<qint64> parseInteger(QStringView text) {
    bool negative = false;
    const QStringView digits = withoutSign(text, negative);
    qint64 value = 0;
    if (digits.isEmpty() || !accumulate(digits, value))
        return std::nullopt;
    return negative ? -value : value;
}

QString visibleText(const QString &text) {
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const char16_t code = c.unicode();
        if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
            shown += QString::asprintf("\\x%02X", unsigned(code));
        else
            shown += c;
    }
    return shown;
}

QString shownText(const QString &text) {
    constexpr qsizetype kLongest = 64;
    if (text.size() <= kLongest)
        return visibleText(text);
    return visibleText(text.left(kLongest)) + QChar(0x2026);
}

int strictToInt(const QString &text) {
    const std::optional<qint64> value = parseInteger(text);
    if (!value || *value < std::numeric_limits<int>::min() ||
        *value > std::numeric_limits<int>::max())
        throw std::invalid_argument(QStringLiteral("'%1' is not a valid integer value")
                                        .arg(visibleText(text))
                                        .toStdString());
    return int(*value);
}

std::optional<qint64> parseTenths(QStringView text, const QStringList &decimalMarks) {
    bool negative = false;
    const QStringView number = withoutSign(text, negative);
    QString marks;
    for (const QString &m : decimalMarks) {
        if (usableMark(m))
            marks += m;
    }
    qsizetype mark = -1;
    for (qsizetype i = 0; i < number.size(); ++i) {
        if (!marks.contains(number[i]))
            continue;
        if (mark >= 0)
            return std::nullopt;
        mark = i;
    }
    const QStringView whole = mark < 0 ? number : number.first(mark);
    const QStringView fraction = mark < 0 ? QStringView() : number.sliced(mark + 1);
    if (whole.isEmpty() && fraction.isEmpty())
        return std::nullopt;
    const QStringView firstDecimal = fraction.isEmpty() ? QStringView(u"0") : fraction.first(1);
    qint64 tenths = 0;
    if (!accumulate(whole, tenths) || !accumulate(firstDecimal, tenths))
        return std::nullopt;
    // Held in tenths: a second decimal that is not zero would be lost.
    const QStringView rest = fraction.isEmpty() ? QStringView() : fraction.sliced(1);
    if (std::any_of(rest.begin(), rest.end(), [](QChar c) { return c != u'0'; }))
        return std::nullopt;
    return negative ? -tenths : tenths;
}

QStringList decimalMarks(const QString &DecSeparator, const QLocale &locale) {
    QStringList marks;
    if (usableMark(DecSeparator))
        marks << DecSeparator;
    const QString point = locale.decimalPoint();
    if (usableMark(point) && !marks.contains(point))
        marks << point;
    return marks;
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
