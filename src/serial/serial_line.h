#pragma once

#include <cstdint>

namespace corvane {

// The part of the serial port that the Modbus master uses. TSerCustomComm implements it;
// tests substitute a recorder so frames, RTS changes and pauses can be checked without a line.
class SerialLine {
public:
    virtual ~SerialLine() = default;

    virtual bool IsOpen() const = 0;
    virtual int ReadBytes(void *buffer, int count) = 0;
    virtual bool WriteByte(std::uint8_t byte) = 0;
    virtual void SetRtsLine(bool on) = 0;
    virtual int InputQueued() = 0;
    // Both are called before requests mostly for their side effect: the status query behind
    // them clears pending line errors.
    virtual int InputRoom() = 0;
    virtual int OutputRoom() = 0;
};

} // namespace corvane
