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
    // Rejected because another device answered. For the operator that is no answer at all: the
    // caller reports it as the missing reply of its own window.
    bool otherDevice = false;
    explicit operator bool() const { return accepted; }
};

// Log text of a Modbus exception code, or an empty string for codes without one. The texts end
// in a carriage return, which is part of the line.
QString exceptionText(int code);

// CRC, leading zero byte, slave address, exception reply, in that order; the first failure is
// reported and the reply rejected.
//
// A slave address other than expectedAddress (the address the request went to; 0 checks
// nothing) means another device answered: neither its data nor its exception code says anything
// about the device asked, so the reply is logged as ignored and rejected. Noise still counts as
// noise: a spoilt frame fails the CRC first, and a leading 0x00 is garbage, not address 0.
//
// A trailing 0x00 may be a filler byte the line adds after the frame, or the high byte of a real
// CRC. The reply is accepted when either reading checks; crcPosition follows the reading that
// agrees with the reply's own byte count.
//
// Whether a leading 0x00 is written to the log depends on the decoder; it is rejected either way.
CheckedResponse CheckResponse(const QByteArray &reply, bool reportLeadingZero, Output &out,
                              int expectedAddress = 0);

// Acknowledgement of a parameter write: the checks alone, with leading-zero reporting.
CheckedResponse CheckWriteReply(const QByteArray &reply, Output &out, int expectedAddress = 0);

} // namespace corvane
