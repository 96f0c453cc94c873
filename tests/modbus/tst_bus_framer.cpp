// What a listener makes of the bytes of a line another master drives: frames and noise, and the
// exchanges they pair into. Scripts give each read its time, so every gap is exact.
#include "bus_exchange.h"
#include "bus_framer.h"
#include "crc16.h"
#include "hex_frame.h"

#include <QTest>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

QByteArray hex(const QByteArray &bytes) {
    return bytes.toHex().toUpper();
}

// Pulse constants of a QTR-4D at address 1, and the logger's answer: 10, 20, 30, 40.
const QByteArray kRequest = withCrc("010380080004");
const QByteArray kReply = withCrc("010308000A0014001E0028");
// The same logger's total pulses, two inputs.
const QByteArray kCounters = withCrc("010400000004");
const QByteArray kCountersReply = withCrc("01040800000001000000FF");
const QByteArray kException = withCrc("018302");
// The clock written to every logger at once.
const QByteArray kBroadcast = withCrc("00108012000204"
                                      "3C460905");
// A single write, answered by its own copy.
const QByteArray kWriteSingle = withCrc("010680110007");

// The battery of address 1, and an answer whose CRC ends in 0x00: without its last byte it
// checks too, as a request of its own length. Searched once, then kept as a fixed example.
const QByteArray kBattery = withCrc("010403E70002");
QByteArray batteryReplyWithZeroCrcHigh() {
    for (int value = 0; value < 0x10000; ++value) {
        QByteArray frame = QByteArray::fromHex("010404");
        frame.append(char(value >> 8));
        frame.append(char(value & 0xFF));
        frame.append(QByteArray(2, '\0'));
        appendCrc(frame);
        if (frame.back() == 0)
            return frame;
    }
    return {};
}
const QByteArray kZeroEndedReply = batteryReplyWithZeroCrcHigh();

QByteArray damaged(QByteArray frame) {
    frame[frame.size() - 1] = char(frame.back() ^ 0x5A);
    return frame;
}

// 9600 baud: 3.5 characters of 11 bits.
constexpr auto kSilence = 4ms;

struct Heard {
    QStringList frames;    // "frame HEX" or "noise HEX", as framed
    QStringList roles;     // what each was taken for
    QStringList exchanges; // "verdict", with " N ms" where a reply came
};

// Runs a script through a framer into a pairer. A step is "MS HEX": bytes read MS after the
// start; "idle MS": the line quiet until then. The line then stays quiet until everything is
// settled.
Heard listen(const QStringList &script) {
    Heard heard;
    const BusTime origin{};
    ExchangePairer pairer(
        1000ms,
        {[&heard](const HeardFrame &, FrameRole role) { heard.roles << frameRoleText(role); },
         [&heard](const HeardExchange &exchange) {
             QString line = verdictText(exchange);
             if (exchange.replyTime)
                 line += QStringLiteral(" %1 ms").arg(
                     std::chrono::duration_cast<std::chrono::milliseconds>(*exchange.replyTime)
                         .count());
             heard.exchanges << line;
         }});
    BusFramer framer(kSilence, [&](HeardFrame &&frame) {
        heard.frames << (frame.kind == HeardFrame::Kind::Frame ? QStringLiteral("frame ")
                                                               : QStringLiteral("noise ")) +
                            QString::fromLatin1(hex(frame.bytes));
        pairer.take(frame);
    });
    framer.setExpected(
        [&pairer](const QByteArray &bytes, bool whole) { return pairer.expects(bytes, whole); });
    const auto idle = [&](BusTime now) {
        framer.idle(now);
        const auto undecided = framer.oldestPending();
        pairer.idle(undecided ? std::min(now, *undecided) : now);
    };
    BusTime last = origin;
    for (const QString &step : script) {
        const QStringList parts = step.split(QLatin1Char(' '));
        if (parts.at(0) == QLatin1String("idle")) {
            last = origin + std::chrono::milliseconds(parts.at(1).toInt());
            idle(last);
            continue;
        }
        last = origin + std::chrono::milliseconds(parts.at(0).toInt());
        framer.feed(QByteArray::fromHex(parts.at(1).toLatin1()), last);
    }
    idle(last + 100ms);
    idle(last + 10s);
    return heard;
}

