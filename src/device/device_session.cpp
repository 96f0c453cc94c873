#include "device_session.h"

#include "output.h"

namespace corvane {

DeviceSession::DeviceSession(SessionEnvironment environment)
    : env(std::move(environment)), engine(state, env.line, env.out, env.selectedAddress),
      master(env.line, env.sleeper, env.out, state, [this] { return device.DeviceType; }) {}

DecodeContext DeviceSession::decodeContext() {
    DecodeContext ctx{env.out, state, device, tables, store, env.selectedAddress(), env.locale, {}};
    ctx.noResponse = [this] { engine.reportNoResponse(); };
    return ctx;
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
