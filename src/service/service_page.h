#pragma once

#include "device_view.h"
#include "request_runner.h"
#include "service_commands.h"

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace corvane {

class DeviceSession;
struct DecodeContext;

// The service page without its widgets: the password gate, the five-step device-information
// read (also behind the main window's "Read type") and the service commands. What it shows goes
// out through the session's DeviceView, what the operator typed comes in through its
// ControlReader.
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
    void BitBtn18Click(const QString &enteredText);

    // "Read main information about this device", and the main window's "Read type".
    void BitBtn24Click();
    void BitBtn27Click();

    void BitBtn19Click(); // Change ID
    void Button1Click();  // Change interface parameters
    void Button2Click();  // Read code
    void BitBtn20Click(); // Change code
    void BitBtn21Click(); // Lock device
    void BitBtn22Click(); // Unlock device
    void BitBtn23Click(); // Set number of pulse inputs
    void BitBtn29Click(); // Set polarity
    void BitBtn25Click(); // Change address
    void BitBtn26Click(); // Change pulse length
    void BitBtn30Click(); // Set inputs display

private:
    QString text(ControlReader::Field field) const;
    ServiceControls serviceControls() const;
    void log(const QString &line);
    void buildInfoRead();
    // Sends a service command of kind 1 to 7 once the caller's checks have passed. The rejections
    // of the command builder count as input checks and come before the busy refusal.
    void sendServiceCommand(int kind);
    // Function 6 to one of the logger's settings registers; nobody waits for the answer.
    void sendSettingWrite(int reg, int value, int placement);

    DeviceSession &m_session;
    bool m_unlocked = false;
    RequestRunner::Command m_infoRead;
    std::optional<LoggerStatus> m_lastStatus;
};

} // namespace corvane
