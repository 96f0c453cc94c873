#pragma once

#include "function_codes.h"
#include "reply_verdict.h"

#include <QByteArray>

namespace corvane {

// The checks every reply passes before it is decoded: nothing arrived, CRC, leading zero byte,
// slave address, the request it answers, exception reply, in that order; the first failure is
// the verdict. Pure: what
// the operator is told is reportVerdict's business.
//
// A slave address other than the request's (an address of 0 checks nothing) means another
// device answered: neither its data nor its exception code says anything about the device
// asked. Noise still counts as noise: a spoilt frame fails the CRC first, and a leading 0x00 is
// garbage, not address 0.
//
// A trailing 0x00 may be a filler byte the line adds after the frame, or the high byte of a real
// CRC. The reply is accepted when either reading checks; crcPosition follows the reading that
// agrees with the reply's own byte count.
//
// A good reply from the device asked that does not answer this request in full (answersRequest:
// the function, the byte count of a read, the echo of a write) is OtherRequest: it belongs to
// another request, and its bytes say nothing about this one. An exception counts as an answer
// only when it is the exception form of the request's own function.
//
// A reply whose CRC fails as a whole but which ends in exactly one good reply to the request
// (its address and function known) is GarbageBefore rather than a plain CRC error; an exact copy
// of a read request (its frame known) is EchoOnly.
ReplyVerdict CheckResponse(const QByteArray &reply, const SentRequest &request = {});

// Acknowledgement of a parameter write: the checks alone.
ReplyVerdict CheckWriteReply(const QByteArray &reply, const SentRequest &request = {});

} // namespace corvane