QString at(int ms, const QByteArray &bytes) {
    return QStringLiteral("%1 %2").arg(ms).arg(QString::fromLatin1(hex(bytes)));
}

QString frame(const QByteArray &bytes) {
    return QStringLiteral("frame ") + QString::fromLatin1(hex(bytes));
}

QString noise(const QByteArray &bytes) {
    return QStringLiteral("noise ") + QString::fromLatin1(hex(bytes));
}

} // namespace

class TstBusFramer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framing_data();
    void framing();
    void pairing_data();
    void pairing();
    void unfinishedFrameWaitsForTheRest();
    void hostileBytesComeOutWhole();
};

void TstBusFramer::framing_data() {
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("frames");

    QTest::newRow("one frame in one read")
        << QStringList{at(0, kRequest)} << QStringList{frame(kRequest)};
    QTest::newRow("a frame split over reads")
        << QStringList{at(0, kRequest.left(3)), at(1, kRequest.mid(3, 2)), at(2, kRequest.mid(5))}
        << QStringList{frame(kRequest)};
    // An adapter's latency puts more than a silence between the pieces of one frame.
    QTest::newRow("a frame split by an adapter's latency")
        << QStringList{at(0, kReply.left(5)), at(17, kReply.mid(5, 4)), at(34, kReply.mid(9))}
        << QStringList{frame(kReply)};
    QTest::newRow("two frames in one read")
        << QStringList{at(0, kRequest + kReply)} << QStringList{frame(kRequest), frame(kReply)};
    QTest::newRow("request and reply with a silence between")
        << QStringList{at(0, kRequest), at(20, kReply)}
        << QStringList{frame(kRequest), frame(kReply)};
    QTest::newRow("noise between frames in one read")
        << QStringList{at(0, kRequest + QByteArray::fromHex("FFFE") + kReply)}
        << QStringList{frame(kRequest), noise(QByteArray::fromHex("FFFE")), frame(kReply)};
    QTest::newRow("noise in a burst of its own")
        << QStringList{at(0, kRequest), at(10, QByteArray::fromHex("1234AB")), at(20, kCounters)}
        << QStringList{frame(kRequest), noise(QByteArray::fromHex("1234AB")), frame(kCounters)};
    QTest::newRow("a reply with a CRC error")
        << QStringList{at(0, kRequest), at(10, damaged(kReply)), at(40, kCounters)}
        << QStringList{frame(kRequest), noise(damaged(kReply)), frame(kCounters)};
    QTest::newRow("a damaged reply at the end of the line's traffic")
        << QStringList{at(0, kRequest), at(10, damaged(kReply))}
        << QStringList{frame(kRequest), noise(damaged(kReply))};
    QTest::newRow("an exception") << QStringList{at(0, kRequest + kException)}
                                  << QStringList{frame(kRequest), frame(kException)};
    QTest::newRow("a broadcast") << QStringList{at(0, kBroadcast), at(30, kRequest)}
                                 << QStringList{frame(kBroadcast), frame(kRequest)};
    QTest::newRow("leading zeros before a reply")
        << QStringList{at(0, kRequest), at(5, QByteArray(2, '\0') + kReply)}
        << QStringList{frame(kRequest), noise(QByteArray(2, '\0')), frame(kReply)};
    QTest::newRow("a filler after a reply")
        << QStringList{at(0, kRequest), at(5, kReply + QByteArray(1, '\0'))}
        << QStringList{frame(kRequest), frame(kReply), noise(QByteArray(1, '\0'))};
    QTest::newRow("a function of another device, told by its silences")
        << QStringList{at(0, withCrc("0741AABB")), at(10, kRequest)}
        << QStringList{frame(withCrc("0741AABB")), frame(kRequest)};
    QTest::newRow("an unfinished frame once the line stays quiet")
        << QStringList{at(0, kRequest.left(5))} << QStringList{noise(kRequest.left(5))};
}

