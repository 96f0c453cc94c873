#include "bus_scan.h"
#include "service_page.h"
#include "sim_session.h"

#include <QSignalSpy>
#include <QTest>

Q_DECLARE_METATYPE(corvane::FaultKind)

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const QString kBusy = QStringLiteral("Another request is in progress, please wait...");

// A scan over the simulator's pseudo-terminal, through the port the session talks on.
struct ScanRig {
    explicit ScanRig(std::initializer_list<std::pair<int, Model>> slaves) : s(slaves) {}

    bool run(const ScanOptions &options, int timeoutMs = 120000) {
        QSignalSpy done(&scan, &BusScan::finished);
        if (!scan.start(options))
            return false;
        return done.wait(timeoutMs) || !done.isEmpty();
    }

    QStringList foundAt() const {
        QStringList where;
        for (const FoundLogger &logger : scan.found())
            where << QStringLiteral("%1 %2 %3")
                         .arg(logger.address)
                         .arg(logger.line.text(), logger.model);
        return where;
    }

    SimSession s;
    SerCommScanPort port{s.comm};
    BusScan scan{s.session, port};
};

ScanOptions range(int from, int to, QList<LineSetting> settings = {},
                  std::optional<std::chrono::milliseconds> wait = 60ms) {
    ScanOptions options;
    options.from = from;
    options.to = to;
    options.settings = std::move(settings);
    options.replyWait = wait;
    return options;
}

} // namespace

class TstBusScan : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void findsEveryLoggerWithItsModel();
    void otherLineSettingsOnlyInAnAllSettingsScan();
    void stopEndsWithinOneProbeAndRestoresThePort();
    void refusesAndIsRefused();
    void faultyAnswersAreNoLoggers_data();
    void faultyAnswersAreNoLoggers();
};

// The whole designed range at the derived reply wait: silent addresses are not reported, the
// three loggers are, with model, ID and inputs. Retries set for the commands change nothing:
// silence is a scan's usual answer, and every address is probed once.
void TstBusScan::findsEveryLoggerWithItsModel() {
    ScanRig rig({{1, Model::Qtr8d}, {7, Model::Qtr6d}, {250, Model::Qtr4d}});
    rig.s.session.runner.setRetries(3);
    rig.s.sim.withLogger(7, [](LoggerModel &m) { m.setDeviceId(QStringLiteral("20261208")); });
    QVERIFY(rig.run(range(1, 250, {}, std::nullopt)));
    QCOMPARE(rig.foundAt(),
             (QStringList{"1 9600 None QTR-8D", "7 9600 None QTR-6D", "250 9600 None QTR-4D"}));
    QCOMPARE(rig.scan.found().at(1).deviceId, QStringLiteral("20261208"));
    QCOMPARE(rig.scan.found().at(2).inputs, 4);
    QCOMPARE(rig.scan.probesDone(), 250);
    QVERIFY(rig.s.out.logLines.contains(
        QStringLiteral("Found QTR-6D at address 7, 9600 None, ID 20261208")));
    QVERIFY(rig.scan.summary().startsWith(QStringLiteral(
        "Scan finished: 3 loggers found, 250 addresses x 1 line setting tried in ")));
    QVERIFY(rig.s.out.logLines.filter(QStringLiteral("No response")).isEmpty());
    QVERIFY(rig.s.out.logLines.filter(QStringLiteral("Retry")).isEmpty());
    // Nothing of the selected address's state was touched.
    QVERIFY(rig.s.session.device.DeviceType.isEmpty());
    QVERIFY(!rig.s.session.runner.isBusy());
}

void TstBusScan::otherLineSettingsOnlyInAnAllSettingsScan() {
    ScanRig rig({{9, Model::Qtr4d}});
    rig.s.sim.withLogger(9, [](LoggerModel &m) { m.setLineSettings({0, 5}); }); // 19200 even
    QVERIFY(rig.run(range(8, 10)));
    QVERIFY(rig.scan.found().isEmpty());

    QVERIFY(rig.run(range(8, 10, allLineSettings())));
    QCOMPARE(rig.foundAt(), QStringList{"9 19200 Even QTR-4D"});
    QCOMPARE(rig.scan.probesDone(), 3 * 21);
    QCOMPARE(rig.port.lineSetting(), (LineSetting{9600, QStringLiteral("None")}));
}

void TstBusScan::stopEndsWithinOneProbeAndRestoresThePort() {
    ScanRig rig({{1, Model::Qtr8d}});
    QSignalSpy progress(&rig.scan, &BusScan::progressed);
    QSignalSpy done(&rig.scan, &BusScan::finished);
    QVERIFY(rig.scan.start(range(1, 2, allLineSettings())));
    QVERIFY(QTest::qWaitFor([&] { return progress.size() >= 5; }, 60000));
    QVERIFY(rig.port.lineSetting() != (LineSetting{9600, QStringLiteral("None")}));
    const int atStop = rig.scan.probesDone();
    rig.scan.stop();
    QVERIFY(done.wait(10000));
    QCOMPARE(done.at(0).at(0).toBool(), true);
    QVERIFY(rig.scan.probesDone() <= atStop + 1);
    QCOMPARE(rig.port.lineSetting(), (LineSetting{9600, QStringLiteral("None")}));
    QVERIFY(rig.scan.summary().startsWith(QStringLiteral("Scan stopped: 0 loggers found, ")));
    QVERIFY(!rig.s.session.runner.isBusy());
}

// One request at a time, whoever asks first: the scan refuses while the information read runs,
// and the information read refuses while the scan runs, also between two probes.
void TstBusScan::refusesAndIsRefused() {
    ScanRig rig({{1, Model::Qtr8d}});
    ServicePage page(rig.s.session);
    page.readDeviceInfo();
    QVERIFY(rig.s.session.runner.isBusy());
    QVERIFY(!rig.scan.start(range(1, 3)));
    QCOMPARE(rig.s.out.logLines.last(), kBusy);
    QVERIFY(rig.s.waitIdle());

    QSignalSpy done(&rig.scan, &BusScan::finished);
    QSignalSpy progress(&rig.scan, &BusScan::progressed);
    QVERIFY(rig.scan.start(range(1, 3)));
    QVERIFY(progress.wait(10000));
    rig.s.out.logLines.clear();
    page.readDeviceInfo();
    QCOMPARE(rig.s.out.logLines, QStringList{kBusy});
    QVERIFY(done.wait(10000));
    page.readDeviceInfo();
    QVERIFY(rig.s.session.runner.isBusy());
    QVERIFY(rig.s.waitIdle());
}

void TstBusScan::faultyAnswersAreNoLoggers_data() {
    QTest::addColumn<FaultKind>("kind");
    QTest::newRow("bad CRC") << FaultKind::BadCrc;
    QTest::newRow("another address answers") << FaultKind::WrongAddress;
    QTest::newRow("exception") << FaultKind::Exception;
    QTest::newRow("silent") << FaultKind::NoReply;
}

void TstBusScan::faultyAnswersAreNoLoggers() {
    QFETCH(FaultKind, kind);
    ScanRig rig({{4, Model::Qtr8d}, {6, Model::Qtr6d}});
    FaultRule rule;
    rule.kind = kind;
    rule.slave = 4;
    rig.s.sim.addFault(rule);
    QVERIFY(rig.run(range(3, 6)));
    QCOMPARE(rig.foundAt(), QStringList{"6 9600 None QTR-6D"});
}

QTEST_MAIN(TstBusScan)
#include "tst_bus_scan.moc"
