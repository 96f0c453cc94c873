#pragma once

// The network port name without Qt, for the OS backends (network_port.h has the Qt side).

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane {

// A port name "tcp://HOST:PORT" stands for an RS-485 line behind a serial-to-Ethernet gateway
// in transparent mode: the RTU frames travel unchanged over one TCP connection. HOST is a name,
// an IPv4 address or an IPv6 address in brackets ("tcp://[::1]:4001"). The prefix may be
// written in any case. The name is UTF-8.
bool isNetworkPortName(std::string_view name);

// Reasons a network port fails to open with, beside the errno values (ECONNREFUSED,
// EHOSTUNREACH, ENETUNREACH, ETIMEDOUT, ...). They lie above every errno value, travel as the
// OS error code of the open failure and have their own texts (networkPortErrorText).
// The first four are a malformed name: nothing is looked up or connected for them.
inline constexpr int kNetNoPort = 0x10001;         // "tcp://host" or "tcp://host:"
inline constexpr int kNetPortNotNumeric = 0x10002; // "tcp://host:http"
inline constexpr int kNetPortOutOfRange = 0x10003; // "tcp://host:0", "tcp://host:70000"
inline constexpr int kNetNoHost = 0x10004;         // "tcp://:4001"
inline constexpr int kNetHostNotResolved = 0x10005;
// The gateway closed the connection (the device-lost notice carries it).
inline constexpr int kNetConnectionClosed = 0x10006;

struct NetworkPortAddress {
    std::string host; // brackets of an IPv6 address removed
    std::uint16_t port = 0;
};

// Takes a network port name apart. Returns 0, or the kNet... code of what is wrong with it.
int parseNetworkPortName(std::string_view name, NetworkPortAddress &address);

} // namespace corvane
