#include "line_names.h"

#include "network_port.h"
#include "ser_comm.h"

#include <QRegularExpression>

#include <cerrno>
#include <chrono>

namespace corvane {

namespace {

struct SpeedName {
    int speed;
    TSerBaudrate rate;
};
// The speeds the Options dialog offers.
constexpr SpeedName kSpeedNames[] = {{300, br300},     {1200, br1200},   {2400, br2400},
                                     {4800, br4800},   {9600, br9600},   {14400, br14400},
                                     {19200, br19200}, {38400, br38400}, {115200, br115200}};

struct ParityName {
    const char *name;
    TSerParity parity;
};
constexpr ParityName kParityNames[] = {
    {"None", paNone}, {"Even", paEven}, {"Odd", paOdd}, {"Mark", paMark}, {"Space", paSpace}};

} // namespace

void setPortSpeed(TSerComm &Comm1, int speed) {
    for (const SpeedName &name : kSpeedNames) {
        if (name.speed == speed)
            Comm1.SetBaudrate(name.rate);
    }
}

void setPortParity(TSerComm &Comm1, const QString &parity) {
    for (const ParityName &name : kParityNames) {
        if (parity == QLatin1String(name.name))
            Comm1.SetParity(name.parity);
    }
}

int portSpeed(const TSerComm &Comm1) {
    for (const SpeedName &name : kSpeedNames) {
        if (name.rate == Comm1.Baudrate())
            return name.speed;
    }
    return 0;
}

QString portParity(const TSerComm &Comm1) {
    for (const ParityName &name : kParityNames) {
        if (name.parity == Comm1.Parity())
            return QLatin1String(name.name);
    }
    return {};
}

QString resolvePortName(const QString &name) {
#ifdef Q_OS_WIN
    // The system knows its COM ports by these names; the backend opens them as \\.\COMn.
    return name;
#else
    static const QRegularExpression com(QStringLiteral("^COM([1-8])$"));
    if (const auto match = com.match(name); match.hasMatch())
        return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1);
    return name;
#endif
}

QString portOpenFailureText(const QString &name, const QString &device, int osError) {
    if (name.isEmpty())
        return QStringLiteral("Port could not be opened: no port name is set");
    QString port = QStringLiteral("Port ") + name;
    if (device != name)
        port += QStringLiteral(" (%1)").arg(device);
    QString reason;
#ifdef Q_OS_WIN
    // The system's own codes (winerror.h): another program holding the port is "access denied".
    switch (osError) {
    case 2: // ERROR_FILE_NOT_FOUND
    case 3: // ERROR_PATH_NOT_FOUND
        reason = QStringLiteral("not found");
        break;
    case 5:  // ERROR_ACCESS_DENIED
    case 32: // ERROR_SHARING_VIOLATION
        reason = QStringLiteral("busy");
        break;
    case 1:  // ERROR_INVALID_FUNCTION: no line settings, not a port
    case 87: // ERROR_INVALID_PARAMETER
        reason = QStringLiteral("not a serial device");
        break;
    case 50: // ERROR_NOT_SUPPORTED
        reason = QStringLiteral("network ports are not supported on Windows yet");
        break;
    }
#else
    switch (osError) {
    case ENOENT:
        reason = QStringLiteral("not found");
        break;
    case EBUSY:
        reason = QStringLiteral("busy");
        break;
    case EACCES:
    case EPERM:
        reason = QStringLiteral("permission denied; the user must be a member of the 'dialout' "
                                "group (log in again after adding it)");
        break;
    case ENOTTY:
        reason = QStringLiteral("not a serial device");
        break;
    case ECONNREFUSED:
        reason = QStringLiteral("connection refused");
        break;
    case EHOSTUNREACH:
    case ENETUNREACH:
        reason = QStringLiteral("host unreachable");
        break;
    case ETIMEDOUT:
        reason = QStringLiteral("no answer within %1 s")
                     .arg(std::chrono::duration<double>(kNetworkConnectTimeout).count());
        break;
    }
#endif
    if (reason.isEmpty())
        reason = networkPortErrorText(osError);
    if (reason.isEmpty())
        reason = qt_error_string(osError);
    return port + QStringLiteral(" could not be opened: ") + reason;
}

QString rs485RefusalText(const QString &reason) {
    return QStringLiteral("The serial driver refused RS-485 mode (%1): Corvane keys RTS itself")
        .arg(reason);
}

QStringList lineDirectionTexts() {
    return {QStringLiteral("RTS keyed by Corvane"),
            QStringLiteral("By the serial driver (RS-485 mode)"),
            QStringLiteral("By the adapter (automatic direction)")};
}

} // namespace corvane
