#pragma once

#include "serial_os.h"

#include <chrono>
#include <memory>
#include <string>

namespace corvane::posix {

// Opens a network port ("tcp://HOST:PORT", see network_port_name.h) as a serial device: one TCP
// connection to a serial-to-Ethernet gateway in transparent mode, with TCP_NODELAY so that
// every write leaves at once. Looking the host up and connecting together take at most timeout.
// Null on failure, with the reason in errno: an errno value (ECONNREFUSED, EHOSTUNREACH,
// ENETUNREACH, ETIMEDOUT, ...) or one of the kNet... codes. A malformed name fails before any
// lookup or socket.
//
// The device behaves as a serial port whose line belongs to the gateway: line settings, buffer
// sizes and timeouts are accepted and change nothing, keying RTS or DTR succeeds without effect,
// the modem lines never change and no line errors occur. Received bytes raise EV_RXCHAR (and
// EV_RX80FULL) as on a terminal; the connection closing ends the event wait with Lost once.
std::shared_ptr<SerialDevice> openTcpDevice(const std::string &name,
                                            std::chrono::milliseconds timeout);

} // namespace corvane::posix
