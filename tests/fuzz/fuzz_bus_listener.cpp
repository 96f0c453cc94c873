// What a listener hears, from a stranger's line: the input is a run of reads, each a gap byte
// (the quiet before it, in quarter milliseconds), a length byte and that many bytes. They go
// through the framer and the pairer, and every exchange is described and printed in each format.
// Every byte fed must come out once, in a frame or in noise, in order.
#include "bus_description.h"
#include "bus_exchange.h"
#include "bus_framer.h"
#include "exchange_format.h"
#include "fuzz_check.h"

#include <chrono>

using namespace corvane;
using namespace std::chrono_literals;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    QByteArray fed;
    QByteArray framed;
    const QDateTime time(QDate(2026, 12, 6), QTime(9, 5));
    ExchangePairer pairer(1000ms, {[](const HeardFrame &, FrameRole) {},
                                   [&time](const HeardExchange &exchange) {
                                       const ExchangeDescription d = describeExchange(exchange);
                                       FUZZ_CHECK(!exchangeText(exchange, d, time).isEmpty());
                                       FUZZ_CHECK(!exchangeJson(exchange, d, time).isEmpty());
                                       FUZZ_CHECK(!exchangeCsvRow(exchange, d, time).isEmpty());
                                   }});
    BusFramer framer(1750us, [&](HeardFrame &&frame) {
        FUZZ_CHECK(!frame.bytes.isEmpty());
        FUZZ_CHECK(frame.bytes.size() <= kMaxBusFrameLength ||
                   frame.kind == HeardFrame::Kind::Noise);
        framed += frame.bytes;
        pairer.take(frame);
    });
    framer.setExpected(
        [&pairer](const QByteArray &bytes, bool whole) { return pairer.expects(bytes, whole); });
    BusTime now{};
    std::size_t at = 0;
    while (at + 2 <= size) {
        now += std::chrono::microseconds(250 * data[at]);
        const std::size_t length = std::min<std::size_t>(data[at + 1], size - at - 2);
        const QByteArray bytes(reinterpret_cast<const char *>(data + at + 2), qsizetype(length));
        at += 2 + length;
        framer.idle(now);
        pairer.idle(std::min(now, framer.oldestPending().value_or(now)));
        framer.feed(bytes, now);
        fed += bytes;
        FUZZ_CHECK(fed.startsWith(framed));
    }
    framer.idle(now + 1s);
    pairer.idle(now + 1s);
    framer.finish();
    pairer.finish();
    FUZZ_CHECK(framed == fed);
    FUZZ_CHECK(!framer.deadline() && !pairer.deadline());
    return 0;
}
