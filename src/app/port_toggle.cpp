#include "port_toggle.h"

#include "file_ui.h"
#include "line_names.h"
#include "output.h"
#include "ser_comm.h"
#include "ser_comm_error.h"
#include "sleeper.h"
#include "value_encoding.h"

#include <cerrno>
#include <chrono>

namespace corvane {
namespace {

const QString kUnavailable =
    QStringLiteral("This COM port is used by another program or does not exists!");
const QString kDialoutHint =
    QStringLiteral("To join the 'dialout' group: sudo usermod -aG dialout $USER, then log out "
                   "and in again");

} // namespace

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
        if (reportFailures) {
            boxes.inform(QStringLiteral("Corvane"), kUnavailable);
            out.log(portOpenFailureText(name, device, e.osError()));
            // How to join the group, once: the failure repeats at every attempt until the user has
            // logged in again.
            if ((e.osError() == EACCES || e.osError() == EPERM) && !dialoutHintGiven) {
                dialoutHintGiven = true;
                out.log(kDialoutHint);
            }
        }
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
    // A gateway talks to the line at the speed and parity set in it; the port's are not sent.
    if (Comm1.IsNetworkPort())
        out.log(QStringLiteral("Line settings are the gateway's own"));
    if (!Comm1.Rs485Refusal().isEmpty())
        out.log(rs485RefusalText(Comm1.Rs485Refusal()));
    PortOpen = true;
}

} // namespace corvane
