#pragma once

#include <QString>

#include <exception>
#include <string>

namespace corvane {

// Every error the serial port component raises. what() gives the message as UTF-8.
class ESerCommError : public std::exception {
public:
    enum class Kind { Other, DeviceNotOpened };

    explicit ESerCommError(const QString &message, Kind kind = Kind::Other, int osError = 0)
        : m_message(message), m_utf8(message.toUtf8().toStdString()), m_kind(kind),
          m_osError(osError) {}

    const char *what() const noexcept override { return m_utf8.c_str(); }
    const QString &message() const noexcept { return m_message; }
    // The device itself could not be opened (missing, busy, no permission), as opposed to a
    // failure while setting up an opened device.
    Kind kind() const noexcept { return m_kind; }
    // The OS error code behind the message, 0 when there is none.
    int osError() const noexcept { return m_osError; }

private:
    QString m_message;
    std::string m_utf8;
    Kind m_kind = Kind::Other;
    int m_osError = 0;
};

} // namespace corvane
