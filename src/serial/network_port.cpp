#include "network_port.h"

namespace corvane {

bool isNetworkPortName(const QString &name) {
    return isNetworkPortName(name.toStdString());
}

QString networkPortErrorText(int code) {
    switch (code) {
    case kNetNoPort:
        return QStringLiteral("no port number after the host (tcp://HOST:PORT)");
    case kNetPortNotNumeric:
        return QStringLiteral("the port is not a number (tcp://HOST:PORT)");
    case kNetPortOutOfRange:
        return QStringLiteral("the port must be 1 to 65535");
    case kNetNoHost:
        return QStringLiteral("no host before the port (tcp://HOST:PORT)");
    case kNetHostNotResolved:
        return QStringLiteral("host name not resolved");
    case kNetConnectionClosed:
        return QStringLiteral("connection closed by the gateway");
    default:
        return {};
    }
}

int parseNetworkPortName(const QString &name, NetworkPortAddress &address) {
    return parseNetworkPortName(name.toStdString(), address);
}

} // namespace corvane
