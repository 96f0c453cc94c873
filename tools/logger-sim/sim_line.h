#pragma once

#include "logger_model.h"

#include <QString>

#include <optional>
#include <termios.h>

namespace corvane {

struct SerialSettings {
    int baud = 9600;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;
};

// The speed and parity that termios settings put on the line, as a logger would hear them.
// A pseudo-terminal clears PARENB, so parity counts as asked for when PARENB or INPCK is set
// (a master may set INPCK for just that reason); PARODD then makes it odd. CMSPAR (mark or
// space) and a speed other than the logger's seven give kNoLineCode, which no logger matches.
LineSettings lineSettingsOf(const termios &settings);

// The simulator's end of the line: the master side of a fresh pseudo-terminal, or a real
// serial device. The descriptor is non-blocking; the line is closed, and a link it placed is
// removed, when the object goes.
class SimLine {
public:
    SimLine() = default;
    ~SimLine();
    SimLine(const SimLine &) = delete;
    SimLine &operator=(const SimLine &) = delete;

    bool openPty(QString *error = nullptr);
    bool openDevice(const QString &path, const SerialSettings &settings, QString *error = nullptr);
    // A symbolic link to the port, so that a master's settings can name a stable path. An
    // existing link is replaced only when it points nowhere, so that a crashed run does not
    // block the next one while a running simulator keeps its link.
    bool createLink(const QString &linkPath, QString *error = nullptr);
    // Line settings of a real device; on a pseudo-terminal they mean nothing and are ignored.
    bool applySettings(const SerialSettings &settings, QString *error = nullptr);
    void close();
    // What the master has set on a pseudo-terminal, read from this end. Nothing on a real
    // device: its UART runs at the settings it was given, and what a master on the cable set
    // cannot be seen.
    std::optional<LineSettings> heardSettings() const;
    // The stop bits the master has set on a pseudo-terminal (1 on a real device, whose own
    // settings say).
    int heardStopBits() const;

    int fd() const { return m_fd; }
    bool isPty() const { return m_isPty; }
    // The pseudo-terminal's slave path (what a master opens), or the device path.
    QString path() const { return m_path; }

private:
    int m_fd = -1;
    bool m_isPty = false;
    QString m_path;
    QString m_link;
};

} // namespace corvane
