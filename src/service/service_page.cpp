#include "service_page.h"

#include "device_session.h"
#include "error_display.h"
#include "frames.h"
#include "output.h"
#include "register_map.h"
#include "serial_line.h"
#include "value_encoding.h"

#include <QPointer>
#include <QScopeGuard>

namespace corvane {
namespace {

const QString kBitBtn24 = QStringLiteral("BitBtn24");
const QString kServicePassword = QStringLiteral("tovrek");

int pulseLengthCode(const QString &text) {
    for (const PulseLength &length : kPulseLengths) {
        if (text == QLatin1String(length.text))
            return length.code;
    }
    return -1;
}

} // namespace

ServicePage::ServicePage(DeviceSession &session, QObject *parent)
    : QObject(parent), m_session(session) {
    setUpRequestTimer(Timer_readservice, this, "Timer_readservice", false, kStepInterval);
    setUpRequestTimer(Timer_response_service, this, "Timer_response_service", true,
                      kDefaultResponseTime);
    setUpRequestTimer(Timer_service, this, "Timer_service", true, kDefaultResponseTime);
    setUpRequestTimer(Timer_code, this, "Timer_code", true, kCodeWindow);

    connect(&Timer_readservice, &QTimer::timeout, this, &ServicePage::Timer_readserviceTimer);
    connect(&Timer_response_service, &QTimer::timeout, this,
            &ServicePage::Timer_response_serviceTimer);
    connect(&Timer_service, &QTimer::timeout, this, &ServicePage::Timer_serviceTimer);
    connect(&Timer_code, &QTimer::timeout, this, &ServicePage::Timer_codeTimer);

    // The engine may outlive the page; a page that is gone holds nothing in flight.
    m_session.engine.addBusyCheck(
        [page = QPointer<ServicePage>(this)] { return page && page->isBusy(); });
}

void ServicePage::setResponseTime(std::chrono::milliseconds window) {
    Timer_response_service.setInterval(window);
    Timer_service.setInterval(window);
}

std::chrono::milliseconds ServicePage::responseTime() const {
    return Timer_response_service.intervalAsDuration();
}

bool ServicePage::isBusy() const {
    return Timer_readservice.isActive() || Timer_response_service.isActive() ||
           Timer_service.isActive() || Timer_code.isActive();
}

bool ServicePage::stopForClosedPort() {
    const bool running = isBusy();
    const bool reading = Timer_readservice.isActive();
    Timer_readservice.stop();
    Timer_response_service.stop();
    Timer_service.stop();
    Timer_code.stop();
    if (reading) {
        ServiceResponseReady = true;
        m_session.env.out.setEnabled(kBitBtn24, true);
    }
    if (running)
        m_session.state.RxBuffer.clear();
    return running;
}

QString ServicePage::text(const QString &control) const {
    return m_session.env.controls.text(control);
}

ServiceControls ServicePage::serviceControls() const {
    ServiceControls controls;
    controls.Edit_id = text(QStringLiteral("Edit_id"));
    controls.ComboBox1 = text(QStringLiteral("ComboBox1"));
    controls.ComboBox2 = text(QStringLiteral("ComboBox2"));
    controls.Edit1 = text(QStringLiteral("Edit1"));
    controls.Combo_inputs = text(QStringLiteral("Combo_inputs"));
    controls.Combo_polarity = text(QStringLiteral("Combo_polarity"));
    return controls;
}

void ServicePage::log(const QString &line) {
    m_session.env.out.log(line);
}

void ServicePage::BitBtn18Click(const QString &enteredText) {
    runGuarded([&] {
        Output &out = m_session.env.out;
        if (m_unlocked)
            return;
        if (enteredText != kServicePassword) {
            out.setText(QStringLiteral("MaskEdit1"), QString());
            out.setVisible(QStringLiteral("GroupBox4"), false);
            out.setStatus(StatusPanel::Progress, QStringLiteral("Incorrect password"));
            log(QStringLiteral("Incorrect password entered"));
            return;
        }
        m_unlocked = true;
        out.setVisible(QStringLiteral("GroupBox4"), true);
        out.setVisible(QStringLiteral("MaskEdit1"), false);
        out.setVisible(QStringLiteral("BitBtn18"), false);
        out.setVisible(QStringLiteral("Label8"), false);
    });
}

void ServicePage::sendInfoStep(int slave) {
    ModbusMaster &master = m_session.master;
    switch (ServiceStep) {
    case 1:
        master.SendReadHolding(slave, kRegClock, kClockRegisterCount);
        break;
    case 2:
        master.SendServiceQuery(slave, kServiceStatusQuery);
        break;
    case 3:
        master.SendReadInput(slave, kInRegBattery, kBatteryRegisterCount);
        break;
    case 4:
        master.SendReadDeviceId(slave, kDeviceIdCode);
        break;
    case 5:
        master.SendReadHolding(slave, kRegPulseLengthLanguage, 1);
        break;
    default:
        break;
    }
}

void ServicePage::decodeInfoStep(const QByteArray &reply) {
    DecodeContext ctx = m_session.decodeContext();
    switch (ServiceStep) {
    case 1:
        DecodeClock(reply, ctx);
        break;
    case 2:
        DecodeServiceReply(reply, kServiceKindLineSettings, ctx);
        break;
    case 3:
        DecodeBattery(reply, ctx);
        break;
    case 4:
        DecodeDeviceId(reply, ctx);
        break;
    case 5:
        DecodePulseSettings(reply, ctx);
        break;
    default:
        break;
    }
}

void ServicePage::BitBtn24Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        if (m_session.engine.refuseIfBusy())
            return;
        EngineState &state = m_session.state;
        Output &out = m_session.env.out;
        const int address = m_session.selectedAddress();
        state.RxBuffer.clear();
        state.SkipLeadingZero = true;
        const QString reading = QStringLiteral("Reading device No. ") + QString::number(address);
        out.setStatus(StatusPanel::Progress, reading);
        log(reading + QStringLiteral("..."));
        ServiceStep = 1;
        sendInfoStep(address);
        ServiceResponseReady = false;
        Timer_readservice.start();
        Timer_response_service.start();
        out.setEnabled(kBitBtn24, false);
        out.setText(QStringLiteral("Label13"),
                    QStringLiteral("Мрежов адрес: ") + QString::number(address));
    });
}

