#include "sim_serial_transport.h"

#include <termios.h>
#include <unistd.h>

namespace corvane {
namespace {

// How long to wait before looking again while no master holds the pseudo-terminal open.
constexpr std::chrono::milliseconds kNoClientRetry{50};

SerialSettings serialSettingsOf(const LineSettings &settings, const SerialSettings &current) {
    SerialSettings serial = current;
    if (settings.speedCode >= 0 && settings.speedCode < int(kLineSpeeds.size()))
        serial.baud = kLineSpeeds[settings.speedCode];
    serial.parity = settings.parityCode == 0 ? 'E' : settings.parityCode == 1 ? 'O' : 'N';
    return serial;
}

} // namespace

SimSerialTransport::~SimSerialTransport() {
    stop();
}

bool SimSerialTransport::start(const LineOptions &options, QString *error) {
    if (isRunning())
        return true;
    const bool opened = options.devicePath.isEmpty()
                            ? m_line.openPty(error)
                            : m_line.openDevice(options.devicePath, options.serial, error);
    if (!opened)
        return false;
    if (!options.linkPath.isEmpty() && !m_line.createLink(options.linkPath, error)) {
        m_line.close();
        return false;
    }
    if (options.busCopy && !m_copy.open(options.busCopyLink, error)) {
        m_line.close();
        return false;
    }
    setBusCopy(m_copy.isOpen() ? &m_copy : nullptr);
    m_serial = options.serial;
    if (!startThread(error)) {
        m_copy.close();
        m_line.close();
        return false;
    }
    return true;
}

void SimSerialTransport::stop() {
    stopThread();
    m_copy.close();
    m_line.close();
}

void SimSerialTransport::run() {
    while (serve(m_line.fd()) != Ended::Stopped) {
        // The master closed the port, perhaps in the middle of a frame.
        discardPartialFrame();
        // A pseudo-terminal whose slave nobody holds reports a hang-up at once and for as
        // long as it lasts; look again later instead of spinning on it.
        if (!waitForWake(kNoClientRetry))
            return;
    }
}

std::optional<LineSettings> SimSerialTransport::heardSettings() const {
    return m_line.heardSettings();
}

int SimSerialTransport::stopBits() const {
    return m_line.isPty() ? m_line.heardStopBits() : m_serial.stopBits;
}

void SimSerialTransport::followLineChange(const LineSettings &settings) {
    // The logger changes its line settings once its acknowledgement is out.
    ::tcdrain(m_line.fd());
    m_serial = serialSettingsOf(settings, m_serial);
    m_line.applySettings(m_serial);
}

ssize_t SimSerialTransport::writeSome(int fd, const char *bytes, std::size_t size) {
    return ::write(fd, bytes, size);
}

} // namespace corvane
