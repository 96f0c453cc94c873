#include "routing_serial_os.h"

#include "network_port.h"
#include "posix/posix_tcp_device.h"

#include <QFile>

namespace corvane {

RoutingSerialOs::RoutingSerialOs(SerialOs &serial, std::chrono::milliseconds connectTimeout)
    : m_serial(serial), m_connectTimeout(connectTimeout) {}

std::shared_ptr<SerialDevice> RoutingSerialOs::createFile(const QByteArray &name) {
    if (isNetworkPortName(QFile::decodeName(name)))
        return posix::openTcpDevice(name, m_connectTimeout);
    return m_serial.createFile(name);
}

QString RoutingSerialOs::errorText(int code) const {
    const QString own = networkPortErrorText(code);
    return own.isEmpty() ? m_serial.errorText(code) : own;
}

} // namespace corvane
