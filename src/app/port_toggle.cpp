#include "port_toggle.h"

#include "file_ui.h"
#include "output.h"
#include "ser_comm.h"
#include "ser_comm_error.h"
#include "sleeper.h"
#include "value_encoding.h"

#include <QRegularExpression>

#include <cerrno>
#include <chrono>

namespace corvane {
namespace {

const QString kUnavailable =
    QStringLiteral("This COM port is used by another program or does not exists!");

// The message box names neither the port nor the cause; the log line after it does both.
QString openFailureText(const QString &name, const QString &device, int osError) {
    if (name.isEmpty())
        return QStringLiteral("Port could not be opened: no port name is set");
    QString port = QStringLiteral("Port ") + name;
    if (device != name)
        port += QStringLiteral(" (%1)").arg(device);
    QString reason;
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
    default:
        reason = qt_error_string(osError);
        break;
    }
    return port + QStringLiteral(" could not be opened: ") + reason;
}

} // namespace

QString resolvePortName(const QString &name) {
    static const QRegularExpression com(QStringLiteral("^COM([1-8])$"));
    if (const auto match = com.match(name); match.hasMatch())
        return QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1);
    return name;
}

void PortToggle::TogglePort(const QString &name, const QString &speed, const QString &parity,
                            const QString &dataBits, const QString &stopBits) {
    using namespace std::chrono_literals;
    if (PortOpen) {
        out.setStatus(StatusPanel::Port, displayName + QStringLiteral(" is closed"));
        PortOpen = false;
        sleeper.sleep(30ms);
        Comm1.ClosePort();
        return;
    }

    displayName = name;
    const QString device = resolvePortName(name);
    Comm1.SetDeviceName(device);
    // Whatever ends an open, the status bar must not go on showing an earlier state.
    const auto showClosed = [&] {
        out.setStatus(StatusPanel::Port, name + QStringLiteral(" is closed"));
    };
    try {
        Comm1.OpenPort();
    } catch (const ESerCommError &e) {
        showClosed();
        if (e.kind() != ESerCommError::Kind::DeviceNotOpened)
            throw;
        boxes.inform(QStringLiteral("Corvane"), kUnavailable);
        out.log(openFailureText(name, device, e.osError()));
        PortOpen = false;
        return;
    } catch (...) {
        showClosed();
        throw;
    }

    // The settings are applied to the open port; any failure closes it again, so the port is
    // never left open with settings the operator did not ask for.
    try {
        // clang-format off
        switch (strictToInt(speed)) {
        case 300: Comm1.SetBaudrate(br300); break;
        case 1200: Comm1.SetBaudrate(br1200); break;
        case 2400: Comm1.SetBaudrate(br2400); break;
        case 4800: Comm1.SetBaudrate(br4800); break;
        case 9600: Comm1.SetBaudrate(br9600); break;
        case 14400: Comm1.SetBaudrate(br14400); break;
        case 19200: Comm1.SetBaudrate(br19200); break;
        case 38400: Comm1.SetBaudrate(br38400); break;
        case 115200: Comm1.SetBaudrate(br115200); break;
        default: break;
        }
        // clang-format on
        if (parity == QLatin1String("None"))
            Comm1.SetParity(paNone);
        else if (parity == QLatin1String("Even"))
            Comm1.SetParity(paEven);
        else if (parity == QLatin1String("Odd"))
            Comm1.SetParity(paOdd);
        else if (parity == QLatin1String("Mark"))
            Comm1.SetParity(paMark);
        else if (parity == QLatin1String("Space"))
            Comm1.SetParity(paSpace);
        if (stopBits == QLatin1String("1"))
            Comm1.SetStopbits(sb1);
        else if (stopBits == QLatin1String("2"))
            Comm1.SetStopbits(sb2);
        if (dataBits == QLatin1String("7"))
            Comm1.SetDatabits(db7);
        else if (dataBits == QLatin1String("8"))
            Comm1.SetDatabits(db8);
    } catch (...) {
        Comm1.ClosePort();
        showClosed();
        throw;
    }

    out.setStatus(StatusPanel::Port, name + QStringLiteral(" is open"));
    PortOpen = true;
}

} // namespace corvane