void ServicePage::BitBtn27Click() {
    BitBtn24Click();
}

void ServicePage::Timer_response_serviceTimer() {
    runGuarded([&] {
        ServiceResponseReady = true;
        Timer_response_service.stop();
        EngineState &state = m_session.state;
        if (!state.RxBuffer.isEmpty()) {
            m_session.env.out.traffic(QStringLiteral("\r"));
            decodeInfoStep(QByteArray(state.RxBuffer));
            return;
        }
        m_session.engine.reportNoResponse();
    });
}

// A step whose send fails leaves ServiceResponseReady set, so the read still moves on and ends
// with BitBtn24 enabled again.
void ServicePage::Timer_readserviceTimer() {
    runGuarded([&] {
        if (!ServiceResponseReady)
            return;
        ++ServiceStep;
        if (ServiceStep > kLastInfoStep) {
            finishInfoRead();
            return;
        }
        EngineState &state = m_session.state;
        state.RxBuffer.clear();
        state.SkipLeadingZero = true;
        sendInfoStep(m_session.selectedAddress());
        ServiceResponseReady = false;
        Timer_response_service.start();
    });
}

void ServicePage::finishInfoRead() {
    Timer_readservice.stop();
    m_session.state.RxBuffer.clear();
    const auto enable = qScopeGuard([this] { m_session.env.out.setEnabled(kBitBtn24, true); });
    m_session.env.line.InputRoom();
}

void ServicePage::sendServiceCommand(int kind) {
    const int address = m_session.selectedAddress();
    const ServiceControls controls = serviceControls();
    const ServiceCommandPlan plan = serviceCommandPlan(kind, controls, address);
    if (!plan.send) {
        if (!plan.rejection.isEmpty())
            log(plan.rejection);
        return;
    }
    if (m_session.engine.refuseIfBusy())
        return;
    EngineState &state = m_session.state;
    state.RxBuffer.clear();
    // Line settings alone leave SkipLeadingZero as it was; every other kind raises it.
    if (kind != kServiceKindLineSettings)
        state.SkipLeadingZero = true;
    const bool sent = m_session.master.SendServiceCommand(
        address, serviceSubCode(kind), kind, controls, [this] { Timer_service.start(); });
    if (sent && kind == kServiceKindDeviceId)
        log(QStringLiteral("Changing ID of device ") + QString::number(address) +
            QStringLiteral("..."));
}

void ServicePage::sendSettingWrite(int reg, int value, int placement) {
    if (m_session.engine.refuseIfBusy())
        return;
    EngineState &state = m_session.state;
    state.RxBuffer.clear();
    if (reg == kRegPulseLengthLanguage)
        log(QStringLiteral("Changing pulse length..."));
    state.SkipLeadingZero = true;
    m_session.master.SendWriteSingle(m_session.selectedAddress(), reg, value, placement);
}

void ServicePage::BitBtn19Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        const QString id = text(QStringLiteral("Edit_id"));
        if (id.isEmpty()) {
            log(QStringLiteral("You did not enter ID"));
            return;
        }
        if (id.size() != 8) {
            log(QStringLiteral("Entered ID is not correct - must be 8 digits"));
            return;
        }
        sendServiceCommand(kServiceKindDeviceId);
    });
}

void ServicePage::Button1Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        if (text(QStringLiteral("ComboBox1")).isEmpty() ||
            text(QStringLiteral("ComboBox2")).isEmpty()) {
            log(QStringLiteral("Incorrect com port data"));
            return;
        }
        sendServiceCommand(kServiceKindLineSettings);
    });
}