void TstBusFramer::framing() {
    QFETCH(QStringList, script);
    QFETCH(QStringList, frames);
    QCOMPARE(listen(script).frames, frames);
}

void TstBusFramer::pairing_data() {
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<QStringList>("exchanges");
    QTest::addColumn<QStringList>("roles");

    QTest::newRow("a request and its reply")
        << QStringList{at(0, kRequest), at(12, kReply)} << QStringList{"ok 12 ms"}
        << QStringList{"request", "reply"};
    QTest::newRow("both in one read") << QStringList{at(3, kRequest + kReply)}
                                      << QStringList{"ok 0 ms"} << QStringList{"request", "reply"};
    QTest::newRow("an exception") << QStringList{at(0, kRequest), at(7, kException)}
                                  << QStringList{"exception 2 7 ms"}
                                  << QStringList{"request", "reply"};
    QTest::newRow("a damaged reply") << QStringList{at(0, kRequest), at(10, damaged(kReply)),
                                                    at(200, kCounters), at(210, kCountersReply)}
                                     << QStringList{"crc error", "noise", "ok 10 ms"}
                                     << QStringList{"request", "noise", "request", "reply"};
    QTest::newRow("no reply within the settle time")
        << QStringList{at(0, kRequest), "idle 999"} << QStringList{"no reply"}
        << QStringList{"request"};
    QTest::newRow("the next request before any reply")
        << QStringList{at(0, kRequest), at(300, kCounters), at(309, kCountersReply)}
        << QStringList{"no reply", "ok 9 ms"} << QStringList{"request", "request", "reply"};
    QTest::newRow("a broadcast needs no reply")
        << QStringList{at(0, kBroadcast), at(50, kRequest), at(60, kReply)}
        << QStringList{"broadcast", "ok 10 ms"} << QStringList{"request", "request", "reply"};
    QTest::newRow("a reply whose request was not heard")
        << QStringList{at(0, kReply), at(100, kRequest), at(110, kReply)}
        << QStringList{"no request", "ok 10 ms"} << QStringList{"reply", "request", "reply"};
    QTest::newRow("a write answered by its echo")
        << QStringList{at(0, kWriteSingle), at(4, kWriteSingle)} << QStringList{"ok 4 ms"}
        << QStringList{"request", "reply"};
    QTest::newRow("the same write sent again")
        << QStringList{at(0, kWriteSingle), at(4, kWriteSingle), at(600, kWriteSingle)}
        << QStringList{"ok 4 ms", "no reply"} << QStringList{"request", "reply", "request"};
    QTest::newRow("a reply from another address")
        << QStringList{at(0, kRequest), at(10, withCrc("020308000A0014001E0028"))}
        << QStringList{"no reply", "no request"} << QStringList{"request", "reply"};
    QTest::newRow("a reply to another request")
        << QStringList{at(0, kCounters), at(10, kReply)} << QStringList{"no reply", "no request"}
        << QStringList{"request", "reply"};
    QTest::newRow("a reply after the settle time")
        << QStringList{at(0, kRequest), at(1500, kReply)} << QStringList{"no reply", "no request"}
        << QStringList{"request", "reply"};
    QTest::newRow("noise before the reply")
        << QStringList{at(0, kRequest), at(5, QByteArray(1, '\x7F') + kReply)}
        << QStringList{"ok 5 ms", "noise"} << QStringList{"request", "noise", "reply"};
    QTest::newRow("a reply whose CRC ends in 0x00")
        << QStringList{at(0, kBattery), at(6, kZeroEndedReply)} << QStringList{"ok 6 ms"}
        << QStringList{"request", "reply"};
    QTest::newRow("a reply whose CRC ends in 0x00, in one read with its request")
        << QStringList{at(0, kBattery + kZeroEndedReply)} << QStringList{"ok 0 ms"}
        << QStringList{"request", "reply"};
    QTest::newRow("a reply whose CRC ends in 0x00, its last byte read apart")
        << QStringList{at(0, kBattery), at(6, kZeroEndedReply.chopped(1)),
                       at(8, kZeroEndedReply.right(1))}
        << QStringList{"ok 8 ms"} << QStringList{"request", "reply"};
    QTest::newRow("noise on a quiet line") << QStringList{at(0, QByteArray::fromHex("FFFFFF"))}
                                           << QStringList{"noise"} << QStringList{"noise"};
}

