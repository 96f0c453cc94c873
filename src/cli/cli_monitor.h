#pragma once

#include "cli_options.h"
#include "monitor.h"
#include "monitor_log.h"
#include "mqtt_publisher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QSet>
#include <QSocketNotifier>

#include <cstdio>
#include <functional>
#include <memory>

namespace corvane {

class DeviceSession;

// corvane-cli monitor: the window's monitor cycle on the command line's session, its readings
// as JSON lines on stdout (or the monitor's CSV) and, with --mqtt, on a broker. Runs until
// SIGINT or SIGTERM, or until the port's device is gone.
class CliMonitor : public QObject {
    Q_OBJECT
public:
    // What the command line does before the first cycle and again for an address that first
    // answers later: learn its model and units (and, for discovery, its device ID). True when
    // the address answered; deviceId gets its ID when asked for.
    using Prepare = std::function<bool(int address, QString *deviceId, QStringList *units)>;

    // portLost: whether the port's device has gone. afterReading: called once a reading is out,
    // so that the command line forgets the outcomes it collected for it.
    CliMonitor(const CliOptions &options, DeviceSession &session, Prepare prepare,
               std::function<bool()> portLost, std::function<void()> afterReading,
               std::FILE *out, std::FILE *err);
    ~CliMonitor() override;

    // The checks that need no port: the credentials and CA files, the CSV file. An exit code.
    int check();
    int exec();

private:
    void onReading(const DeviceReading &reading);
    void onCycleEnded();
    void onStopped();
    void prepareAll(const QList<int> &addresses);
    void startMonitor(std::chrono::milliseconds delay);
    void quit(int code);
    void publishAvailability(int address, bool online);
    void line(const QString &text);

    const CliOptions &m_options;
    DeviceSession &m_session;
    Prepare m_prepare;
    std::function<bool()> m_portLost;
    std::function<void()> m_afterReading;
    std::FILE *m_out;
    std::FILE *m_err;
    Monitor m_monitor;
    MonitorLog m_log;
    std::optional<MqttTarget> m_target;
    std::optional<MqttCredentials> m_credentials;
    std::unique_ptr<MqttPublisher> m_mqtt;
    std::unique_ptr<QSocketNotifier> m_signals;

    QSet<int> m_prepared;
    QHash<QString, int> m_deviceIds; // the address that first reported each
    QSet<int> m_answeredUnprepared;
    QHash<int, int> m_missed;
    QHash<int, bool> m_online;
    QElapsedTimer m_cycleClock; // since the first reading of the last cycle
    int m_seenCycle = 0;
    QEventLoop *m_loop = nullptr;
    bool m_quitting = false;
    bool m_reprepare = false;
    int m_code = 0;
};

} // namespace corvane
