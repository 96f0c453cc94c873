#pragma once

#include "function_codes.h"

#include <QByteArray>

#include <functional>

namespace corvane {

class LoggerModel;

namespace ServiceCode {
inline constexpr int SetId = 0;
inline constexpr int SetLine = 1;
inline constexpr int ReadMenuCode = 2;
inline constexpr int SetMenuCode = 3;
inline constexpr int Status = 4;
inline constexpr int Lock = 5;
inline constexpr int Unlock = 25;
inline constexpr int SetInputs = 42;
inline constexpr int SetPolarity = 50;
} // namespace ServiceCode

// Whether another logger on the same line already answers at an address.
using AddressTaken = std::function<bool(int address)>;

// One logger's answer to a whole request frame (address, function, data, CRC) that was
// addressed to it; the CRC has been checked by the caller. The reply carries the logger's
// address as it was when the request arrived, so an address change is acknowledged from the
// old address and takes effect afterwards. A frame whose length does not fit its function gets
// ILLEGAL DATA VALUE; nothing outside the frame is read.
QByteArray answerRequest(LoggerModel &logger, const QByteArray &frame,
                         const AddressTaken &addressTaken = {});

// address, function | 0x80, code, CRC.
QByteArray exceptionReply(int address, int function, int code);

} // namespace corvane
