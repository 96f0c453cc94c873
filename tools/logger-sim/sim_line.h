#pragma once

#include <QString>

namespace corvane {

struct SerialSettings {
    int baud = 9600;
    char parity = 'N'; // 'N', 'E' or 'O'
    int stopBits = 1;
};

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
