#include "port_toggle.h"

#include "file_ui.h"
#include "line_names.h"
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
        setPortSpeed(Comm1, strictToInt(speed));
        setPortParity(Comm1, parity);
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