void TstBusFramer::pairing() {
    QFETCH(QStringList, script);
    QFETCH(QStringList, exchanges);
    QFETCH(QStringList, roles);
    const Heard heard = listen(script);
    QCOMPARE(heard.exchanges, exchanges);
    QCOMPARE(heard.roles, roles);
}

// Bytes that may begin a frame wait for the rest while the line is quiet for less than the hold
// limit, and are noise after it.
void TstBusFramer::unfinishedFrameWaitsForTheRest() {
    QStringList frames;
    BusFramer framer(kSilence,
                     [&frames](HeardFrame &&f) { frames << QString::fromLatin1(hex(f.bytes)); });
    const BusTime t0{};
    framer.feed(kRequest.left(5), t0);
    framer.idle(t0 + 30ms);
    QVERIFY(frames.isEmpty());
    QCOMPARE(framer.oldestPending(), std::optional<BusTime>(t0));
    QCOMPARE(framer.deadline(), std::optional<BusTime>(t0 + BusFramer::kDefaultHoldLimit));
    framer.feed(kRequest.mid(5), t0 + 40ms);
    QCOMPARE(frames, QStringList{QString::fromLatin1(hex(kRequest))});
    QCOMPARE(framer.oldestPending(), std::nullopt);

    frames.clear();
    framer.feed(kRequest.left(5), t0 + 100ms);
    framer.idle(t0 + 100ms + BusFramer::kDefaultHoldLimit);
    QCOMPARE(frames, QStringList{QString::fromLatin1(hex(kRequest.left(5)))});
    QCOMPARE(framer.deadline(), std::nullopt);

    // A whole frame after a silence says the damaged bytes before it end there: both come out
    // as soon as it is complete, without waiting for the line to go quiet.
    frames.clear();
    framer.feed(damaged(kReply), t0 + 200ms);
    framer.feed(kCounters, t0 + 210ms);
    QCOMPARE(frames, (QStringList{QString::fromLatin1(hex(damaged(kReply))),
                                  QString::fromLatin1(hex(kCounters))}));
}

// Whatever comes, every byte comes out once and in order, and nothing waits for ever.
void TstBusFramer::hostileBytesComeOutWhole() {
    QByteArray all;
    QByteArray out;
    BusFramer framer(kSilence, [&out](HeardFrame &&f) { out += f.bytes; });
    std::uint32_t seed = 12345;
    BusTime t{};
    for (int read = 0; read < 2000; ++read) {
        QByteArray bytes;
        seed = seed * 1664525u + 1013904223u;
        const int length = int(seed >> 24) % 40;
        for (int i = 0; i < length; ++i) {
            seed = seed * 1664525u + 1013904223u;
            bytes.append(char(seed >> 24));
        }
        if (read % 7 == 0)
            bytes += kReply;
        all += bytes;
        t += std::chrono::milliseconds(int(seed >> 28));
        framer.feed(bytes, t);
        QVERIFY(all.startsWith(out));
    }
    framer.idle(t + 1s);
    QCOMPARE(hex(out), hex(all));
    QCOMPARE(framer.deadline(), std::nullopt);
}

QTEST_GUILESS_MAIN(TstBusFramer)
#include "tst_bus_framer.moc"