void ServicePage::BitBtn20Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        if (text(QStringLiteral("Edit1")).size() != 4) {
            log(QStringLiteral("User code not programmed - must be 4 digits..."));
            return;
        }
        sendServiceCommand(kServiceKindMenuCode);
    });
}

void ServicePage::Button2Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        if (m_session.engine.refuseIfBusy())
            return;
        EngineState &state = m_session.state;
        SerialLine &line = m_session.env.line;
        state.RxBuffer.clear();
        state.SkipLeadingZero = true;
        line.InputRoom();
        line.OutputRoom();
        m_session.master.SendServiceQuery(m_session.selectedAddress(), kServiceReadMenuCode);
        Timer_code.start();
    });
}

void ServicePage::BitBtn21Click() {
    runGuarded([&] {
        if (m_session.checkPort())
            sendServiceCommand(kServiceKindLock);
    });
}

void ServicePage::BitBtn22Click() {
    runGuarded([&] {
        if (m_session.checkPort())
            sendServiceCommand(kServiceKindUnlock);
    });
}

void ServicePage::BitBtn23Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        const QString inputs = text(QStringLiteral("Combo_inputs"));
        if (inputs != QLatin1String("4") && inputs != QLatin1String("6") &&
            inputs != QLatin1String("8")) {
            log(QStringLiteral("Incorrect number of inputs selected"));
            return;
        }
        sendServiceCommand(kServiceKindInputCount);
    });
}

void ServicePage::BitBtn29Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        const QString polarity = text(QStringLiteral("Combo_polarity"));
        if (polarity != QLatin1String("Positive") && polarity != QLatin1String("Negative")) {
            log(QStringLiteral("Incorrect value for polarity chosen..."));
            return;
        }
        sendServiceCommand(kServiceKindPolarity);
    });
}

// Only one byte of the address goes on the wire, so 300 would land the logger at 44 and 0
// would make it answer nobody: both are refused before anything is sent.
void ServicePage::BitBtn25Click() {
    runGuarded([&] {
        const QString typed = text(QStringLiteral("Edit_address"));
        if (typed.isEmpty()) {
            log(QStringLiteral("Address not entered"));
            return;
        }
        const int address = strictToInt(typed);
        if (!AddressStore::isValidAddress(address)) {
            log(QStringLiteral("Address must be between 1 and 250"));
            return;
        }
        if (!m_session.checkPort())
            return;
        sendSettingWrite(kRegBusAddress, address, 1);
    });
}

// The pulse length shares its register with the menu language, which this write resets to 0.
void ServicePage::BitBtn26Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        const QString length = text(QStringLiteral("Combo_pulses"));
        if (length.isEmpty()) {
            log(QStringLiteral("You did not select pulse length"));
            return;
        }
        const int code = pulseLengthCode(length);
        if (code < 0) {
            log(QStringLiteral("Selected pulse length is not valid..."));
            return;
        }
        sendSettingWrite(kRegPulseLengthLanguage, code, 2);
    });
}

void ServicePage::BitBtn30Click() {
    runGuarded([&] {
        const QString inputs = text(QStringLiteral("Combo_inputs"));
        const QString refused = QStringLiteral("Number of inputs is not correct...");
        if (inputs.isEmpty()) {
            log(refused);
            return;
        }
        if (!m_session.checkPort())
            return;
        if (inputs.size() != 1 || inputs.at(0) < QLatin1Char('1') ||
            inputs.at(0) > QLatin1Char('8')) {
            log(refused);
            return;
        }
        sendSettingWrite(kRegInputsDisplay, strictToInt(inputs), 1);
    });
}

void ServicePage::Timer_serviceTimer() {
    runGuarded([&] {
        Timer_service.stop();
        EngineState &state = m_session.state;
        const auto noResponse = [this] {
            log(TransactionEngine::noResponseText(m_session.selectedAddress()));
        };
        if (state.RxBuffer.isEmpty()) {
            noResponse();
            return;
        }
        const QByteArray reply = state.RxBuffer;
        state.RxBuffer.clear();
        DecodeContext ctx = m_session.decodeContext();
        ctx.noResponse = noResponse;
        DecodeServiceReply(reply, state.ServiceReplyKind, ctx);
    });
}

// RxBuffer keeps the answer: the next request empties it.
void ServicePage::Timer_codeTimer() {
    runGuarded([&] {
        Timer_code.stop();
        const QByteArray reply = m_session.state.RxBuffer;
        const auto noResponse = [this] {
            log(TransactionEngine::noResponseText(m_session.selectedAddress()) +
                QStringLiteral("..."));
        };
        if (reply.isEmpty()) {
            noResponse();
            return;
        }
        DecodeContext ctx = m_session.decodeContext();
        ctx.noResponse = noResponse;
        DecodeMenuCode(reply, ctx);
    });
}

} // namespace corvane
