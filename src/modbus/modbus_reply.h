#pragma once

#include "function_codes.h"
#include "reply_verdict.h"

#include <QByteArray>
#include <QByteArrayView>

#include <cstdint>

namespace corvane {

// A reply that passed the checks, taken apart once: who answered, to which function, and the
// bytes between the function code and the CRC. A trailing filler byte is already gone.
struct ModbusReply {
    std::uint8_t address = 0;
    std::uint8_t function = 0;
    QByteArray payload;

    // Frame positions count from the address byte (the byte count of a register block is at 2),
    // which is how replies are laid out on paper. has() is false for anything outside payload.
    static constexpr int kPayloadPosition = 2;
    bool has(int position) const {
        return position >= kPayloadPosition && position - kPayloadPosition < payload.size();
    }
    int at(int position) const {
        return static_cast<std::uint8_t>(payload.at(position - kPayloadPosition));
    }
    // One past the last payload position.
    int end() const { return kPayloadPosition + int(payload.size()); }

    // The parts of raw that an accepted verdict covers (the bytes before its crcPosition).
    static ModbusReply fromChecked(const QByteArray &raw, const ReplyVerdict &verdict);
};

// Length of the complete reply that raw begins with, from its function code and byte count, or
// 0 while too few bytes have arrived to tell: register and file-record reads and writes by
// their byte count, the write echoes 8 bytes, device identification by its objects, the
// service function by its data length, an exception reply 5 bytes. Other functions give 0.
int expectedReplyLength(QByteArrayView raw);

// Whether the reply frame raw answers this request and no other: the request's function code or
// its exception form, and what the reply repeats of the request. A register read's byte count is
// twice the quantity asked for; a single write echoes its address and value, a multiple write its
// start and quantity, a file-record write the whole sub-request; a file-record read carries one
// record of the reference type and length asked for; a device identification its MEI type, and
// the service function its sub-code. The address is not looked at here, nor the CRC. A request
// known only by its function (no frame) is matched by function alone, and one without a
// function matches anything. Never reads outside raw.
bool answersRequest(const QByteArray &raw, const SentRequest &request);

// raw is exactly one reply to the request, from the address asked, answering it in full
// (answersRequest), and its CRC checks. A trailing filler byte does not count as complete: the
// window may close only on the frame itself.
bool isCompleteReply(const QByteArray &raw, const SentRequest &request);
bool isCompleteReply(const QByteArray &raw, int requestAddress, int requestFunction);

// The length of the complete reply frame, CRC included, that raw holds from position `from` on,
// whose CRC checks; 0 when there is none there (yet).
int checkedFrameAt(QByteArrayView raw, qsizetype from);

} // namespace corvane
