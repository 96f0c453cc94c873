#pragma once

#include <QString>

namespace corvane {

class Output;

// What became of a request, judged from the bytes its response window collected. Only an
// accepted reply is decoded; every other verdict costs the step its decoding and nothing more.
struct ReplyVerdict {
    enum class Kind {
        Accepted,
        // The window closed with nothing in it.
        NoReply,
        // Neither reading of the reply (with or without a trailing filler) checks.
        CrcError,
        // The reply checks but begins with 0x00: noise of the bus turning round, not address 0.
        LeadingZero,
        // The whole fails its CRC, but it ends in exactly one good reply to the request: bytes
        // of something else (a late reply, an echo) came in front of it.
        GarbageBefore,
        // A good reply, from a device that was not asked.
        OtherAddress,
        // The device answered with a Modbus exception.
        Exception,
        // Nothing came back but an exact copy of a read request: the line echoes what is sent,
        // and the device said nothing. For the operator that is no answer.
        EchoOnly,
        // A good reply from the device asked, but to another request: another function, another
        // quantity, another register or record echoed. Most often the late answer to an earlier
        // request of the same device. Rejected like a damaged reply, and never decoded.
        OtherRequest,
    };

    Kind kind = Kind::NoReply;
    // Accepted: the index of the CRC low byte; decoders take only the bytes before it.
    int crcPosition = 0;
    // OtherAddress: the address that answered.
    int address = 0;
    // Exception: the exception code.
    int exceptionCode = 0;
    // GarbageBefore: how many bytes came in front of the reply.
    int garbageLength = 0;

    bool accepted() const { return kind == Kind::Accepted; }
    explicit operator bool() const { return accepted(); }
    friend bool operator==(const ReplyVerdict &, const ReplyVerdict &) = default;

    static ReplyVerdict acceptedAt(int crcPosition) { return {Kind::Accepted, crcPosition}; }
    static ReplyVerdict of(Kind kind) { return {kind}; }
    static ReplyVerdict fromAddress(int address) { return {Kind::OtherAddress, 0, address}; }
    static ReplyVerdict exception(int code) { return {Kind::Exception, 0, 0, code}; }
    static ReplyVerdict garbageBefore(int length) { return {Kind::GarbageBefore, 0, 0, 0, length}; }
};

// How a command reports an empty window (and a reply from another device, which means the same
// for the operator).
enum class NoReplyReport {
    StatusAndLog, // status panel 1, and the log with a trailing carriage return
    Log,          // the log only
    LogEllipsis,  // the log only, with "..." behind
    Silent,       // nothing: a bus scan expects most addresses to stay quiet
};

struct VerdictReport {
    // Whether a reply rejected for its leading 0x00 is written to the log.
    bool reportLeadingZero = true;
    NoReplyReport noReply = NoReplyReport::StatusAndLog;
};

// "No response from device N", the text every empty response window reports.
QString noResponseText(int address);
// The line of a reply that answers another request than the one it came after.
QString otherRequestText(int address);
// The line of a late reply to an earlier request that was taken out of what arrived.
QString lateReplyText(int address);

// The name of a Modbus exception code as the log spells it ("ILLEGAL DATA ADDRESS"), or an
// empty string for codes the log does not name.
QString exceptionName(int code);
// The log line of an exception code, or an empty string for codes without one. The texts end in
// a carriage return, which is part of the line.
QString exceptionText(int code);

// Writes the operator's lines for a verdict: nothing for an accepted reply, the CRC error on
// status panel 1 and in the log, the exception's line, and for an empty window or another
// device's reply the no-reply texts of the report style. requestAddress is where the request
// went; shownAddress is the address the no-reply texts name.
void reportVerdict(const ReplyVerdict &verdict, const VerdictReport &how, int requestAddress,
                   int shownAddress, Output &out);

// A script's words for a verdict: "no reply", "CRC error", "exception: ILLEGAL DATA ADDRESS"...
// An accepted reply gives an empty string.
QString verdictReason(const ReplyVerdict &verdict);

} // namespace corvane
