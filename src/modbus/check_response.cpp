#include "check_response.h"

#include "crc16.h"
#include "modbus_reply.h"

#include <cstdint>

namespace corvane {
namespace {

std::uint8_t at(const QByteArray &bytes, int index) {
    return static_cast<std::uint8_t>(bytes.at(index));
}

// Whether bytes [0, frameLength) form a frame whose last two bytes are its CRC.
bool crcMatches(const QByteArray &reply, int frameLength) {
    if (frameLength < 3)
        return false;
    const int crcPos = frameLength - 2;
    const std::uint16_t crc = Crc16(reinterpret_cast<const std::uint8_t *>(reply.constData()),
                                    static_cast<std::size_t>(crcPos));
    return at(reply, crcPos) == crcLow(crc) && at(reply, crcPos + 1) == crcHigh(crc);
}

// The length the reply's own header gives, where that length decides whether a trailing 0x00 is
// a filler: register and file-record reads by their byte count, the fixed-length write echoes
// and exception replies. Identification and service replies are taken as they stand, as they
// always were: their decoders read up to the byte before the CRC, so placing it otherwise would
// change what they show.
int lengthPlacingTheCrc(const QByteArray &reply) {
    if (reply.size() < 3)
        return 0;
    const int function = at(reply, 1);
    if (function >= kExceptionFlag)
        return expectedReplyLength(reply);
    switch (function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::WriteSingleRegister):
    case code(FunctionCode::WriteMultipleRegisters):
        return expectedReplyLength(reply);
    default:
        return 0;
    }
}

// The length of the bytes in front of the one good reply to the request that the buffer ends
// with, or 0 when it ends in none.
int garbageInFront(const QByteArray &reply, const SentRequest &request) {
    if (request.address == 0 || request.function == 0)
        return 0;
    for (int start = 1; start + 4 <= reply.size(); ++start) {
        if (isCompleteReply(reply.mid(start), request))
            return start;
    }
    return 0;
}

// A read's reply always differs from its request, so an exact copy is the line's echo. The
// writes are answered with a copy of themselves, which proves nothing either way.
bool replyIsItsOwnEcho(const QByteArray &reply, const SentRequest &request) {
    switch (request.function) {
    case code(FunctionCode::ReadHoldingRegisters):
    case code(FunctionCode::ReadInputRegisters):
    case code(FunctionCode::ReadFileRecord):
    case code(FunctionCode::EncapsulatedInterface):
        return !request.frame.isEmpty() && reply == request.frame;
    default:
        return false;
    }
}

} // namespace

ReplyVerdict CheckResponse(const QByteArray &reply, const SentRequest &request) {
    using Kind = ReplyVerdict::Kind;
    const int length = static_cast<int>(reply.size());
    if (length == 0)
        return ReplyVerdict::of(Kind::NoReply);
    int frameLength = length;
    bool crcOk = crcMatches(reply, length);
    if (at(reply, length - 1) == 0x00) {
        // With a trailing 0x00 both readings pass the CRC test whenever either does: a CRC
        // taken over a frame plus its own CRC low byte always comes out as 0x00 followed by the
        // CRC high byte. The acceptance does not depend on the choice, only where the CRC sits
        // does. The reply as it stands wins unless its own byte count says it carries a filler.
        const bool fillerOk = crcMatches(reply, length - 1);
        if (fillerOk && (!crcOk || lengthPlacingTheCrc(reply) == length - 1))
            frameLength = length - 1;
        crcOk = crcOk || fillerOk;
    }
    if (!crcOk) {
        if (const int garbage = garbageInFront(reply, request); garbage > 0)
            return ReplyVerdict::garbageBefore(garbage);
        return ReplyVerdict::of(Kind::CrcError);
    }
    if (replyIsItsOwnEcho(reply, request))
        return ReplyVerdict::of(Kind::EchoOnly);
    if (at(reply, 0) == 0x00)
        return ReplyVerdict::of(Kind::LeadingZero);
    if (request.address != 0 && at(reply, 0) != request.address)
        return ReplyVerdict::fromAddress(at(reply, 0));
    // Checked against the frame alone: a trailing filler is not part of what the device said.
    if (!answersRequest(reply.left(frameLength), request))
        return ReplyVerdict::of(Kind::OtherRequest);
    // A frame of three bytes holds no function code of its own, but byte 2 is still inside
    // the reply, so the test below never reads past it.
    if (at(reply, 1) >= kExceptionFlag)
        return ReplyVerdict::exception(at(reply, 2));
    return ReplyVerdict::acceptedAt(frameLength - 2);
}

ReplyVerdict CheckWriteReply(const QByteArray &reply, const SentRequest &request) {
    return CheckResponse(reply, request);
}

} // namespace corvane
