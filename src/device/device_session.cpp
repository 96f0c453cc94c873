#include "device_session.h"

#include "output.h"

namespace corvane {

DeviceSession::DeviceSession(SessionEnvironment environment)
    : env(std::move(environment)), runner(state, env.line, env.out, env.selectedAddress),
      master(env.line, env.sleeper, state) {
    master.setSendObserver(
        {[this] { return runner.sendQueued(); },
         [this](std::uint64_t ticket, bool ok) { runner.sendFinished(ticket, ok); }});
}

DecodeContext DeviceSession::decodeContext() {
    return DecodeContext{env.out, state, device, tables, store, env.selectedAddress(), env.locale};
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
    env.out.log(QStringLiteral("Serial COM port is not opened"));
    return false;
}

bool DeviceSession::checkPortAndModel() {
    if (!checkPort())
        return false;
    if (findModel(device.DeviceType))
        return true;
    env.out.log(QStringLiteral("Device type is not selected or correct"));
    return false;
}

} // namespace corvane
