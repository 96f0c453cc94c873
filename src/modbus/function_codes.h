#pragma once

#include <QByteArray>

#include <cstdint>

namespace corvane {

// The Modbus functions the loggers answer. 0x47 is the loggers' own service function, with a
// sub-code in its first data byte.
enum class FunctionCode : std::uint8_t {
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleRegister = 0x06,
    WriteMultipleRegisters = 0x10,
    ReadFileRecord = 0x14,
    WriteFileRecord = 0x15,
    EncapsulatedInterface = 0x2B, // with MEI type 0x0E: read device identification
    LoggerService = 0x47,
};

constexpr int code(FunctionCode function) {
    return static_cast<int>(function);
}

// An exception reply carries the request's function code with this bit set, then the
// exception code.
inline constexpr int kExceptionFlag = 0x80;

namespace ExceptionCode {
inline constexpr int IllegalFunction = 1;
inline constexpr int IllegalDataAddress = 2;
inline constexpr int IllegalDataValue = 3;
inline constexpr int SlaveDeviceFailure = 4;
inline constexpr int Acknowledge = 5;
inline constexpr int SlaveDeviceBusy = 6;
inline constexpr int NegativeAcknowledge = 7;
inline constexpr int MemoryParityError = 8;
} // namespace ExceptionCode

// A request as it went on the line: who was asked, and for what. A reply is held against it.
struct SentRequest {
    int address = 0;
    int function = 0;
    // The frame itself, CRC included; a line that echoes sends exactly these bytes back.
    QByteArray frame = {};
};

} // namespace corvane
