#include "cli_view.h"

namespace corvane {

void CliView::reset() {
    *this = CliView();
}

std::optional<QString> failureOfLogLine(const QString &text) {
    const QString line = text.trimmed();
    if (line.startsWith(QLatin1String("No response from device")))
        return QStringLiteral("no reply");
    if (line == QLatin1String("Error in CRC field"))
        return QStringLiteral("CRC error");
    if (line.startsWith(QLatin1String("Error - ")))
        return QStringLiteral("exception: ") + line.mid(8);
    if (line == QLatin1String("Garbage leading bytes in the telegram"))
        return QStringLiteral("garbage before the reply");
    if (line.startsWith(QLatin1String("Reply from device")))
        return QStringLiteral("reply from another address (") + line + QLatin1Char(')');
    if (line == QLatin1String("Device type is not selected or correct"))
        return QStringLiteral("model unknown");
    if (line == QLatin1String("Serial COM port is not opened"))
        return QStringLiteral("port not open");
    if (line == QLatin1String("Not allowable register count!"))
        return QStringLiteral("refused: not allowable register count");
    return std::nullopt;
}

std::optional<QString> CliView::failure() const {
    for (const QString &line : lines) {
        if (auto reason = failureOfLogLine(line))
            return reason;
    }
    if (!errors.isEmpty())
        return errors.first();
    return std::nullopt;
}

} // namespace corvane
