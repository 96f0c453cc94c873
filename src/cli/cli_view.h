#pragma once

#include "device_view.h"

#include <QStringList>

#include <optional>

namespace corvane {

// What the core shows, kept for the command line: the values of the typed view, every log line
// and every message for the error display, since the last reset.
class CliView : public DeviceView {
public:
    void log(const QString &line) override { lines << line; }
    void traffic(const QString &) override {}
    void setStatus(int, const QString &) override {}

    void showModel(const QString &deviceType) override { model = deviceType; }
    void showIdentification(const QString &text) override { identification = text; }
    void showClock(const QString &time, const QString &date) override {
        clock = date + QLatin1Char(' ') + time;
    }
    void showBattery(const QString &level) override { battery = level; }
    void showInputStatus(int bits) override { inputStatus = bits; }
    void showMenuCode(const QString &code) override { menuCode = code; }
    void showPulseLength(const QString &length) override { pulseLength = length; }
    void showLanguage(const QString &name) override { language = name; }
    void showLockState(bool) override {}
    void showInfoAddress(int) override {}
    void enableModelPages() override {}
    void setCommandEnabled(Command, bool) override {}
    void showPasswordRefused() override {}
    void showServicePageOpen() override {}

    void reset();
    // The first thing that went wrong since the reset, in a script's words ("no reply", "CRC
    // error", the exception's text...), or nothing.
    std::optional<QString> failure() const;

    QStringList lines;
    QStringList errors;
    QString model;
    QString identification;
    QString clock;
    QString battery;
    std::optional<int> inputStatus;
    QString menuCode;
    QString pulseLength;
    QString language;
};

// The reason behind one operator-log line, when the line reports a failure.
std::optional<QString> failureOfLogLine(const QString &line);

} // namespace corvane
