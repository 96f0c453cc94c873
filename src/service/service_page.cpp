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

CommandStart ServicePage::refuse(const QString &line) {
    log(line);
    return CommandStart::InputRefused;
}

void ServicePage::enterPassword(const QString &enteredText) {
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
             return master.SendReadHolding(slave, kRegClock, kClockRegisterCount);
         },
         m_session.decoder(DecodeClock), false},
        {[&master](int slave) { return master.SendServiceQuery(slave, kServiceStatusQuery); },
         m_session.decoder([this](const ModbusReply &reply, DecodeContext &c) {
             m_lastStatus = parseStatusReply(reply);
             DecodeServiceReply(ServiceCommand::LineSettings, c);
         }),
         true},
        {[&master](int slave) {
             return master.SendReadInput(slave, kInRegBattery, kBatteryRegisterCount);
         },
         m_session.decoder(DecodeBattery), false},
        {[&master](int slave) { return master.SendReadDeviceId(slave, kDeviceIdCode); },
         m_session.decoder(DecodeDeviceId), false},
        {[&master](int slave) { return master.SendReadHolding(slave, kRegPulseLengthLanguage, 1); },
         m_session.decoder(DecodePulseSettings), false},
    };
    s.announceAndGrey(read, QStringLiteral("Reading device No. "), true,
                      DeviceView::Command::DeviceInfo);
    read.onStart = [this, &s, announce = read.onStart] {
        m_lastStatus.reset();
        announce();
        s.env.out.showInfoAddress(s.runner.currentAddress());
    };
    s.collectReading(read, DeviceReading::Kind::DeviceInfo);
}

CommandStart ServicePage::readDeviceInfo() {
    const CommandStart checked = m_session.portCheck();
    return checked == CommandStart::Started ? m_session.start(m_infoRead) : checked;
}

CommandStart ServicePage::sendServiceCommand(ServiceCommand kind) {
    const int address = m_session.selectedAddress();
    ServiceCommandPlan plan;
    bool planned = false;
    runGuarded([&] {
        plan = serviceCommandPlan(kind, serviceControls(), address);
        planned = true;
    });
    if (!planned)
        return CommandStart::InputRefused;
    if (!plan.send)
        return refuse(plan.rejection);
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "service command";
    command.window = RequestRunner::Window::Service;
    // Line settings leave SkipLeadingZero as it was; every other kind raises it.
    command.raiseSkipLeadingZero = kind != ServiceCommand::LineSettings;
    command.markReplyEnd = false;
    command.keepReply = false;
    command.noReply = RequestRunner::NoReply::Log;
    command.steps.push_back({[&s, plan, kind](int slave) {
                                 if (!plan.logLine.isEmpty())
                                     s.env.out.log(plan.logLine);
                                 return s.master.SendServiceCommand(slave, serviceSubCode(kind),
                                                                    plan.data);
                             },
                             m_session.decoder([kind](const ModbusReply &, DecodeContext &c) {
                                 DecodeServiceReply(kind, c);
                             }),
                             true});
    // The line follows a request that went out; a send that fails shows its error instead.
    CommandStart started = CommandStart::Started;
    runGuarded([&] {
        if (!s.runner.run(command)) {
            started = CommandStart::Busy;
            return;
        }
        if (kind == ServiceCommand::ChangeId)
            log(QStringLiteral("Changing ID of device ") + QString::number(address) +
                QStringLiteral("..."));
    });
    return started;
}

CommandStart ServicePage::sendSettingWrite(int reg, int value, int placement) {
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "setting write";
    command.window = RequestRunner::Window::None;
    command.steps.push_back({[&s, reg, value, placement](int slave) {
                                 if (reg == kRegPulseLengthLanguage)
                                     s.env.out.log(QStringLiteral("Changing pulse length..."));
                                 return s.master.SendWriteSingle(slave, reg, value, placement);
                             },
                             {},
                             true});
    return s.start(command);
}

