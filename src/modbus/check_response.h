#pragma once

#include <QByteArray>
#include <QString>

namespace corvane {

class Output;

// Outcome of the checks every decoder runs first. crcPosition is the index of the CRC low
// byte: decoders take only bytes that lie wholly before it, so a short reply never makes them
// read past the frame.
struct CheckedResponse {
    bool accepted = false;
    int crcPosition = 0;
    explicit operator bool() const { return accepted; }
};

// Log text of a Modbus exception code, or an empty string for codes without one. The texts end
// in a carriage return, which is part of the line.
QString exceptionText(int code);

// CRC, leading zero byte, exception reply, in that order; the first failure is reported and the
// reply rejected.
//
// A trailing 0x00 may be a filler byte the line adds after the frame, or the high byte of a real
// CRC. The reply is accepted when either reading checks; crcPosition follows the reading that
// agrees with the reply's own byte count.
//
// Whether a leading 0x00 is written to the log depends on the decoder; it is rejected either way.
CheckedResponse CheckResponse(const QByteArray &reply, bool reportLeadingZero, Output &out);

// Acknowledgement of a parameter write: the checks alone, with leading-zero reporting.
bool CheckWriteReply(const QByteArray &reply, Output &out);

} // namespace corvane
