#include "device_fixture.h"
#include "register_map.h"
#include "table_rows.h"

#include <QTest>

#include <functional>
#include <map>

using namespace corvane;
using namespace corvane::test;

namespace {

using Decoder = std::function<void(const QByteArray &, DecodeContext &)>;

// Every decoder by name, with the arguments the sequences pass.
const std::map<QString, Decoder> &decoders() {
    // The flag is whether the step that asks reports a rejected leading zero.
    const auto checked = [](bool reportLeadingZero, auto decode) {
        return [reportLeadingZero, decode](const QByteArray &raw, DecodeContext &ctx) {
            checkThenDecode(raw, reportLeadingZero, ctx, decode);
        };
    };
    static const std::map<QString, Decoder> all{
        {"word", checked(true, [](auto &r, auto &c) { DecodeWordBlock(r, kRowPulseConstant, c); })},
        {"long", checked(true,
                         [](auto &r, auto &c) {
                             DecodeLongBlock(r, LongBlockTable::Measured, kRowTotalPulses, c);
                         })},
        {"freetext", checked(true, [](auto &r, auto &c) { DecodeFreeText(r, 1, c); })},
        {"lock",
         checked(true, [](auto &, auto &c) { DecodeServiceReply(ServiceCommand::Lock, c); })},
        {"unlock",
         checked(true, [](auto &, auto &c) { DecodeServiceReply(ServiceCommand::Unlock, c); })},
        {"clock", checked(false, DecodeClock)},
        {"battery", checked(false, DecodeBattery)},
        {"status", checked(false, DecodeInputStatus)},
        {"deviceid", checked(false, DecodeDeviceId)},
        {"menucode", checked(false, DecodeMenuCode)},
        {"pulses", checked(false, DecodePulseSettings)},
    };
    return all;
}

// An identification reply: header, object count, object id, length, then the objects.
QByteArray identification(const QByteArray &objects) {
    return frame("012B0E020100000100" + QByteArray::number(objects.size() + 256, 16).mid(1) +
                 objects.toHex());
}

} // namespace

class TstDecoders : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void deviceId_data();
    void deviceId();
    void blocks_data();
    void blocks();
    void freeText_data();
    void freeText();
    void labels_data();
    void labels();
    void rejected_data();
    void rejected();
};

void TstDecoders::deviceId_data() {
    QTest::addColumn<QByteArray>("objects");
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("inputs");
    // Before each row a QTR-6D is in force; a reply naming no model leaves its layout.
    QTest::newRow("last characters") << QByteArray("QTR-4D.") << "QTR-4D" << 4;
    QTest::newRow("D before the CRC") << QByteArray("QTR-8D") << "" << 6;
    QTest::newRow("middle ignored") << QByteArray("Maker QXYZ8 v2") << "QTR-8D" << 8;
    QTest::newRow("later Q clears") << QByteArray("QTR-8D Qabcde.") << "" << 6;
    QTest::newRow("later Q decides") << QByteArray("QTR-8D QTR-4D.") << "QTR-4D" << 4;
}

void TstDecoders::deviceId() {
    QFETCH(QByteArray, objects);
    QFETCH(QString, model);
    QFETCH(int, inputs);
    DeviceFixture f;
    applyModelLayout(kModels[1], f.tables.Grid_data, f.tables.Grid_data2, f.device, f.out);
    f.out.clear();
    f.store->setModel(7, "QTR-6D");
    f.ctx.selectedAddress = 7;
    checkThenDecode(identification(objects), false, f.ctx, DecodeDeviceId);
    // Count, object id and length read as spaces; the byte before the CRC is left out.
    QCOMPARE(f.out.texts.value("Label20"), "   " + QString::fromLatin1(objects.chopped(1)));
    QCOMPARE(f.device.DeviceType, model);
    QCOMPARE(f.out.texts.value("Label21"), "Device type: " + model);
    QCOMPARE(f.out.texts.value("Label24"), "Device type: " + model);
    QCOMPARE(f.out.isEnabled("GroupBox2", false), !model.isEmpty());
    QCOMPARE(f.device.InputCount, inputs);
    QCOMPARE(f.device.LongRegisterCount, 2 * inputs);
    QCOMPARE(f.tables.Grid_data.gridColumnCount(), inputs + 1);
    QCOMPARE(f.tables.Grid_data2.gridColumnCount(), inputs + 1);
    QCOMPARE(f.store->model(7), model);
}

