// The service page against a recording port: the password gate, the checks of every command
// and the refusal while another request is in flight; and what each service command sends.

#include "crc16.h"
#include "hex_frame.h"
#include "device_session.h"
#include "error_display.h"
#include "fake_serial_line.h"
#include "frames.h"
#include "recording_output.h"
#include "service_commands.h"
#include "service_key_filter.h"
#include "service_page.h"

#include <QTest>

#include <stdexcept>

using namespace corvane;
using namespace corvane::test;

using Texts = QHash<QString, QString>;

Q_DECLARE_METATYPE(corvane::ServiceControls)

namespace {

// The rows number the commands as the service page lists them, 1 to 7.
ServiceCommand commandOfKind(int kind) {
    return ServiceCommand(kind - 1);
}

struct Fixture {
    FakeSerialLine line;
    RecordingOutput out;
    FakeControls controls;
    bool portOpen = true;
    DeviceSession session{SessionEnvironment{line,
                                             line,
                                             out,
                                             controls,
                                             [] { return 1; },
                                             [this] { return portOpen; },
                                             {},
                                             QLocale::c()}};
    ServicePage page{session};

    // Some other sequence, as the device commands start theirs.
    bool startSequence() {
        RequestRunner::Command sequence;
        sequence.stepTimer = RequestRunner::StepTimer::Read;
        sequence.steps = {{[](int) { return std::optional<SentRequest>(); }, {}, true}};
        return session.runner.run(sequence);
    }
};

} // namespace

