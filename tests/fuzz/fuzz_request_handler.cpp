// The simulator's request handler on a master's request closed with its CRC. Every request of
// two bytes or more gets one reply that the master's own receiver takes for complete: the
// request's address and function (or an exception of codes 1 to 3), and a correct CRC.
#include "crc16.h"
#include "fuzz_check.h"
#include "logger_model.h"
#include "modbus_reply.h"
#include "request_handler.h"

using namespace corvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QByteArray frame(reinterpret_cast<const char *>(data), qsizetype(size));
    appendCrc(frame);
    LoggerModel logger(Model::Qtr8d, size > 0 ? data[0] : 1);
    const QByteArray reply =
        answerRequest(logger, frame, [](int address) { return address == 17; });
    if (size < 2) {
        FUZZ_CHECK(reply.isEmpty());
        return 0;
    }
    FUZZ_CHECK(reply.size() >= 5);
    FUZZ_CHECK(Crc16(reply) == 0);
    const int address = data[0];
    const int function = data[1];
    FUZZ_CHECK(static_cast<std::uint8_t>(reply[0]) == address);
    const int replyFunction = static_cast<std::uint8_t>(reply[1]);
    if (replyFunction == (function | 0x80)) {
        FUZZ_CHECK(reply.size() == 5);
        FUZZ_CHECK(reply[2] >= 1 && reply[2] <= 3);
    } else {
        FUZZ_CHECK(replyFunction == function && function < 0x80);
    }
    FUZZ_CHECK(isCompleteReply(reply, address, function & 0x7F));
    return 0;
}
