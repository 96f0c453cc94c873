#include "modbus_log.h"

namespace corvane {

Q_LOGGING_CATEGORY(lcModbus, "corvane.modbus", QtInfoMsg)
Q_LOGGING_CATEGORY(lcModbusHex, "corvane.modbus.hex", QtWarningMsg)

} // namespace corvane
