#pragma once

#include <QLoggingCategory>

namespace corvane {

Q_DECLARE_LOGGING_CATEGORY(lcModbus)
// Frames and received bytes in hexadecimal; off unless enabled with QT_LOGGING_RULES.
Q_DECLARE_LOGGING_CATEGORY(lcModbusHex)

} // namespace corvane
