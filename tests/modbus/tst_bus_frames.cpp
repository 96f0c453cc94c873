// Every request frame the master puts on the bus for each operator command, in order, against a
// recorded list. The request machinery may be rebuilt freely as long as this list stays the same
// byte for byte.
//
// After an intended change of the frames, regenerate the list and review its diff:
//     CORVANE_WRITE_GOLDEN=1 build/tests/modbus/tst_bus_frames
#include "device_operations.h"
#include "error_display.h"
#include "service_page.h"
#include "sim_session.h"
#include "windows1251.h"

#include <QFile>
#include <QRegularExpression>
#include <QTest>
#include <QtGlobal>

#include <algorithm>

using namespace corvane;
using namespace corvane::test;
using namespace std::chrono_literals;

namespace {

const QString kGoldenPath = QStringLiteral(CORVANE_BUS_FRAMES_GOLDEN);
// Acknowledgement of a single or multiple register write: address, function, two words, CRC.
constexpr int kWriteAckBytes = 8;

struct Frame {
    QString command;
    QString hex;
};

QString hexLine(const QByteArray &frame) {
    return QString::fromLatin1(frame.toHex(' ').toUpper());
}

// One QTR-8D at address 1, the device commands and the service page on one session, the PC
// clock fixed.
struct Bus {
    Bus() {
        ops.resetForStartup();
        sim.sim.withLogger(1, fillLogger);
        sim.session.store.setModel(1, QStringLiteral("QTR-8D"));
        ops.selectAddress(1);
        page.enterPassword(QStringLiteral("tovrek"));
    }

    // Runs one command and files the frames it sent under its name. A command with an answer
    // window is done when the session is idle; one without is done when the logger has its
    // frame and the acknowledgement is back, so it cannot spill into the next command's reply.
    template <typename Target>
    bool run(const QString &name, Target &target, CommandStart (Target::*handler)(),
             const QHash<QString, QString> &texts = {}, int framesWithoutWindow = 0) {
        sim.controls.texts = texts;
        sim.sim.resetCounters();
        const qsizetype trafficBefore = sim.out.trafficLines.size();
        (target.*handler)();
        bool done = sim.waitIdle();
        if (framesWithoutWindow > 0) {
            // Each received byte shows in the traffic pane as "XXh ".
            const auto bytesBack = [&] {
                qsizetype bytes = 0;
                for (qsizetype i = trafficBefore; i < sim.out.trafficLines.size(); ++i)
                    bytes += sim.out.trafficLines[i].count(QLatin1String("h "));
                return bytes;
            };
            done = done && QTest::qWaitFor([&] {
                       return sim.sim.receivedFrames().size() >= framesWithoutWindow &&
                              bytesBack() >= kWriteAckBytes;
                   });
        }
        for (const QByteArray &frame : sim.sim.receivedFrames())
            frames.append({name, hexLine(frame)});
        return done;
    }

    SimSession sim{{1, Model::Qtr8d}};
    DeviceOperations ops{sim.session,
                         [] { return QDateTime(QDate(2026, 3, 14), QTime(15, 9, 26)); }};
    ServicePage page{sim.session};
    QList<Frame> frames;
};

QString render(const QList<Frame> &frames) {
    QString text;
    QString command;
    for (const Frame &frame : frames) {
        if (frame.command != command) {
            command = frame.command;
            text += QStringLiteral("# ") + command + QLatin1Char('\n');
        }
        text += frame.hex + QLatin1Char('\n');
    }
    return text;
}

QList<Frame> parse(const QString &text) {
    QList<Frame> frames;
    QString command;
    for (const QString &raw : text.split(QLatin1Char('\n'))) {
        const QString line = raw.trimmed();
        if (line.startsWith(QLatin1Char('#')))
            command = line.mid(1).trimmed();
        else if (!line.isEmpty())
            frames.append({command, line});
    }
    return frames;
}

} // namespace

class TstBusFrames : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init() {
        m_errors.clear();
        setErrorSink([this](const QString &message) { m_errors << message; });
    }
    void cleanup() { setErrorSink({}); }

    void framesMatchGolden();

private:
    QStringList m_errors;
};

