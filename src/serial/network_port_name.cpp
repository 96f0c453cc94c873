#include "network_port_name.h"

namespace corvane {
namespace {

constexpr std::string_view kScheme = "tcp://";

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

} // namespace

bool isNetworkPortName(std::string_view name) {
    if (name.size() < kScheme.size())
        return false;
    for (std::size_t i = 0; i < kScheme.size(); ++i) {
        if (lower(name[i]) != kScheme[i])
            return false;
    }
    return true;
}

int parseNetworkPortName(std::string_view name, NetworkPortAddress &address) {
    address = {};
    const std::string_view rest = isNetworkPortName(name) ? name.substr(kScheme.size()) : name;
    std::string_view host;
    std::string_view port;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        // An IPv6 address keeps its colons inside the brackets.
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos)
            return kNetNoPort;
        host = rest.substr(1, close - 1);
        std::string_view after = rest.substr(close + 1);
        hasPort = !after.empty();
        port = !after.empty() && after.front() == ':' ? after.substr(1) : after;
    } else {
        const std::size_t colon = rest.rfind(':');
        hasPort = colon != std::string_view::npos;
        host = hasPort ? rest.substr(0, colon) : rest;
        port = hasPort ? rest.substr(colon + 1) : std::string_view();
    }
    if (host.empty())
        return kNetNoHost;
    if (!hasPort || port.empty())
        return kNetNoPort;
    // Digits only: a number parser would take signs, blanks and hexadecimal.
    unsigned value = 0;
    bool tooLarge = false;
    for (const char c : port) {
        if (c < '0' || c > '9')
            return kNetPortNotNumeric;
        if (!tooLarge) {
            value = value * 10 + unsigned(c - '0');
            tooLarge = value > 65535;
        }
    }
    if (tooLarge || value == 0)
        return kNetPortOutOfRange;
    address.host = std::string(host);
    address.port = std::uint16_t(value);
    return 0;
}

} // namespace corvane