CommandStart ServicePage::changeDeviceId() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    const QString id = text(Field::DeviceId);
    if (id.isEmpty())
        return refuse(QStringLiteral("You did not enter ID"));
    if (id.size() != 8)
        return refuse(QStringLiteral("Entered ID is not correct - must be 8 digits"));
    return sendServiceCommand(ServiceCommand::ChangeId);
}

CommandStart ServicePage::changeLineSettings() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    if (text(Field::Speed).isEmpty() || text(Field::Parity).isEmpty())
        return refuse(QStringLiteral("Incorrect com port data"));
    return sendServiceCommand(ServiceCommand::LineSettings);
}

CommandStart ServicePage::changeMenuCode() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    if (text(Field::MenuCode).size() != 4)
        return refuse(QStringLiteral("User code not programmed - must be 4 digits..."));
    return sendServiceCommand(ServiceCommand::MenuCode);
}

CommandStart ServicePage::readMenuCode() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    DeviceSession &s = m_session;
    RequestRunner::Command command;
    command.name = "read code";
    command.window = RequestRunner::Window::Code;
    command.markReplyEnd = false;
    command.noReply = RequestRunner::NoReply::LogEllipsis;
    command.steps.push_back({[&s](int slave) {
                                 s.env.line.InputRoom();
                                 s.env.line.OutputRoom();
                                 return s.master.SendServiceQuery(slave, kServiceReadMenuCode);
                             },
                             m_session.decoder(DecodeMenuCode), false});
    s.collectReading(command, DeviceReading::Kind::MenuCode);
    return s.start(command);
}

CommandStart ServicePage::lockDevice() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    return sendServiceCommand(ServiceCommand::Lock);
}

CommandStart ServicePage::unlockDevice() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    return sendServiceCommand(ServiceCommand::Unlock);
}

CommandStart ServicePage::setInputCount() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    const QString inputs = text(Field::InputCount);
    if (inputs != QLatin1String("4") && inputs != QLatin1String("6") &&
        inputs != QLatin1String("8"))
        return refuse(QStringLiteral("Incorrect number of inputs selected"));
    return sendServiceCommand(ServiceCommand::InputCount);
}

CommandStart ServicePage::setPolarity() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    const QString polarity = text(Field::Polarity);
    if (polarity != QLatin1String("Positive") && polarity != QLatin1String("Negative"))
        return refuse(QStringLiteral("Incorrect value for polarity chosen..."));
    return sendServiceCommand(ServiceCommand::Polarity);
}

// Only one byte of the address goes on the wire, so 300 would land the logger at 44 and 0
// would make it answer nobody: both are refused before anything is sent.
CommandStart ServicePage::changeAddress() {
    const QString typed = text(Field::NewAddress);
    if (typed.isEmpty())
        return refuse(QStringLiteral("Address not entered"));
    int address = 0;
    if (!runGuarded([&] { address = strictToInt(typed); }))
        return CommandStart::InputRefused;
    if (!AddressStore::isValidAddress(address))
        return refuse(QStringLiteral("Address must be between 1 and 250"));
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    return sendSettingWrite(kRegBusAddress, address, 1);
}

// The pulse length shares its register with the menu language, which this write resets to 0.
CommandStart ServicePage::changePulseLength() {
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    const QString length = text(Field::PulseLength);
    if (length.isEmpty())
        return refuse(QStringLiteral("You did not select pulse length"));
    const int code = pulseLengthCode(length);
    if (code < 0)
        return refuse(QStringLiteral("Selected pulse length is not valid..."));
    return sendSettingWrite(kRegPulseLengthLanguage, code, 2);
}

CommandStart ServicePage::setDisplayedInputs() {
    const QString inputs = text(Field::InputCount);
    const QString refused = QStringLiteral("Number of inputs is not correct...");
    if (inputs.isEmpty())
        return refuse(refused);
    if (!m_session.checkPort())
        return CommandStart::PortClosed;
    if (inputs.size() != 1 || inputs.at(0) < QLatin1Char('1') || inputs.at(0) > QLatin1Char('8'))
        return refuse(refused);
    int count = 0;
    runGuarded([&] { count = strictToInt(inputs); });
    return sendSettingWrite(kRegInputsDisplay, count, 1);
}

} // namespace corvane
