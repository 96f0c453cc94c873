#include "address_list.h"

#include "address_store.h"
#include "value_encoding.h"

namespace corvane {
namespace {

// Digits only: "+7" and "0x10" are not addresses.
std::optional<int> address(const QString &text) {
    if (text.isEmpty() || text.size() > 9)
        return std::nullopt;
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    }
    const int value = text.toInt();
    if (!AddressStore::isValidAddress(value))
        return std::nullopt;
    return value;
}

} // namespace

std::optional<QList<int>> parseAddressList(const QString &text, QString *error) {
    QList<int> addresses;
    const auto fail = [&](const QString &problem) -> std::optional<QList<int>> {
        if (error)
            *error = problem;
        return std::nullopt;
    };
    const QString range = QStringLiteral("addresses are 1 to 250");
    for (const QString &untrimmed : text.split(QLatin1Char(','))) {
        const QString part = untrimmed.trimmed();
        const qsizetype dash = part.indexOf(QLatin1Char('-'));
        int first = 0;
        int last = 0;
        if (dash > 0) {
            const auto a = address(part.left(dash).trimmed());
            const auto b = address(part.mid(dash + 1).trimmed());
            if (!a || !b || *a > *b)
                return fail(
                    QStringLiteral("bad address range '%1': %2").arg(shownText(part), range));
            first = *a;
            last = *b;
        } else {
            const auto a = address(part);
            if (!a)
                return fail(QStringLiteral("bad address '%1': %2").arg(shownText(part), range));
            first = last = *a;
        }
        for (int value = first; value <= last; ++value) {
            if (!addresses.contains(value))
                addresses.append(value);
        }
    }
    return addresses;
}

} // namespace corvane
