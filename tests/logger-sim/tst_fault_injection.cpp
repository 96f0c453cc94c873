#include "check_response.h"
#include "fault_plan.h"
#include "recording_output.h"
#include "sim_test_support.h"

#include <QTest>

using namespace corvane;
using namespace std::chrono_literals;
using corvane::test::frame;

Q_DECLARE_METATYPE(corvane::FaultRule)

namespace {

FaultRule rule(FaultKind kind) {
    FaultRule fault;
    fault.kind = kind;
    return fault;
}

// What the master's receive path does before any check: zeros in front of the first byte go.
QByteArray withoutLeadingZeros(const QByteArray &bytes) {
    qsizetype first = 0;
    while (first < bytes.size() && bytes.at(first) == '\0')
        ++first;
    return bytes.mid(first);
}

const QByteArray kReadUnits = frame("010380000004");
const QByteArray kUnitsReply = frame("01030800010001000100 01");

} // namespace

class TstFaultInjection : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void faultAsTheMasterSeesIt_data();
    void faultAsTheMasterSeesIt();
    void timingFaults();
    void silence();
    void rulesMatchTheirRequestsOnly();
    void countedRulesWearOff();
    void randomFaultsFollowTheSeed();
    void parseFault_data();
    void parseFault();
    void parseFaultErrors_data();
    void parseFaultErrors();

private:
    std::unique_ptr<test::ManualSim> m_fixture;
    LoggerSimulator &sim() { return m_fixture->sim; }
};

void TstFaultInjection::init() {
    m_fixture = std::make_unique<test::ManualSim>();
    QVERIFY(sim().addSlave(1, Model::Qtr8d));
    QVERIFY(sim().addSlave(2, Model::Qtr4d));
}

void TstFaultInjection::faultAsTheMasterSeesIt_data() {
    QTest::addColumn<FaultRule>("fault");
    QTest::addColumn<bool>("dropLeadingZeros");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QByteArray>("reply");
    FaultRule exception = rule(FaultKind::Exception);
    exception.exceptionCode = 2;
    FaultRule busy = rule(FaultKind::Exception);
    busy.exceptionCode = 6;
    FaultRule zeros = rule(FaultKind::LeadingZeros);
    zeros.zeroCount = 3;
    FaultRule moved = rule(FaultKind::WrongAddress);
    moved.replyAddress = 9;
    const QStringList none;
    QTest::newRow("bad CRC") << rule(FaultKind::BadCrc) << true << false
                             << QStringList{"Error in CRC field\r"} << QByteArray();
    QTest::newRow("illegal data address")
        << exception << true << false << QStringList{"Error - ILLEGAL DATA ADDRESS\r"}
        << frame("018302");
    QTest::newRow("slave device busy")
        << busy << true << false << QStringList{"Error - SLAVE DEVICE BUSY\r"} << frame("018306");
    QTest::newRow("leading zeros, dropped by the receive path")
        << zeros << true << true << none << QByteArray(3, '\0') + kUnitsReply;
    QTest::newRow("leading zeros, kept")
        << zeros << false << false << QStringList{"Error in CRC field\r"}
        << QByteArray(3, '\0') + kUnitsReply;
    QTest::newRow("trailing filler") << rule(FaultKind::TrailingFiller) << true << true << none
                                     << kUnitsReply + QByteArray(1, '\0');
    QTest::newRow("wrong slave address")
        << moved << true << true << none << frame("09030800010001000100 01");
}

void TstFaultInjection::faultAsTheMasterSeesIt() {
    QFETCH(FaultRule, fault);
    QFETCH(bool, dropLeadingZeros);
    QFETCH(bool, accepted);
    QFETCH(QStringList, log);
    QFETCH(QByteArray, reply);
    sim().addFault(fault);
    const QByteArray bytes = sim().handleRequest(kReadUnits);
    if (!reply.isEmpty())
        QCOMPARE(bytes.toHex(' '), reply.toHex(' '));
    test::RecordingOutput out;
    const ReplyVerdict checked =
        CheckResponse(dropLeadingZeros ? withoutLeadingZeros(bytes) : bytes);
    reportVerdict(checked, {}, 0, 0, out);
    QCOMPARE(checked.accepted(), accepted);
    QCOMPARE(out.logLines, log);
    if (accepted)
        QCOMPARE(checked.crcPosition, kUnitsReply.size() - 2);
    if (log.value(0).startsWith(QLatin1String("Error in CRC")))
        QCOMPARE(out.status.value(StatusPanel::Progress), QStringLiteral("Error in CRC field"));
}

void TstFaultInjection::timingFaults() {
    FaultRule split = rule(FaultKind::Split);
    split.parts = 3;
    split.partPause = 30ms;
    FaultRule delay = rule(FaultKind::Delay);
    delay.delay = 900ms;
    sim().addFault(split);
    sim().addFault(delay);
    const SimResponse response = sim().respond(kReadUnits);
    QCOMPARE(response.bytes(), kUnitsReply);
    QCOMPARE(response.chunks.size(), 3);
    QCOMPARE(response.chunks[0].pauseBefore, 900ms);
    QCOMPARE(response.chunks[1].pauseBefore, 30ms);
    QCOMPARE(response.chunks[2].pauseBefore, 30ms);
    // Each piece alone fails the check; only the whole reply passes.
    QVERIFY(!CheckResponse(response.chunks[0].bytes).accepted());
    QVERIFY(CheckResponse(response.bytes()).accepted());
}

