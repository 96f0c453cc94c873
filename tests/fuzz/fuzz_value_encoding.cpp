// The conversions of a cell's text. A number that parses formats to a text that parses to the
// same number, a text with anything but blanks, a sign and digits around the number never
// parses, and the clock's date register unpacks and packs back to itself.
#include "fuzz_check.h"
#include "value_encoding.h"

#include <limits>
#include <stdexcept>

using namespace corvane;

namespace {

bool onlyNumberCharacters(QStringView text, QStringView marks) {
    for (const QChar c : text.trimmed()) {
        if (!(c >= u'0' && c <= u'9') && c != u'+' && c != u'-' && !marks.contains(c))
            return false;
    }
    return true;
}

void checkText(const QString &text) {
    const std::optional<qint64> integer = parseInteger(text);
    if (integer) {
        FUZZ_CHECK(onlyNumberCharacters(text, u""));
        FUZZ_CHECK(parseInteger(QString::number(*integer)) == integer);
    }
    const bool fitsInt = integer && *integer >= std::numeric_limits<int>::min() &&
                         *integer <= std::numeric_limits<int>::max();
    try {
        FUZZ_CHECK(strictToInt(text) == integer.value_or(0) && fitsInt);
    } catch (const std::invalid_argument &error) {
        FUZZ_CHECK(!fitsInt);
        // The message shows the text whole, its control characters included.
        FUZZ_CHECK(!QString::fromStdString(error.what()).contains(QChar(0)));
    }

    for (const auto &[separator, locale] :
         {std::pair{QStringLiteral("."), QLocale::c()},
          std::pair{QStringLiteral("."), QLocale(QLocale::German, QLocale::Germany)}}) {
        const QStringList marks = decimalMarks(separator, locale);
        const std::optional<qint64> tenths = parseTenths(text, marks);
        if (!tenths)
            continue;
        FUZZ_CHECK(onlyNumberCharacters(text, marks.join(QString())));
        if (integer)
            FUZZ_CHECK(*tenths == *integer * 10);
        if (*tenths < std::numeric_limits<std::int32_t>::min() ||
            *tenths > std::numeric_limits<std::int32_t>::max())
            continue;
        const QString formatted = formatTenths(std::int32_t(*tenths), locale);
        FUZZ_CHECK(parseTenths(formatted, marks) == tenths);
        FUZZ_CHECK(formatTenths(std::int32_t(*parseTenths(formatted, marks)), locale) == formatted);
    }

    const int unit = unitCode(text);
    FUZZ_CHECK(unit >= 0 && unit <= 3);
    FUZZ_CHECK(unitCode(unitText(unit)) == unit);
    for (const QChar c : visibleText(text))
        FUZZ_CHECK(c.unicode() >= 0x20 && c.unicode() != 0x7F);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    checkText(QString::fromUtf8(bytes));
    // Text pasted from elsewhere may carry any UTF-16 unit, lone surrogates included.
    if (size % 2 == 0)
        checkText(QString(reinterpret_cast<const QChar *>(bytes.constData()), bytes.size() / 2));

    if (size >= 2) {
        const std::uint16_t reg = std::uint16_t(data[0] << 8 | data[1]);
        FUZZ_CHECK(packClockDate(unpackClockDate(reg)) == reg);
        FUZZ_CHECK(clockYear(unpackClockDate(reg).year) == unpackClockDate(reg).year);
        (void)formatBatteryLevel(data[0], QLocale::c());
    }
    return 0;
}
