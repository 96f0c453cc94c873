#include "network_port.h"

namespace corvane {
namespace {

const QLatin1String kScheme("tcp://");

} // namespace

bool isNetworkPortName(const QString &name) {
    return name.startsWith(kScheme, Qt::CaseInsensitive);
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
    address = {};
    const QString rest = isNetworkPortName(name) ? name.mid(kScheme.size()) : name;
    QString host;
    QString port;
    bool hasPort = false;
    if (rest.startsWith(u'[')) {
        // An IPv6 address keeps its colons inside the brackets.
        const qsizetype close = rest.indexOf(u']');
        if (close < 0)
            return kNetNoPort;
        host = rest.mid(1, close - 1);
        const QString after = rest.mid(close + 1);
        hasPort = !after.isEmpty();
        port = after.startsWith(u':') ? after.mid(1) : after;
    } else {
        const qsizetype colon = rest.lastIndexOf(u':');
        hasPort = colon >= 0;
        host = hasPort ? rest.left(colon) : rest;
        port = hasPort ? rest.mid(colon + 1) : QString();
    }
    if (host.isEmpty())
        return kNetNoHost;
    if (!hasPort || port.isEmpty())
        return kNetNoPort;
    // Digits only: toInt() would take signs, blanks and hexadecimal.
    unsigned value = 0;
    bool tooLarge = false;
    for (const QChar c : port) {
        if (c < u'0' || c > u'9')
            return kNetPortNotNumeric;
        if (!tooLarge) {
            value = value * 10 + unsigned(c.unicode() - u'0');
            tooLarge = value > 65535;
        }
    }
    if (tooLarge || value == 0)
        return kNetPortOutOfRange;
    address.host = host.toUtf8();
    address.port = std::uint16_t(value);
    return 0;
}

} // namespace corvane