void TstFaultInjection::silence() {
    sim().addFault(rule(FaultKind::NoReply));
    QVERIFY(sim().respond(kReadUnits).silent());
    // The request still reached the logger: writes act although nobody hears the answer.
    QVERIFY(sim().handleRequest(frame("010680150002")).isEmpty());
    QCOMPARE(sim().logger(1).inputsDisplayed(), 2);
    QCOMPARE(sim().requestCount(1), 2);
}

void TstFaultInjection::rulesMatchTheirRequestsOnly() {
    FaultRule narrow = rule(FaultKind::NoReply);
    narrow.slave = 1;
    narrow.function = 0x03;
    narrow.target = 0x8009; // inside the pulse-constant block
    sim().addFault(narrow);
    FaultRule subCode = rule(FaultKind::NoReply);
    subCode.function = 0x47;
    subCode.target = 2;
    sim().addFault(subCode);
    QVERIFY(!sim().handleRequest(frame("010380000008")).isEmpty());
    QVERIFY(sim().handleRequest(frame("010380080008")).isEmpty());
    QVERIFY(!sim().handleRequest(frame("010380000009")).isEmpty()); // ends before 0x8009
    QVERIFY(!sim().handleRequest(frame("020380080004")).isEmpty());
    QVERIFY(!sim().handleRequest(frame("010400000010")).isEmpty());
    QVERIFY(sim().handleRequest(frame("01470200")).isEmpty());
    QVERIFY(!sim().handleRequest(frame("01470400")).isEmpty());
}

void TstFaultInjection::countedRulesWearOff() {
    FaultRule once = rule(FaultKind::BadCrc);
    once.times = 1;
    sim().addFault(once);
    const int lasting = sim().addFault(rule(FaultKind::TrailingFiller));
    QCOMPARE(sim().handleRequest(kReadUnits).size(), kUnitsReply.size() + 1);
    QCOMPARE(sim().handleRequest(kReadUnits), kUnitsReply + QByteArray(1, '\0'));
    sim().removeFault(lasting);
    QCOMPARE(sim().handleRequest(kReadUnits), kUnitsReply);
}

void TstFaultInjection::randomFaultsFollowTheSeed() {
    // Each request as "bytes faults", so that two runs compare in one go.
    auto run = [this](double rate, std::uint32_t seed) {
        sim().setRandomFaults(rate, seed);
        QStringList replies;
        for (int i = 0; i < 200; ++i) {
            const SimResponse response = sim().respond(kReadUnits);
            replies.append(QString::fromLatin1(response.bytes().toHex()) + u' ' +
                           response.faults.join(u','));
        }
        return replies;
    };
    auto faulted = [](const QStringList &replies) {
        return std::count_if(replies.cbegin(), replies.cend(),
                             [](const QString &reply) { return !reply.endsWith(u' '); });
    };
    const QStringList first = run(0.3, 42);
    QCOMPARE(run(0.3, 42), first);
    QVERIFY(run(0.3, 43) != first);
    QVERIFY2(faulted(first) > 30 && faulted(first) < 90, qPrintable(first.join(u'\n')));
    QCOMPARE(faulted(run(1.0, 1)), qsizetype(200));
    QCOMPARE(faulted(run(0.0, 1)), qsizetype(0));
}

void TstFaultInjection::parseFault_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("defaults") << "filler"
                              << "filler -1 -1 -1 -1 800 4 2 3 20 -1";
    QTest::newRow("delay for one function") << "delay=1500,function=3"
                                            << "delay -1 3 -1 -1 1500 4 2 3 20 -1";
    QTest::newRow("exception once at a register") << "exception=2,register=0x8000,times=1,slave=7"
                                                  << "exception 7 -1 32768 1 800 2 2 3 20 -1";
    QTest::newRow("split with pause") << "split=4,pause=50"
                                      << "split -1 -1 -1 -1 800 4 2 4 50 -1";
    QTest::newRow("wrong address, sub-code") << "wrong-address=9,function=0x47,target=4"
                                             << "wrong-address -1 71 4 -1 800 4 2 3 20 9";
}

void TstFaultInjection::parseFault() {
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QString error;
    const auto rule = parseFaultRule(text, &error);
    QVERIFY2(rule, qPrintable(error));
    const QList<qint64> fields = {rule->slave,       rule->function,      rule->target,
                                  rule->times,       rule->delay.count(), rule->exceptionCode,
                                  rule->zeroCount,   rule->parts,         rule->partPause.count(),
                                  rule->replyAddress};
    QString described = faultKindName(rule->kind);
    for (qint64 field : fields)
        described += u' ' + QString::number(field);
    QCOMPARE(described, expected);
}

void TstFaultInjection::parseFaultErrors_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("unknown kind") << "explode";
    QTest::newRow("value on a kind without one") << "bad-crc=3";
    QTest::newRow("not a number") << "delay=soon";
    QTest::newRow("unknown key") << "delay=5,colour=3";
    QTest::newRow("split in one part") << "split=1";
    QTest::newRow("exception 0") << "exception=0";
}

void TstFaultInjection::parseFaultErrors() {
    QFETCH(QString, text);
    QString error;
    QVERIFY(!parseFaultRule(text, &error));
    QVERIFY(!error.isEmpty());
}

QTEST_GUILESS_MAIN(TstFaultInjection)
#include "tst_fault_injection.moc"