class TestServiceCommands : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serviceCommands_data();
    void serviceCommands();
    void serviceRejections_data();
    void serviceRejections();
    void init() {
        m_errors.clear();
        setErrorSink([this](const QString &message) { m_errors << message; });
    }
    void cleanup() { setErrorSink({}); }

    void wrongPassword_data() {
        QTest::addColumn<QString>("entered");
        QTest::newRow("empty") << QString();
        QTest::newRow("other case") << QStringLiteral("Tovrek");
        QTest::newRow("trailing blank") << QStringLiteral("tovrek ");
    }
    void wrongPassword() {
        QFETCH(QString, entered);
        Fixture f;
        f.page.enterPassword(entered);
        QCOMPARE(f.out.texts.value("MaskEdit1", "unset"), QString());
        QVERIFY(!f.out.isVisible("GroupBox4"));
        QCOMPARE(f.out.status.value(1), QStringLiteral("Incorrect password"));
        QCOMPARE(f.out.logLines, QStringList{"Incorrect password entered"});
    }

    void rightPasswordOpensForGood() {
        Fixture f;
        f.page.enterPassword(QStringLiteral("tovrek"));
        QVERIFY(f.out.isVisible("GroupBox4", false));
        for (const char *hidden : {"MaskEdit1", "BitBtn18", "Label8"})
            QVERIFY2(!f.out.isVisible(hidden), hidden);
        f.page.enterPassword(QString());
        QVERIFY(f.out.isVisible("GroupBox4") && f.out.logLines.isEmpty());
    }

    void keyFilter() {
        for (QChar key : {QChar('0'), QChar('9'), QChar(8)})
            QCOMPARE(Edit_addressKeyPress(key), key);
        for (QChar key : {QChar('a'), QChar('-'), QChar(0x0663)})
            QCOMPARE(Edit1KeyPress(key), QChar(27));
    }

    // Every refused command: its one log line, and not a byte or an RTS change on the line.
    void refused_data() {
        QTest::addColumn<QString>("handler");
        QTest::addColumn<bool>("portOpen");
        QTest::addColumn<Texts>("texts");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *handler, bool open, const Texts &texts,
                            const char *message) {
            QTest::newRow(name) << handler << open << texts << message;
        };
        const char *closed = "Serial COM port is not opened";
        const char *parity = "Incorrect COM port parity selected, aborting...";
        const char *code = "User code not programmed - must be 4 digits...";
        const char *polarity = "Incorrect value for polarity chosen...";
        const char *address = "Address must be between 1 and 250";
        const char *display = "Number of inputs is not correct...";

        row("information read, closed", "readDeviceInfo", false, {}, closed);
        row("id, closed", "changeDeviceId", false, {{"Edit_id", "12345678"}}, closed);
        row("id empty", "changeDeviceId", true, {}, "You did not enter ID");
        row("id of 7", "changeDeviceId", true, {{"Edit_id", "1234567"}},
            "Entered ID is not correct - must be 8 digits");
        row("line, closed", "changeLineSettings", false,
            {{"ComboBox1", "9600"}, {"ComboBox2", "Odd"}}, closed);
        row("speed empty", "changeLineSettings", true, {{"ComboBox2", "Odd"}},
            "Incorrect com port data");
        row("parity Mark", "changeLineSettings", true,
            {{"ComboBox1", "57600"}, {"ComboBox2", "Mark"}}, parity);
        row("parity lower case", "changeLineSettings", true,
            {{"ComboBox1", "9600"}, {"ComboBox2", "none"}}, parity);
        row("speed 57600", "changeLineSettings", true,
            {{"ComboBox1", "57600"}, {"ComboBox2", "Even"}},
            "Incorrect COM port speed selected, aborting...");
        row("code, closed", "changeMenuCode", false, {{"Edit1", "1234"}}, closed);
        row("code empty", "changeMenuCode", true, {}, code);
        row("code of 3", "changeMenuCode", true, {{"Edit1", "123"}}, code);
        row("read code, closed", "readMenuCode", false, {}, closed);
        row("lock, closed", "lockDevice", false, {}, closed);
        row("unlock, closed", "unlockDevice", false, {}, closed);
        row("inputs, closed", "setInputCount", false, {{"Combo_inputs", "8"}}, closed);
        row("inputs empty", "setInputCount", true, {}, "Incorrect number of inputs selected");
        row("inputs 5", "setInputCount", true, {{"Combo_inputs", "5"}},
            "Incorrect number of inputs selected");
        row("polarity, closed", "setPolarity", false, {{"Combo_polarity", "Negative"}}, closed);
        row("polarity empty", "setPolarity", true, {}, polarity);
        row("polarity lower case", "setPolarity", true, {{"Combo_polarity", "positive"}}, polarity);
        row("address empty, closed", "changeAddress", false, {}, "Address not entered");
        row("address 0", "changeAddress", true, {{"Edit_address", "0"}}, address);
        row("address 251", "changeAddress", true, {{"Edit_address", "251"}}, address);
        row("address 300, closed", "changeAddress", false, {{"Edit_address", "300"}}, address);
        row("address, closed", "changeAddress", false, {{"Edit_address", "12"}}, closed);
        row("pulses, closed", "changePulseLength", false, {{"Combo_pulses", "20 ms"}}, closed);
        row("pulses empty", "changePulseLength", true, {}, "You did not select pulse length");
        row("pulses 15 ms", "changePulseLength", true, {{"Combo_pulses", "15 ms"}},
            "Selected pulse length is not valid...");
        row("display empty, closed", "setDisplayedInputs", false, {}, display);
        row("display, closed", "setDisplayedInputs", false, {{"Combo_inputs", "3"}}, closed);
        row("display 9", "setDisplayedInputs", true, {{"Combo_inputs", "9"}}, display);
        row("display 10", "setDisplayedInputs", true, {{"Combo_inputs", "10"}}, display);
    }
    void refused() {
        QFETCH(QString, handler);
        QFETCH(bool, portOpen);
        QFETCH(Texts, texts);
        QFETCH(QString, message);
        Fixture f;
        f.portOpen = f.line.open = portOpen;
        f.controls.texts = texts;
        QVERIFY(QMetaObject::invokeMethod(&f.page, handler.toLatin1().constData()));
        QCOMPARE(f.out.logLines, QStringList{message});
        QVERIFY2(f.line.events.empty(), qPrintable(f.line.timeline()));
        QVERIFY(f.out.texts.isEmpty() && !f.page.isBusy() && m_errors.isEmpty());
    }

    // A pasted text is not a number: the conversion error reaches the error display.
    void addressNotANumber_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "1a"
                                << "1a";
        // The message shows what would otherwise end it or vanish.
        QTest::newRow("NUL") << QString(" 1") + QChar(0) + "-3 "
                             << " 1\\x00-3 ";
        QTest::newRow("NUL, then letters") << QString("12") + QChar(0) + "abc"
                                           << "12\\x00abc";
    }
    void addressNotANumber() {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        Fixture f;
        f.controls.texts = {{"Edit_address", typed}};
        f.page.changeAddress();
        QCOMPARE(m_errors, QStringList{"'" + shown + "' is not a valid integer value"});
        QVERIFY(f.out.logLines.isEmpty() && f.line.events.empty());
    }

    // While an answer window is open every other request is refused after its own checks; while
    // another sequence runs the page refuses alike.
    void refusedWhileBusy() {
        Fixture f;
        f.page.lockDevice();
        f.out.clear();
        f.line.frames.clear();
        f.controls.texts = {{"Edit1", "123"}, {"Edit_address", "5"}};
        f.page.changeMenuCode();
        f.page.changeAddress();
        f.page.readDeviceInfo();
        QVERIFY(!f.startSequence());
        const QString busy = QStringLiteral("Another request is in progress, please wait...");
        QCOMPARE(f.out.logLines,
                 QStringList({"User code not programmed - must be 4 digits...", busy, busy, busy}));
        QVERIFY(f.line.frames.isEmpty() && !f.out.texts.contains("Label13"));

        f.session.runner.windowClosed();
        QCOMPARE(f.out.logLines.last(), QStringLiteral("No response from device 1"));
        QVERIFY(f.startSequence());
        f.page.unlockDevice();
        QCOMPARE(f.out.logLines.last(), busy);
    }

    // A port error in the middle of the information read costs that step only: the read still
    // ends and gives BitBtn24 back.
    void portErrorDuringInfoRead() {
        Fixture f;
        f.page.readDeviceInfo();
        f.session.runner.windowClosed();
        f.line.fault = [](FakeSerialLine::Kind kind) {
            if (kind == FakeSerialLine::Kind::Byte)
                throw std::runtime_error("Write error");
        };
        f.session.runner.stepTick();
        QCOMPARE(m_errors, QStringList{"Write error"});
        f.line.fault = {};
        for (int tick = 0; tick < 10 && f.page.isBusy(); ++tick) {
            f.session.runner.stepTick();
            if (f.page.responseServiceTimer().isActive())
                f.session.runner.windowClosed();
        }
        QVERIFY(!f.page.isBusy() && f.out.isEnabled("BitBtn24", false));
    }