void TstDecoders::blocks_data() {
    QTest::addColumn<int>("row"); // negative: DecodeWordBlock
    QTest::addColumn<bool>("readMode");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("table");
    QTest::addColumn<QString>("texts"); // the columns written; the next one keeps "o"

    QTest::newRow("units") << -kRowUnit << true << frame("01030C000000010002000300040100") << 0
                           << "N/A|m3|kWh|kJ|Unknown|Unknown";
    QTest::newRow("tariff pair") << -kRowTariff4Start << true << frame("0103040617FF00") << 0
                                 << "6|255";
    QTest::newRow("word cut by CRC")
        << -kRowUserNumber << true << frame("0103080001000200") << 0 << "1|2";
    QTest::newRow("initial values")
        << kRowInitialValue << true << frame("010308FFFFFFFF000004D2") << 0 << "-0.1|123.4";
    QTest::newRow("counters") << kRowTotalPulses << false << frame("010408FFFFFFFF7FFFFFFF") << 1
                              << "-1|2147483647";
    QTest::newRow("consumption") << kRowTotalConsumption << false << frame("010408000004D200000000")
                                 << 1 << "123.4 m3|0.0 ";
    QTest::newRow("long cut by CRC")
        << kRowTariff1Pulses << false << frame("01040800000005000000") << 1 << "5";
    QTest::newRow("flow") << kFlowBlockRow << false << frame("0104040000007D") << 2 << "12.5 l/s";
}

void TstDecoders::blocks() {
    QFETCH(int, row);
    QFETCH(bool, readMode);
    QFETCH(QByteArray, reply);
    QFETCH(int, table);
    QFETCH(QString, texts);
    DeviceFixture f;
    StringGrid *grids[] = {&f.tables.Grid_data, &f.tables.Grid_data2, &f.tables.Grid_flow};
    const int gridRow = row == kFlowBlockRow ? kRowFlow : std::abs(row);
    fillRow(*grids[table], gridRow, "o|o|o|o|o|o|o|o");
    f.tables.Grid_data.setCell(1, kRowUnit, "m3");
    f.tables.Grid_data.setGridColumnCount(5);
    const LongBlockTable target = readMode ? LongBlockTable::Parameters : LongBlockTable::Measured;
    checkThenDecode(reply, true, f.ctx, [row, target](auto &r, auto &c) {
        row < 0 ? DecodeWordBlock(r, -row, c) : DecodeLongBlock(r, target, row, c);
    });
    const int written = int(texts.count('|')) + 1;
    QCOMPARE(rowTexts(*grids[table], gridRow).section('|', 0, written - 1), texts);
    QCOMPARE(grids[table]->cell(written + 1, gridRow), "o");
    if (row == -kRowTariff4Start)
        QCOMPARE(rowTexts(f.tables.Grid_data, kRowTariff4Duration), "23|0||||||");
}

void TstDecoders::freeText_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("text");
    QTest::newRow("zeros left out") << frame("01140E0D06414200430000000000000000") << "ABC";
    QTest::newRow("Windows-1251") << frame("01140E0D06D3F0E5E400000000000000B9") << "Уред№";
    QTest::newRow("cut by the CRC") << frame("01140E0D06414243") << "ABC";
    QTest::newRow("length byte") << frame("01140E0D0141424344") << "AB";
    QTest::newRow("no length byte") << frame("01140E0D") << "old";
}

void TstDecoders::freeText() {
    QFETCH(QByteArray, reply);
    QFETCH(QString, text);
    DeviceFixture f;
    fillRow(f.tables.Grid_data, kRowFreeText, "old|old|old|old|old|old|old|old");
    for (const int input : {8, 9})
        checkThenDecode(reply, true, f.ctx,
                        [input](auto &r, auto &c) { DecodeFreeText(r, input, c); });
    QCOMPARE(rowTexts(f.tables.Grid_data, kRowFreeText), "old|old|old|old|old|old|old|" + text);
}

