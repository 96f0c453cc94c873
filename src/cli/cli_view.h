#pragma once

#include "device_view.h"

#include <functional>

namespace corvane {

// Where the operator log's lines go on the command line; results and failures come from the
// readings and step outcomes, never from these lines.
using LogSink = std::function<void(const QString &line)>;

// The core's view on the command line: what it shows is taken from the readings, so only the
// operator log goes anywhere, to the sink.
class CliView : public DeviceView {
public:
    explicit CliView(LogSink sink) : m_sink(std::move(sink)) {}

    void log(const QString &line) override {
        if (m_sink)
            m_sink(line);
    }
    void traffic(const QString &) override {}
    void setStatus(int, const QString &) override {}

    void showModel(const QString &) override {}
    void showIdentification(const QString &) override {}
    void showClock(const QString &, const QString &) override {}
    void showBattery(const QString &) override {}
    void showInputStatus(int) override {}
    void showMenuCode(const QString &) override {}
    void showPulseLength(const QString &) override {}
    void showLanguage(const QString &) override {}
    void showLockState(bool) override {}
    void showInfoAddress(int) override {}
    void enableModelPages() override {}
    void setCommandEnabled(Command, bool) override {}
    void showPasswordRefused() override {}
    void showServicePageOpen() override {}

private:
    LogSink m_sink;
};

// The default sink: the lines as debug messages of the category corvane.cli.log, off unless
// QT_LOGGING_RULES enables it.
void logToCategory(const QString &line);

} // namespace corvane
