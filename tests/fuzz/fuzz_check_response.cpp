// The reply checker on a logger's reply as it arrived, and on the same bytes closed with their
// CRC (once with the filler byte the line may add), so that mutations get past the CRC test.
#include "check_response.h"
#include "crc16.h"
#include "frames.h"
#include "fuzz_check.h"
#include "modbus_reply.h"
#include "output.h"
#include "reply_verdict.h"

#include <algorithm>
#include <cstring>
#include <memory>

using namespace corvane;

namespace {

class NullOutput : public Output {
public:
    void log(const QString &) override {}
    void traffic(const QString &) override {}
    void setStatus(int, const QString &) override {}
};

int byteAt(const QByteArray &bytes, int index) {
    return static_cast<std::uint8_t>(bytes.at(index));
}

void checkReply(const QByteArray &made) {
    const auto block = std::make_unique<char[]>(std::size_t(std::max<qsizetype>(made.size(), 1)));
    std::memcpy(block.get(), made.constData(), std::size_t(made.size()));
    const QByteArray reply = QByteArray::fromRawData(block.get(), made.size());
    const int size = int(reply.size());
    NullOutput out;

    using Kind = ReplyVerdict::Kind;
    const int first = size > 0 ? byteAt(reply, 0) : 0;
    const int function = size > 1 ? byteAt(reply, 1) : 0;
    for (const int expected : {0, first, first ^ 1}) {
        for (const int asked : {0, function & 0x7F, 0x03}) {
            const ReplyVerdict checked = CheckResponse(reply, {expected, asked});
            for (const bool reportLeadingZero : {false, true})
                reportVerdict(checked, {reportLeadingZero, NoReplyReport::StatusAndLog}, expected,
                              expected, out);
            const bool foreign = expected != 0 && size > 0 && first != expected;
            FUZZ_CHECK((checked.kind == Kind::NoReply) == (size == 0));
            FUZZ_CHECK(checked.kind != Kind::OtherAddress || foreign);
            FUZZ_CHECK(checked.kind != Kind::OtherAddress || checked.address == first);
            if (checked.kind == Kind::GarbageBefore) {
                // What follows the garbage is one whole reply to the request.
                const int from = checked.garbageLength;
                FUZZ_CHECK(expected != 0 && asked != 0 && from > 0 && from < size);
                FUZZ_CHECK(isCompleteReply(reply.mid(from), expected, asked));
            }
            if (!checked)
                continue;
            FUZZ_CHECK(!foreign);
            FUZZ_CHECK(first != 0);
            FUZZ_CHECK(function < 0x80);
            // The frame ends with its CRC, followed at most by a 0x00 filler.
            const int crc = checked.crcPosition;
            FUZZ_CHECK(crc >= 1 && (crc + 2 == size || (crc + 3 == size && reply.back() == 0)));
            FUZZ_CHECK(Crc16(reply.left(crc + 2)) == 0);
            const ModbusReply parts = ModbusReply::fromChecked(reply, checked);
            FUZZ_CHECK(parts.end() == std::max(crc, int(ModbusReply::kPayloadPosition)));
        }
    }

    // Held against whole requests of every function: a reply accepted for one answers it in
    // full, one rejected as another request's does not, and the fast close only ever closes on
    // what the checks accept or on the device's exception.
    if (size >= 2 && first != 0) {
        const QByteArray asked[] = {readHoldingFrame(first, 0x8000, 8),
                                    readInputFrame(first, 0x0010, 16),
                                    writeSingleFrame(first, 0x8011, 9, 1),
                                    writeMultipleFrame(first, 0x8000, 4, QByteArray(8, '\x11')),
                                    readFileRecordFrame(first, 10, 3, 6),
                                    writeFileRecordFrame(first, 10, 3, QByteArray(12, 'x')),
                                    readDeviceIdFrame(first, 2),
                                    serviceQueryFrame(first, 4)};
        for (const QByteArray &frame : asked) {
            const SentRequest request{first, byteAt(frame, 1), frame};
            const ReplyVerdict checked = CheckResponse(reply, request);
            if (checked.accepted()) {
                FUZZ_CHECK(function == request.function);
                FUZZ_CHECK(answersRequest(reply.left(checked.crcPosition + 2), request));
            }
            if (checked.kind == Kind::OtherRequest)
                FUZZ_CHECK(!answersRequest(reply, request) ||
                           !answersRequest(reply.chopped(1), request));
            if (isCompleteReply(reply, request))
                FUZZ_CHECK(checked.accepted() || checked.kind == Kind::Exception);
        }
    }

    // The receiver's completeness test and the checks agree on a whole reply: it is accepted,
    // and where its header tells the length the CRC sits where the header says.
    if (size < 2)
        return;
    if (first == 0 || function >= 0x80 || !isCompleteReply(reply, first, function))
        return;
    const ReplyVerdict checked = CheckResponse(reply, {first, function});
    FUZZ_CHECK(checked.accepted());
    if (function == 0x03 || function == 0x04 || function == 0x14 || function == 0x06 ||
        function == 0x10)
        FUZZ_CHECK(checked.crcPosition == expectedReplyLength(reply) - 2);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const QByteArray raw(reinterpret_cast<const char *>(data), qsizetype(size));
    checkReply(raw);
    QByteArray closed = raw;
    appendCrc(closed);
    checkReply(closed);
    checkReply(closed + '\0');
    return 0;
}
