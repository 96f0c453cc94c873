#include "routing_serial_os.h"

#include "network_port.h"

#ifdef _WIN32
#include "win32/win32_serial_os.h"
namespace backend = corvane::win32;
#else
#include "posix/posix_serial_os.h"
#include "posix/posix_tcp_device.h"
namespace backend = corvane::posix;
#endif

namespace corvane {

RoutingSerialOs::RoutingSerialOs(SerialOs &serial, std::chrono::milliseconds connectTimeout)
    : m_serial(serial), m_connectTimeout(connectTimeout) {}

std::shared_ptr<SerialDevice> RoutingSerialOs::createFile(const std::string &name) {
    if (isNetworkPortName(std::string_view(name)))
        return backend::openTcpDevice(name, m_connectTimeout);
    return m_serial.createFile(name);
}

std::string RoutingSerialOs::errorText(int code) const {
    const QString own = networkPortErrorText(code);
    return own.isEmpty() ? m_serial.errorText(code) : own.toStdString();
}

SerialOs &defaultSerialOs() {
    // Never destroyed: a thread that is still winding down at exit may use it.
#ifdef _WIN32
    static auto *serial = new win32::Win32SerialOs;
#else
    static auto *serial = new posix::PosixSerialOs;
#endif
    static auto *os = new RoutingSerialOs(*serial);
    return *os;
}

} // namespace corvane
