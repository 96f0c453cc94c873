#pragma once

#include "cli_options.h"
#include "cli_report.h"
#include "monitor.h"
#include "line_statistics.h"
#include "monitor_recorder.h"
#include "mqtt_commands.h"
#include "mqtt_publisher.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QSet>

#include <cstdio>
#include <functional>
#include <memory>

namespace corvane {

class DeviceSession;
class StopSignals;

// What the command line learns of an address before monitoring it.
struct MonitoredLogger {
    QString model;
    QString deviceId; // only for discovery
    QStringList units; // of each input's consumption
};

// corvane-cli monitor: the window's monitor cycle on the command line's session, its readings
// as JSON lines on stdout (or the monitor's CSV) and, with --mqtt, on a broker. Runs until
// SIGINT or SIGTERM, or until the port's device is gone.
class CliMonitor : public QObject {
    Q_OBJECT
public:
    // What the command line does before the first cycle and again for an address that first
    // answers later; nothing when the address did not answer.
    using Prepare = std::function<std::optional<MonitoredLogger>(int address)>;

    // stopPreparing: ends the preparation of an address after its request in flight. lineLost:
    // the line saying that the port's device has gone, if it has. afterReading: called once a
    // reading is out, so that the command line forgets the outcomes it collected for it.
    CliMonitor(const CliOptions &options, DeviceSession &session, Prepare prepare,
               std::function<void()> stopPreparing,
               std::function<std::optional<QString>()> lineLost,
               std::function<void()> afterReading, std::FILE *out, std::FILE *err);
    ~CliMonitor() override;

    // Runs a broker's set-clock or identify on the line, between the monitor's requests.
    using CommandRunner = std::function<AddressResult(const MqttCommand &command)>;
    void setCommandRunner(CommandRunner run) { m_runCommand = std::move(run); }

    // The checks that need no port: the credentials and CA files, the CSV file. An exit code.
    int check();
    int exec();

private:
    void onReading(const DeviceReading &reading);
    void onCycleEnded();
    void prepareLate();
    void prepareAll(const QList<int> &addresses);
    void startMonitor();
    void quit(int code);
    void publishAvailability(int address, bool online);

    // A command from the broker, queued until the line is free.
    struct PendingCommand {
        MqttCommand command;
        QJsonValue id;
        QString name;
        QByteArray resultTopic;
        QDateTime received;
        QElapsedTimer clock;
    };
    void onCommand(const QByteArray &topic, const QByteArray &payload, bool retained);
    void runCommands();
    // Its one result on the broker, and its one line on stderr.
    void answer(const PendingCommand &command, const std::optional<QString> &error,
                const QJsonObject &extra = {});
    int waitingFor(int address) const;
    void line(const QString &text);

    const CliOptions &m_options;
    DeviceSession &m_session;
    Prepare m_prepare;
    std::function<void()> m_stopPreparing;
    std::function<std::optional<QString>()> m_lineLost;
    std::function<void()> m_afterReading;
    std::FILE *m_out;
    std::FILE *m_err;
    Monitor m_monitor;
    // Since the monitor started, for each reading's link object and the log's columns.
    LineStatistics m_statistics;
    MonitorRecorder m_recorder{&m_statistics};
    std::optional<MqttCredentials> m_credentials;
    std::unique_ptr<MqttPublisher> m_mqtt;
    std::unique_ptr<StopSignals> m_signals;

    QSet<int> m_prepared;
    QHash<QString, int> m_deviceIds; // the address that first reported each
    // Prepared once they answer, in the monitor's next interlude.
    QSet<int> m_answeredUnprepared;
    CommandRunner m_runCommand;
    // set-clock and identify, in the order they came.
    QList<PendingCommand> m_commands;
    // read-now, until a reading of their address that began after them.
    QList<PendingCommand> m_readsNow;
    QEventLoop *m_loop = nullptr;
    bool m_quitting = false;
    bool m_preparing = false;
    int m_code = 0;
};

} // namespace corvane