void TstDecoders::labels_data() {
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QString>("texts"); // control=text, sorted, ';'; empty: nothing changes

    QTest::newRow("clock") << "clock" << frame("0103043C460905")
                           << "Label17=Time and Date: 09:05,  06.12.26;Label6=Time: 09:05;"
                              "Label7=Date: 06.12.26";
    QTest::newRow("year 5") << "clock" << frame("01030401BF1700")
                            << "Label17=Time and Date: 23:00,  31.01.5;Label6=Time: 23:00;"
                               "Label7=Date: 31.01.5";
    QTest::newRow("clock cut") << "clock" << frame("0103043C4609") << "";
    QTest::newRow("battery 191") << "battery" << frame("01040400BF0000")
                                 << "Label16=Battery status: 3.75;Label5=Battery status: 3.75";
    QTest::newRow("battery cut") << "battery" << frame("01040400") << "";
    QTest::newRow("status") << "status" << frame("010402000A")
                            << "Label_input_status=Current input status: 0x0A";
    QTest::newRow("status cut") << "status" << frame("01040200") << "";
    QTest::newRow("0x0201") << "pulses" << frame("0103020201")
                            << "Combo_pulses=10 ms;Label14=Language: English;"
                               "Label15=Pulse length: 10 ms";
    QTest::newRow("0x0302") << "pulses" << frame("0103020302")
                            << "Combo_pulses=15 ms;Label14=Language: Unknown;"
                               "Label15=Pulse length: 15 ms";
    QTest::newRow("pulses cut") << "pulses" << frame("01030202") << "";
    QTest::newRow("menu code") << "menucode" << frame("0147020431323334") << "Edit1=1234";
    QTest::newRow("menu code cut") << "menucode" << frame("01470204313233") << "";
    QTest::newRow("lock") << "lock" << frame("01470501") << "Label19=Current state: Locked";
    QTest::newRow("unlock") << "unlock" << frame("01471901") << "Label19=Current state: Unlocked";
}

void TstDecoders::labels() {
    QFETCH(QString, decoder);
    QFETCH(QByteArray, reply);
    QFETCH(QString, texts);
    DeviceFixture f;
    decoders().at(decoder)(reply, f.ctx);
    QStringList actual;
    for (auto it = f.out.texts.cbegin(); it != f.out.texts.cend(); ++it)
        actual << it.key() + '=' + it.value();
    actual.sort();
    QCOMPARE(actual.join(';'), texts);
    QVERIFY(f.out.logLines.isEmpty());
}

void TstDecoders::rejected_data() {
    QTest::addColumn<QString>("decoder");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("log");
    const QStringList silent{"clock", "battery", "status", "deviceid", "menucode", "pulses"};
    const QStringList garbage{"Garbage leading bytes in the telegram"};
    for (const auto &entry : decoders()) {
        const QString &name = entry.first;
        QTest::newRow(qPrintable(name + ": leading zero"))
            << name << frame("0003080000000100020003")
            << (silent.contains(name) ? QStringList{} : garbage);
        QTest::newRow(qPrintable(name + ": exception"))
            << name << frame("018402") << QStringList{"Error - ILLEGAL DATA ADDRESS\r"};
    }
}

// A rejected reply changes no cell, label, count or slot.
void TstDecoders::rejected() {
    QFETCH(QString, decoder);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, log);
    DeviceFixture f;
    int changes = 0;
    for (StringGrid *grid : {&f.tables.Grid_data, &f.tables.Grid_data2, &f.tables.Grid_flow})
        connect(grid, &QAbstractItemModel::dataChanged, this, [&changes] { ++changes; });
    decoders().at(decoder)(reply, f.ctx);
    QCOMPARE(f.out.logLines, log);
    QVERIFY(f.out.texts.isEmpty());
    QCOMPARE(changes, 0);
    QCOMPARE(f.device.InputCount, 0);
}

QTEST_GUILESS_MAIN(TstDecoders)
#include "tst_decoders.moc"
