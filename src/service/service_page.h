#pragma once

#include "device_session.h"
#include "device_view.h"
#include "request_runner.h"
#include "service_commands.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace corvane {

struct DecodeContext;

// The service page without its widgets: the password gate, the five-step device-information
// read (also behind the main window's "Read type") and the service commands. What it shows goes
// out through the session's DeviceView, what the operator typed comes in through its
// ControlReader. The information read and "Read code" fill the session's reading; each
// operation says whether it started, and the runner's step outcomes say how it went.
// Every request runs on the session's runner, so the page and the device commands refuse each
// other while one of them is in flight.
class ServicePage : public QObject {
    Q_OBJECT
public:
    explicit ServicePage(DeviceSession &session, QObject *parent = nullptr);

    bool isUnlocked() const { return m_unlocked; }
    // Whether any request is in flight.
    bool isBusy() const;
    // What the last information read's status query told, if it was answered.
    const std::optional<LoggerStatus> &lastStatus() const { return m_lastStatus; }
    // The information read's window.
    const QTimer &responseServiceTimer() const;

public Q_SLOTS:
    // Password "Enter". Once the page is open it stays open; the entry is hidden by then.
    void enterPassword(const QString &enteredText);

    // "Read main information about this device", and the main window's "Read type".
    CommandStart readDeviceInfo();

    CommandStart changeDeviceId();
    CommandStart changeLineSettings();
    CommandStart readMenuCode();
    CommandStart changeMenuCode();
    CommandStart lockDevice();
    CommandStart unlockDevice();
    CommandStart setInputCount();
    CommandStart setPolarity();
    CommandStart changeAddress();
    CommandStart changePulseLength();
    CommandStart setDisplayedInputs();

private:
    QString text(ControlReader::Field field) const;
    ServiceControls serviceControls() const;
    void log(const QString &line);
    void buildInfoRead();
    // Sends a service command once the caller's checks have passed. The rejections of the
    // command builder count as input checks and come before the busy refusal.
    CommandStart sendServiceCommand(ServiceCommand command);
    // Function 6 to one of the logger's settings registers; nobody waits for the answer.
    CommandStart sendSettingWrite(int reg, int value, int placement);
    // Refused by an input check, with its log line.
    CommandStart refuse(const QString &line);

    DeviceSession &m_session;
    bool m_unlocked = false;
    RequestRunner::Command m_infoRead;
    std::optional<LoggerStatus> m_lastStatus;
};

} // namespace corvane
