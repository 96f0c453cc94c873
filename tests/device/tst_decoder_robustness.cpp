#include "check_response.h"
#include "device_fixture.h"
#include "table_rows.h"

#include <QTest>

#include <algorithm>
#include <cstring>
#include <random>

using namespace corvane;
using namespace corvane::test;

class TstDecoderRobustness : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void randomAndMutatedReplies();
};

// 100,000 replies go through every decoder, each from its own exact-size heap block so that a
// read past its end is caught by the address sanitizer: random bytes, or well-formed replies
// with bytes changed, cut short, the byte count or length byte replaced, or bytes added. Most
// get a correct CRC so that they reach the decoding; some the 0x00 filler the line may add.
// A rejected reply must change nothing, and the model state must stay consistent.
void TstDecoderRobustness::randomAndMutatedReplies() {
    const QList<QByteArray> bodies =
        QByteArray("01031000000001000200030004000500060007 0103020201 0103043C460905 "
                   "010320FFFFFFFF000004D27FFFFFFF800000000000000100000002000000030000000F "
                   "01140E0D06D3F0E5E400410042004300440045 01040400BF0000 0147020431323334 "
                   "012B0E020100000200065154522D344401065154522D364420 018302")
            .split(' ');
    std::mt19937 random(20261206);
    auto pick = [&random](int bound) { return int(random() % std::uint32_t(bound)); };
    DeviceFixture f;
    long gridChanges = 0;
    for (StringGrid *grid : {&f.tables.Grid_data, &f.tables.Grid_data2, &f.tables.Grid_flow})
        connect(grid, &QAbstractItemModel::dataChanged, this, [&gridChanges] { ++gridChanges; });

    int accepted = 0;
    for (int i = 0; i < 100'000; ++i) {
        QByteArray made = QByteArray::fromHex(bodies.at(pick(int(bodies.size()))));
        const int mutation = pick(5);
        if (mutation == 0)
            made.resize(pick(301));
        for (int n = 0; mutation == 0 && n < made.size(); ++n)
            made[n] = char(pick(256));
        for (int flips = 1 + pick(3); mutation == 1 && flips > 0; --flips)
            made[pick(int(made.size()))] = char(pick(256));
        if (mutation == 2)
            made.truncate(pick(int(made.size()) + 1));
        if (mutation == 3) // the byte count, or a length or type byte after it
            made[2 + pick(std::min(3, int(made.size()) - 2))] = char(pick(256));
        for (int extra = 1 + pick(20); mutation == 4 && extra > 0; --extra)
            made.append(char(pick(256)));
        if (pick(4) != 0)
            appendCrc(made);
        if (pick(8) == 0)
            made.append('\0');
        // An empty buffer never reaches a decoder: the window reports it as no response.
        if (made.isEmpty())
            continue;
        const auto block = std::make_unique<char[]>(std::size_t(made.size()));
        std::memcpy(block.get(), made.constData(), std::size_t(made.size()));
        const QByteArray reply = QByteArray::fromRawData(block.get(), made.size());

        // Cleared each time: a million decoder calls would pile up log lines.
        f.out.clear();
        const bool ok = CheckResponse(reply).accepted();
        accepted += ok;
        const long changesBefore = gridChanges;
        const QString modelBefore = f.device.DeviceType;
        const LongBlockTable table =
            pick(2) == 0 ? LongBlockTable::Parameters : LongBlockTable::Measured;
        f.ctx.selectedAddress = 1 + pick(AddressStore::kLastAddress);
        const int wordRow = pick(18), longRow = pick(2) == 0 ? kFlowBlockRow : pick(18);
        const int input = pick(10), kind = pick(9);
        checkThenDecode(reply, true, f.ctx, [&](const ModbusReply &r, DecodeContext &c) {
            DecodeWordBlock(r, wordRow, c);
            DecodeLongBlock(r, table, longRow, c);
            DecodeFreeText(r, input, c);
            DecodeServiceReply(ServiceCommand(kind % 7), c);
        });
        checkThenDecode(reply, false, f.ctx, [](const ModbusReply &r, DecodeContext &c) {
            DecodeClock(r, c);
            DecodeBattery(r, c);
            DecodeInputStatus(r, c);
            DecodeDeviceId(r, c);
            DecodeMenuCode(r, c);
            DecodePulseSettings(r, c);
        });

        if (!ok) {
            QCOMPARE(gridChanges, changesBefore);
            QCOMPARE(f.device.DeviceType, modelBefore);
            QVERIFY(f.out.texts.isEmpty());
        }
        QVERIFY(f.device.DeviceType.isEmpty() || findModel(f.device.DeviceType));
        QCOMPARE(f.device.LongRegisterCount, 2 * f.device.InputCount);
        QVERIFY(QList<int>({0, 4, 6, 8}).contains(f.device.InputCount));
        const int columns = f.device.InputCount == 0 ? 9 : f.device.InputCount + 1;
        QCOMPARE(f.tables.Grid_data.gridColumnCount(), columns);
        QCOMPARE(f.tables.Grid_data2.gridColumnCount(), columns);
    }
    qInfo("%d replies passed the checks", accepted);
    // Unless most get past the checks, the decoding itself goes untested.
    QVERIFY(accepted > 50'000);
}

QTEST_GUILESS_MAIN(TstDecoderRobustness)
#include "tst_decoder_robustness.moc"
