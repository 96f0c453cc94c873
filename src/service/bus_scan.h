#pragma once

#include "request_runner.h"
#include "service_commands.h"

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>

#include <chrono>
#include <optional>

namespace corvane {

class DeviceSession;

// A logger that answered a scan.
struct FoundLogger {
    int address = 0;
    LineSetting line;
    QString model;    // "QTR-8D", or the identification text when no model is recognised
    QString deviceId; // empty when the status query went unanswered
    int inputs = 0;
};

// The port a scan switches between line settings.
class ScanPort {
public:
    virtual ~ScanPort() = default;
    virtual LineSetting lineSetting() const = 0;
    // Applies speed and parity to the open port; throws what the port throws.
    virtual void applyLineSetting(const LineSetting &setting) = 0;
    // A serial gateway's port: the line runs at the gateway's own settings, whatever the port
    // is set to, so trying other settings finds nothing new.
    virtual bool fixedLineSetting() const { return false; }
};

class TSerComm;

// A scan's view of a serial port of the serial component.
class SerCommScanPort : public ScanPort {
public:
    explicit SerCommScanPort(TSerComm &comm) : m_comm(comm) {}
    LineSetting lineSetting() const override;
    void applyLineSetting(const LineSetting &setting) override;
    bool fixedLineSetting() const override;

private:
    TSerComm &m_comm;
};

struct ScanOptions {
    int from = 1;
    int to = 250;
    // Tried in this order; every address is probed at each.
    QList<LineSetting> settings;
    // Unset: derived from each setting's speed (defaultReplyWait).
    std::optional<std::chrono::milliseconds> replyWait;
};

// The time of the longest probe reply at this speed plus 30 ms: long enough for a logger that
// answers at once, short enough that 250 silent addresses do not take minutes.
std::chrono::milliseconds defaultReplyWait(int speed);
// The window of the identification requests, which only follow an answer: room for the longest
// Modbus reply, since an identification text has no fixed length.
std::chrono::milliseconds identificationWait(int speed, std::chrono::milliseconds replyWait);

// "6 min 12 s", "45 s".
QString durationText(std::chrono::milliseconds duration);

// Finds the loggers on the line: at each line setting and address, the first request of the
// information read; where it is answered, the status query and the device identification give
// the ID and the model. Each probe is a command of its own on the session's runner, with the
// early close of fast replies whatever the setting says, and the runner stays reserved between
// probes, so no other command gets in while a scan runs and a scan does not start while one
// does. Stop ends the scan after the probe in flight; the port then goes back to the setting
// it had before the scan. With fast replies on, probes go out with the fast mode's frame timing.
// A probe that comes back as its own echo is no answer, and the log says once that the line
// echoes.
class BusScan : public QObject {
    Q_OBJECT
public:
    BusScan(DeviceSession &session, ScanPort &port, QObject *parent = nullptr);
    ~BusScan() override;

    // Refuses, with the log line of the refusal, when the port is closed, another request is in
    // flight or the range is empty. The range is clamped to 1..250.
    bool start(const ScanOptions &options);
    void stop();
    bool isRunning() const { return m_running; }

    int probesDone() const { return m_done; }
    int probesTotal() const { return m_total; }
    // From the timing model, at the pace the probes so far kept against it.
    std::chrono::milliseconds estimatedLeft() const;
    // Pre-send delay, send and reply wait of one silent address at this setting.
    std::chrono::milliseconds probeCost(const LineSetting &setting) const;
    const QList<FoundLogger> &found() const { return m_found; }
    // The summary line of the last scan.
    QString summary() const { return m_summary; }

Q_SIGNALS:
    void loggerFound(const FoundLogger &logger);
    void progressed(int done, int total);
    void finished(bool stopped);

private:
    void next();
    void probe();
    void afterProbe();
    void identify();
    void afterIdentify();
    void recordFound();
    void end(bool stopped);
    std::chrono::milliseconds replyWait() const;
    RequestRunner::Command probeCommand(std::vector<RequestRunner::Step> steps,
                                        std::chrono::milliseconds window);

    DeviceSession &m_session;
    ScanPort &m_port;
    ScanOptions m_options;
    bool m_running = false;
    bool m_stopRequested = false;
    int m_settingIndex = 0;
    int m_address = 0;
    int m_done = 0;
    int m_total = 0;
    std::optional<LineSetting> m_original;
    bool m_answered = false;
    // The line's echo has been pointed out in this scan.
    bool m_echoHintGiven = false;
    std::optional<LoggerStatus> m_status;
    QString m_identification;
    QList<FoundLogger> m_found;
    QString m_summary;
    QElapsedTimer m_clock;
};

} // namespace corvane