private:
    QStringList m_errors;
};

void TestServiceCommands::serviceCommands_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<ServiceControls>("controls");
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QString>("logLine");
    ServiceControls c{"12345678", "9600", "Odd", "0427", "6", "Negative"};
    QTest::newRow("1 device id") << 1 << c << withCrc("0547000412345678") << QString();
    ServiceControls zeros = c;
    zeros.Edit_id = QStringLiteral("00000000");
    QTest::newRow("1 device id zeros") << 1 << zeros << withCrc("0547000400000000") << QString();
    QTest::newRow("2 line settings")
        << 2 << c << withCrc("054701020104") << "Changing communication settings...";
    QTest::newRow("3 menu code") << 3 << c << withCrc("0547030430343237")
                                 << "Changing user code for menu access...";
    QTest::newRow("4 unlock") << 4 << c << withCrc("0547190101") << "Unlocking device 5...";
    QTest::newRow("5 inputs") << 5 << c << withCrc("05472A01BA")
                              << "Changing number of pulse inputs for device 5...";
    QTest::newRow("6 lock") << 6 << c << withCrc("0547050155") << "Locking device 5...";
    QTest::newRow("7 negative") << 7 << c << withCrc("0547320101")
                                << "Changing polarity of pulse inputs for devie 5...";
    c.Combo_polarity = QStringLiteral("positive");
    QTest::newRow("7 other text") << 7 << c << withCrc("0547320100")
                                  << "Changing polarity of pulse inputs for devie 5...";
}

void TestServiceCommands::serviceCommands() {
    QFETCH(int, kind);
    QFETCH(ServiceControls, controls);
    QFETCH(QByteArray, frame);
    QFETCH(QString, logLine);
    const ServiceCommand command = commandOfKind(kind);
    const ServiceCommandPlan plan = serviceCommandPlan(command, controls, 5);
    QVERIFY(plan.send);
    QCOMPARE(serviceCommandFrame(5, serviceSubCode(command), plan.data).toHex(' '),
             frame.toHex(' '));
    QCOMPARE(plan.logLine, logLine);
}

void TestServiceCommands::serviceRejections_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<ServiceControls>("controls");
    QTest::addColumn<QString>("message"); // empty: a conversion error is raised instead
    const ServiceControls c{"12345678", "9600", "Odd", "0427", "6", "Negative"};
    auto with = [&c](auto member, const char *text) {
        ServiceControls changed = c;
        changed.*member = QLatin1String(text);
        return changed;
    };
    const QString parity = QStringLiteral("Incorrect COM port parity selected, aborting...");
    QTest::newRow("2 parity Mark") << 2 << with(&ServiceControls::ComboBox2, "Mark") << parity;
    ServiceControls both = with(&ServiceControls::ComboBox2, "even");
    both.ComboBox1 = QStringLiteral("57600");
    QTest::newRow("2 parity tested before speed") << 2 << both << parity;
    QTest::newRow("2 speed 57600") << 2 << with(&ServiceControls::ComboBox1, "57600")
                                   << "Incorrect COM port speed selected, aborting...";
    QTest::newRow("5 inputs 5") << 5 << with(&ServiceControls::Combo_inputs, "5")
                                << "Incorrect number of inputs selected...";
    QTest::newRow("5 inputs empty") << 5 << with(&ServiceControls::Combo_inputs, "")
                                    << "Incorrect number of inputs selected...";
    QTest::newRow("1 id not digits")
        << 1 << with(&ServiceControls::Edit_id, "1234567A") << QString();
    QTest::newRow("1 id too short") << 1 << with(&ServiceControls::Edit_id, "1234") << QString();
    QTest::newRow("3 code too short") << 3 << with(&ServiceControls::Edit1, "123") << QString();
}

void TestServiceCommands::serviceRejections() {
    QFETCH(int, kind);
    QFETCH(ServiceControls, controls);
    QFETCH(QString, message);
    if (message.isEmpty()) {
        QVERIFY_THROWS_EXCEPTION(std::invalid_argument,
                                 serviceCommandPlan(commandOfKind(kind), controls, 5));
        return;
    }
    const ServiceCommandPlan plan = serviceCommandPlan(commandOfKind(kind), controls, 5);
    QVERIFY(!plan.send);
    QCOMPARE(plan.rejection, message);
}

QTEST_GUILESS_MAIN(TestServiceCommands)
#include "tst_service_commands.moc"
