#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <chrono>
#include <cstdint>

namespace corvane {

class DeviceSession;
struct ServiceControls;

// The service page without its widgets: the password gate, the five-step device-information
// read (also behind the main window's "Read type") and the service commands. Texts go out
// through the session's Output, what the operator typed comes in through its ControlReader.
//
// The page's four timers count as requests in flight for the whole session: while any of them
// runs, every command that would send is refused after its own checks, and the page refuses
// likewise while another sequence runs.
class ServicePage : public QObject {
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds kStepInterval{111};
    static constexpr std::chrono::milliseconds kDefaultResponseTime{500};
    // "Read code" waits longer than the other commands: the logger looks the code up first.
    static constexpr std::chrono::milliseconds kCodeWindow{1000};
    static constexpr int kLastInfoStep = 5;

    explicit ServicePage(DeviceSession &session, QObject *parent = nullptr);

    // Interval of Timer_response_service and Timer_service (the ResponseTime setting).
    void setResponseTime(std::chrono::milliseconds window);
    std::chrono::milliseconds responseTime() const;

    bool isUnlocked() const { return m_unlocked; }
    // Whether the information read or an answer window of a command is still running.
    bool isBusy() const;
    // The port closed: the information read and the command windows stop where they are, and
    // BitBtn24 comes back. Returns whether anything was running.
    bool stopForClosedPort();

    std::int32_t serviceStep() const { return ServiceStep; }
    bool serviceResponseReady() const { return ServiceResponseReady; }
    const QTimer &readServiceTimer() const { return Timer_readservice; }
    const QTimer &responseServiceTimer() const { return Timer_response_service; }
    const QTimer &serviceTimer() const { return Timer_service; }
    const QTimer &codeTimer() const { return Timer_code; }

public Q_SLOTS:
    // Password "Enter". Once the page is open it stays open; the entry is hidden by then.
    void BitBtn18Click(const QString &enteredText);

    // "Read main information about this device", and the main window's "Read type".
    void BitBtn24Click();
    void BitBtn27Click();
    void Timer_readserviceTimer();
    void Timer_response_serviceTimer();

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
    void Timer_serviceTimer();
    void Timer_codeTimer();

private:
    QString text(const QString &control) const;
    ServiceControls serviceControls() const;
    void log(const QString &line);
    void sendInfoStep(int slave);
    void decodeInfoStep(const QByteArray &reply);
    void finishInfoRead();
    // Sends a service command of kind 1 to 7 once the caller's checks have passed. The rejections
    // of the command builder count as input checks and come before the busy refusal.
    void sendServiceCommand(int kind);
    // Function 6 to one of the logger's settings registers; nobody waits for the answer.
    void sendSettingWrite(int reg, int value, int placement);

    DeviceSession &m_session;
    bool m_unlocked = false;

    std::int32_t ServiceStep = 0;
    bool ServiceResponseReady = false;

    QTimer Timer_readservice;
    QTimer Timer_response_service;
    QTimer Timer_service;
    QTimer Timer_code;
};

} // namespace corvane