void TstBusFrames::framesMatchGolden() {
    Bus bus;
    QVERIFY(bus.sim.portOpen);
    DeviceOperations &ops = bus.ops;
    ServicePage &page = bus.page;
    using Ops = DeviceOperations;
    using Page = ServicePage;

    QVERIFY(bus.run("parameter read (readParameters)", ops, &Ops::readParameters));
    // The write takes the table the read has just filled.
    for (const char *box : {"Check_unit", "Check_constant", "Check_user", "Check_info",
                            "Check_tariffs", "Check_initial"})
        bus.sim.controls.checked[box] = true;
    QVERIFY(bus.run("parameter write, every group (writeParameters)", ops, &Ops::writeParameters));
    bus.sim.controls.checked.clear();
    QVERIFY(bus.run("counters (readCounters)", ops, &Ops::readCounters));
    QVERIFY(bus.run("flow (readFlow)", ops, &Ops::readFlow));
    QVERIFY(bus.run("input status (readInputStatus)", ops, &Ops::readInputStatus));
    QVERIFY(bus.run("clock write (setClock)", ops, &Ops::setClock, {}, 1));

    QVERIFY(bus.run("service information read (readDeviceInfo)", page, &Page::readDeviceInfo));
    QVERIFY(bus.run("change ID (changeDeviceId)", page, &Page::changeDeviceId,
                    {{"Edit_id", "87654321"}}));
    QVERIFY(bus.run("read code (readMenuCode)", page, &Page::readMenuCode));
    QVERIFY(
        bus.run("change code (changeMenuCode)", page, &Page::changeMenuCode, {{"Edit1", "0815"}}));
    QVERIFY(bus.run("lock (lockDevice)", page, &Page::lockDevice));
    QVERIFY(bus.run("unlock (unlockDevice)", page, &Page::unlockDevice));
    QVERIFY(bus.run("number of inputs (setInputCount)", page, &Page::setInputCount,
                    {{"Combo_inputs", "8"}}));
    QVERIFY(bus.run("polarity (setPolarity)", page, &Page::setPolarity,
                    {{"Combo_polarity", "Negative"}}));
    QVERIFY(bus.run("pulse length (changePulseLength)", page, &Page::changePulseLength,
                    {{"Combo_pulses", "50 ms"}}, 1));
    QVERIFY(bus.run("inputs display (setDisplayedInputs)", page, &Page::setDisplayedInputs,
                    {{"Combo_inputs", "6"}}, 1));
    // The logger's own line settings, so that nothing changes on the line for what follows.
    QVERIFY(bus.run("line settings (changeLineSettings)", page, &Page::changeLineSettings,
                    {{"ComboBox1", "9600"}, {"ComboBox2", "None"}}));
    // Last: the logger answers at its new address from here on.
    QVERIFY(bus.run("change address (changeAddress)", page, &Page::changeAddress,
                    {{"Edit_address", "17"}}, 1));
    QVERIFY2(m_errors.isEmpty(), qPrintable(m_errors.join('\n')));
    // A lost reply leaves a gap in the table the write sends back: that is not a frame change.
    const QStringList failures =
        bus.sim.out.logLines.filter(QRegularExpression(QStringLiteral("^(No response|Error)")));
    QVERIFY2(failures.isEmpty(), qPrintable(failures.join('\n')));

    if (qEnvironmentVariableIntValue("CORVANE_WRITE_GOLDEN") == 1) {
        QFile out(kGoldenPath);
        QVERIFY2(out.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(kGoldenPath));
        out.write(render(bus.frames).toLatin1());
        qInfo("wrote %lld frames to %s", qlonglong(bus.frames.size()), qPrintable(kGoldenPath));
        return;
    }

    QFile in(kGoldenPath);
    QVERIFY2(in.open(QIODevice::ReadOnly), qPrintable(kGoldenPath));
    const QList<Frame> golden = parse(QString::fromLatin1(in.readAll()));
    const QList<Frame> &actual = bus.frames;
    for (qsizetype i = 0; i < std::max(golden.size(), actual.size()); ++i) {
        const Frame expected = golden.value(i, {QStringLiteral("-"), QStringLiteral("(none)")});
        const Frame got = actual.value(i, {QStringLiteral("-"), QStringLiteral("(none)")});
        if (expected.command != got.command || expected.hex != got.hex) {
            QFAIL(qPrintable(QStringLiteral("frame %1 differs (of %2 expected, %3 sent)\n"
                                            "   expected [%4] %5\n"
                                            "   actual   [%6] %7")
                                 .arg(i)
                                 .arg(golden.size())
                                 .arg(actual.size())
                                 .arg(expected.command, expected.hex, got.command, got.hex)));
        }
    }
}

QTEST_GUILESS_MAIN(TstBusFrames)
#include "tst_bus_frames.moc"
