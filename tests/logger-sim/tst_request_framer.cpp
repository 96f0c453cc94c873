#include "request_framer.h"
#include "sim_test_support.h"

#include <QTest>

using namespace corvane;
using corvane::test::frame;

namespace {

const QByteArray kRead = frame("010380000008");
const QByteArray kWrite = frame("0110803E000204000001F4");
const QByteArray kFileRead = frame("01140706000A00000006");
const QByteArray kFileWrite = frame("01150B06000A0002000241424300");
const QByteArray kIdentify = frame("012B0E0200");
const QByteArray kService = frame("0147030439383736");
const QByteArray kQuery = frame("01470400");

QList<QByteArray> framesOf(RequestFramer &framer) {
    QList<QByteArray> frames;
    while (const auto next = framer.nextFrame())
        frames.append(*next);
    return frames;
}

} // namespace

class TstRequestFramer : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void framesAndGarbage_data();
    void framesAndGarbage();
    void incompleteFrameWaits();
    void staleHeaderIsGivenUp();
};

void TstRequestFramer::framesAndGarbage_data() {
    QTest::addColumn<QByteArray>("stream");
    QTest::addColumn<QList<QByteArray>>("frames");
    QTest::addColumn<QByteArray>("garbage");
    QByteArray spoilt = kRead;
    spoilt[7] = char(spoilt[7] ^ 0x40);
    QTest::newRow("read") << kRead << QList<QByteArray>{kRead} << QByteArray();
    QTest::newRow("every kind, back to back")
        << kRead + kWrite + kFileRead + kFileWrite + kIdentify + kService + kQuery
        << QList<QByteArray>{kRead, kWrite, kFileRead, kFileWrite, kIdentify, kService, kQuery}
        << QByteArray();
    QTest::newRow("noise byte in front") << QByteArray::fromHex("FF") + kRead
                                         << QList<QByteArray>{kRead} << QByteArray::fromHex("FF");
    QTest::newRow("zeros in front")
        << QByteArray(2, '\0') + kWrite << QList<QByteArray>{kWrite} << QByteArray(2, '\0');
    QTest::newRow("unknown function in front")
        << QByteArray::fromHex("0199") + kService << QList<QByteArray>{kService}
        << QByteArray::fromHex("0199");
    QTest::newRow("frame with a bad CRC, then a good one")
        << spoilt + kRead << QList<QByteArray>{kRead} << spoilt;
    QTest::newRow("half a frame, then a whole one")
        << kFileRead.left(5) + kRead << QList<QByteArray>{kRead} << kFileRead.left(5);
}

void TstRequestFramer::framesAndGarbage() {
    QFETCH(QByteArray, stream);
    QFETCH(QList<QByteArray>, frames);
    QFETCH(QByteArray, garbage);
    RequestFramer whole;
    whole.feed(stream);
    QCOMPARE(framesOf(whole), frames);
    QCOMPARE(whole.takeDiscarded().toHex(' '), garbage.toHex(' '));
    QVERIFY(!whole.hasPartialFrame());

    // Byte by byte, as a master that pauses after every byte sends it.
    RequestFramer single;
    QList<QByteArray> found;
    for (char byte : stream) {
        single.feed(QByteArray(1, byte));
        found += framesOf(single);
    }
    QCOMPARE(found, frames);
    QCOMPARE(single.takeDiscarded().toHex(' '), garbage.toHex(' '));
}

void TstRequestFramer::incompleteFrameWaits() {
    RequestFramer framer;
    framer.feed(kWrite.left(kWrite.size() - 1));
    QVERIFY(!framer.nextFrame());
    QVERIFY(framer.hasPartialFrame());
    QVERIFY(framer.takeDiscarded().isEmpty());
    framer.feed(kWrite.right(1));
    QCOMPARE(framer.nextFrame(), std::optional<QByteArray>(kWrite));
}

void TstRequestFramer::staleHeaderIsGivenUp() {
    // Noise that reads as the head of a long write holds the request behind it until the
    // line has been quiet long enough for the owner of the framer to give up on it.
    const QByteArray noise = QByteArray::fromHex("01100000 0000F0");
    RequestFramer framer;
    framer.feed(noise + kRead);
    QVERIFY(!framer.nextFrame());
    framer.dropFirstByte();
    QCOMPARE(framer.nextFrame(), std::optional<QByteArray>(kRead));
    QCOMPARE(framer.takeDiscarded(), noise);
}

QTEST_GUILESS_MAIN(TstRequestFramer)
#include "tst_request_framer.moc"
