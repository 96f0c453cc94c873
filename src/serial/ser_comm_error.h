#pragma once

#include <QString>

#include <exception>
#include <string>

namespace corvane {

// Every error the serial port component raises. what() gives the message as UTF-8.
class ESerCommError : public std::exception {
public:
    explicit ESerCommError(const QString &message)
        : m_message(message), m_utf8(message.toUtf8().toStdString()) {}

    const char *what() const noexcept override { return m_utf8.c_str(); }
    const QString &message() const noexcept { return m_message; }

private:
    QString m_message;
    std::string m_utf8;
};

} // namespace corvane
