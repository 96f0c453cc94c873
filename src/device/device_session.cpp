#include "device_session.h"

#include "error_display.h"
#include "output.h"

namespace corvane {

DeviceSession::DeviceSession(SessionEnvironment environment)
    : env(std::move(environment)), runner(state, env.line, env.out, env.selectedAddress),
      master(env.line, env.sleeper) {
    master.setSendObserver(
        {[this] { return runner.sendQueued(); },
         [this](std::uint64_t ticket, bool ok) { runner.sendFinished(ticket, ok); }});
}

DecodeContext DeviceSession::decodeContext() {
    return decodeContext(reading);
}

DecodeContext DeviceSession::decodeContext(DeviceReading &into) {
    return DecodeContext{env.out, device, tables, store, into, env.selectedAddress(), env.locale};
}

void DeviceSession::setFastReplies(bool fast) {
    runner.setFastReplies(fast);
    master.setWholeFrames(fast);
}

RequestRunner::Decoder
DeviceSession::decoder(std::function<void(const ModbusReply &, DecodeContext &)> decode) {
    return [this, decode = std::move(decode)](const ModbusReply &reply) {
        DecodeContext ctx = decodeContext();
        decode(reply, ctx);
    };
}

void DeviceSession::announceAndGrey(RequestRunner::Command &command, const QString &what,
                                    bool onStatusBar, std::optional<DeviceView::Command> button) {
    command.onStart = [this, what, onStatusBar, button] {
        const QString text = what + QString::number(runner.currentAddress());
        if (onStatusBar)
            env.out.setStatus(StatusPanel::Progress, text);
        env.out.log(text + QStringLiteral("..."));
        if (button)
            env.out.setCommandEnabled(*button, false);
    };
    if (button)
        command.onEnd = [this, button] { env.out.setCommandEnabled(*button, true); };
}

bool DeviceSession::checkPort() {
    if (portOpen())
        return true;
    const QString refusal = env.portRefusal ? env.portRefusal() : QString();
    env.out.log(refusal.isEmpty() ? QStringLiteral("Serial COM port is not opened") : refusal);
    return false;
}

CommandStart DeviceSession::portCheck() {
    return checkPort() ? CommandStart::Started : CommandStart::PortClosed;
}

CommandStart DeviceSession::portAndModelCheck() {
    if (!checkPort())
        return CommandStart::PortClosed;
    if (findModel(device.DeviceType))
        return CommandStart::Started;
    env.out.log(QStringLiteral("Device type is not selected or correct"));
    return CommandStart::ModelUnknown;
}

CommandStart DeviceSession::start(const RequestRunner::Command &command) {
    CommandStart result = CommandStart::Started;
    runGuarded([&] {
        if (!runner.run(command))
            result = CommandStart::Busy;
    });
    return result;
}

void DeviceSession::collectReading(RequestRunner::Command &command, DeviceReading::Kind kind) {
    command.onStart = [this, kind, announce = command.onStart] {
        reading = DeviceReading();
        reading.kind = kind;
        reading.address = runner.currentAddress();
        reading.model = device.DeviceType;
        reading.time = now();
        if (announce)
            announce();
    };
    command.stepEnded = [this, alsoTell = command.stepEnded](const StepOutcome &outcome) {
        reading.record(outcome);
        if (alsoTell)
            alsoTell(outcome);
    };
    command.onEnd = [this, end = command.onEnd] {
        reading.stopped = runner.lastSummary().stopped();
        if (end)
            end();
    };
}

bool DeviceSession::checkPortAndModel() {
    return portAndModelCheck() == CommandStart::Started;
}

} // namespace corvane
