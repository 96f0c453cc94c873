#include "service_page.h"

#include "service_commands.h"

#include "device_session.h"
#include "error_display.h"
#include "frames.h"
#include "modbus_reply.h"
#include "register_map.h"
#include "serial_line.h"
#include "value_encoding.h"

#include <QPointer>
#include <QScopeGuard>

namespace corvane {
namespace {

using Field = ControlReader::Field;

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
    buildInfoRead();
}

bool ServicePage::isBusy() const {
    return m_session.runner.isBusy();
}

const QTimer &ServicePage::responseServiceTimer() const {
    return m_session.runner.timer(RequestRunner::Window::ResponseService);
}

QString ServicePage::text(ControlReader::Field field) const {
    return m_session.env.controls.text(field);
}

ServiceControls ServicePage::serviceControls() const {
    ServiceControls controls;
    controls.Edit_id = text(Field::DeviceId);
    controls.ComboBox1 = text(Field::Speed);
    controls.ComboBox2 = text(Field::Parity);
    controls.Edit1 = text(Field::MenuCode);
    controls.Combo_inputs = text(Field::InputCount);
    controls.Combo_polarity = text(Field::Polarity);
    return controls;
}

void ServicePage::log(const QString &line) {
    m_session.env.out.log(line);
}

void ServicePage::BitBtn18Click(const QString &enteredText) {
    runGuarded([&] {
        DeviceView &out = m_session.env.out;
        if (m_unlocked)
            return;
        if (enteredText != kServicePassword) {
            out.showPasswordRefused();
            out.setStatus(StatusPanel::Progress, QStringLiteral("Incorrect password"));
            log(QStringLiteral("Incorrect password entered"));
            return;
        }
        m_unlocked = true;
        out.showServicePageOpen();
    });
}

void ServicePage::buildInfoRead() {
    DeviceSession &s = m_session;
    ModbusMaster &master = s.master;
    RequestRunner::Command &read = m_infoRead;
    read.name = "device information";
    read.stepTimer = RequestRunner::StepTimer::ReadService;
    read.finished = "Information read finished";
    read.window = RequestRunner::Window::ResponseService;
    read.steps = {
        {[&master](int slave) {
             master.SendReadHolding(slave, kRegClock, kClockRegisterCount);
             return true;
         },
         m_session.decoder(DecodeClock), false},
        {[&master](int slave) {
             master.SendServiceQuery(slave, kServiceStatusQuery);
             return true;
         },
         m_session.decoder([this](const ModbusReply &reply, DecodeContext &c) {
             m_lastStatus = parseStatusReply(reply);
             DecodeServiceReply(kServiceKindLineSettings, c);
         }),
         true},
        {[&master](int slave) {
             master.SendReadInput(slave, kInRegBattery, kBatteryRegisterCount);
             return true;
         },
         m_session.decoder(DecodeBattery), false},
        {[&master](int slave) {
             master.SendReadDeviceId(slave, kDeviceIdCode);
             return true;
         },
         m_session.decoder(DecodeDeviceId), false},
        {[&master](int slave) {
             master.SendReadHolding(slave, kRegPulseLengthLanguage, 1);
             return true;
         },
         m_session.decoder(DecodePulseSettings), false},
    };
    s.announceAndGrey(read, QStringLiteral("Reading device No. "), true,
                      DeviceView::Command::DeviceInfo);
    read.onStart = [this, &s, announce = read.onStart] {
        m_lastStatus.reset();
        announce();
        s.env.out.showInfoAddress(s.runner.currentAddress());
    };
}

void ServicePage::BitBtn24Click() {
    runGuarded([&] {
        if (m_session.checkPort())
            m_session.runner.run(m_infoRead);
    });
}

void ServicePage::BitBtn27Click() {
    BitBtn24Click();
}

void ServicePage::sendServiceCommand(int kind) {
    const int address = m_session.selectedAddress();
    const ServiceCommandPlan plan = serviceCommandPlan(kind, serviceControls(), address);
    if (!plan.send) {
        if (!plan.rejection.isEmpty())
            log(plan.rejection);
        return;
    }
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "service command";
    command.window = RequestRunner::Window::Service;
    // Line settings leave SkipLeadingZero as it was; every other kind raises it.
    command.raiseSkipLeadingZero = kind != kServiceKindLineSettings;
    command.markReplyEnd = false;
    command.keepReply = false;
    command.noReply = RequestRunner::NoReply::Log;
    command.steps.push_back({[&s, plan, kind](int slave) {
                                 if (!plan.logLine.isEmpty())
                                     s.env.out.log(plan.logLine);
                                 s.master.SendServiceCommand(slave, serviceSubCode(kind),
                                                             plan.data);
                                 return true;
                             },
                             m_session.decoder([kind](const ModbusReply &, DecodeContext &c) {
                                 DecodeServiceReply(kind, c);
                             }),
                             true});
    if (s.runner.run(command) && kind == kServiceKindDeviceId)
        log(QStringLiteral("Changing ID of device ") + QString::number(address) +
            QStringLiteral("..."));
}

// Function 6 to one of the logger's settings registers; nobody waits for the answer.
void ServicePage::sendSettingWrite(int reg, int value, int placement) {
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "setting write";
    command.window = RequestRunner::Window::None;
    command.steps.push_back({[&s, reg, value, placement](int slave) {
                                 if (reg == kRegPulseLengthLanguage)
                                     s.env.out.log(QStringLiteral("Changing pulse length..."));
                                 s.master.SendWriteSingle(slave, reg, value, placement);
                                 return true;
                             },
                             {},
                             true});
    s.runner.run(command);
}

void ServicePage::BitBtn19Click() {
    runGuarded([&] {
        if (!m_session.checkPort())
            return;
        const QString id = text(Field::DeviceId);
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
        if (text(Field::Speed).isEmpty() || text(Field::Parity).isEmpty()) {
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
        if (text(Field::MenuCode).size() != 4) {
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
        DeviceSession &s = m_session;
        RequestRunner::Command command;
        command.name = "read code";
        command.window = RequestRunner::Window::Code;
        command.markReplyEnd = false;
        command.noReply = RequestRunner::NoReply::LogEllipsis;
        command.steps.push_back({[&s](int slave) {
                                     s.env.line.InputRoom();
                                     s.env.line.OutputRoom();
                                     s.master.SendServiceQuery(slave, kServiceReadMenuCode);
                                     return true;
                                 },
                                 m_session.decoder(DecodeMenuCode), false});
        s.runner.run(command);
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
        const QString inputs = text(Field::InputCount);
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
        const QString polarity = text(Field::Polarity);
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
        const QString typed = text(Field::NewAddress);
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
        const QString length = text(Field::PulseLength);
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
        const QString inputs = text(Field::InputCount);
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

} // namespace corvane
