#pragma once

#include "sim_bus_copy.h"
#include "sim_line.h"
#include "sim_transport.h"

#include <QString>

namespace corvane {

// Where the simulated line goes: a fresh pseudo-terminal (devicePath empty) or a real serial
// device, and an optional symbolic link to it.
struct LineOptions {
    QString devicePath;
    SerialSettings serial;
    QString linkPath;
    // A copy of the line on a second pseudo-terminal (BusCopy), with its own link when given.
    bool busCopy = false;
    QString busCopyLink = {};
};

// The loggers on a pseudo-terminal or a real serial device. On a pseudo-terminal a logger
// hears only the frames sent at its own line settings, as the master has set them there; on a
// real device every logger hears every frame, and the device follows a logger that changes
// its line settings.
class SimSerialTransport : public SimTransport {
public:
    explicit SimSerialTransport(LoggerSimulator &loggers) : SimTransport(loggers) {}
    ~SimSerialTransport() override;

    bool start(const LineOptions &options, QString *error);
    // Closes the line and removes its link.
    void stop();
    // What a master opens: the pseudo-terminal's slave path or the device.
    QString path() const { return m_line.path(); }
    // The copy's pseudo-terminal, or an empty text without one.
    QString busCopyPath() const { return m_copy.path(); }
    BusCopy &busCopy() { return m_copy; }

private:
    void run() override;
    std::optional<LineSettings> heardSettings() const override;
    int stopBits() const override;
    void followLineChange(const LineSettings &settings) override;
    ssize_t writeSome(int fd, const char *bytes, std::size_t size) override;

    SimLine m_line;
    BusCopy m_copy;
    SerialSettings m_serial;
};

} // namespace corvane
