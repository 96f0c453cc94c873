#include "cli_monitor.h"

#include "cli_report.h"
#include "cli_run.h"
#include "cli_signals.h"
#include "device_session.h"
#include "monitor_json.h"
#include "value_encoding.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QScopeGuard>
#include <QTimer>


namespace corvane {
namespace {

// Commands of one address waiting for the line; more are refused.
constexpr int kCommandsWaiting = 4;
// How long the readings still queued for the broker may take at exit.
constexpr std::chrono::seconds kFinishWait{5};

} // namespace

CliMonitor::CliMonitor(const CliOptions &options, DeviceSession &session, Prepare prepare,
                       std::function<void()> stopPreparing,
                       std::function<std::optional<QString>()> lineLost,
                       std::function<void()> afterReading, std::FILE *out, std::FILE *err)
    : m_options(options), m_session(session), m_prepare(std::move(prepare)),
      m_stopPreparing(std::move(stopPreparing)), m_lineLost(std::move(lineLost)), m_afterReading(std::move(afterReading)), m_out(out),
      m_err(err), m_monitor(session) {
    connect(&m_monitor, &Monitor::readingReady, this, &CliMonitor::onReading);
    connect(&m_monitor, &Monitor::cycleEnded, this, &CliMonitor::onCycleEnded);
    m_monitor.setInterlude([this] {
        prepareLate();
        runCommands();
    });
    connect(&m_monitor, &Monitor::runningChanged, this, [this](bool running) {
        if (!running && m_loop)
            m_loop->quit();
    });
}

CliMonitor::~CliMonitor() = default;

void CliMonitor::line(const QString &text) {
    printLine(m_err, QStringLiteral("%1: %2").arg(QLatin1String(kProgram), text));
}

int CliMonitor::check() {
    if (m_options.mqtt) {
        if (!m_options.mqttCredentials.isEmpty()) {
            QString problem;
            m_credentials = readMqttCredentials(m_options.mqttCredentials, &problem);
            if (!m_credentials) {
                line(QStringLiteral("credentials file %1: %2")
                         .arg(shownText(m_options.mqttCredentials), problem));
                return CliExit::Usage;
            }
        }
        if (!m_options.mqttCa.isEmpty() && !QFileInfo(m_options.mqttCa).isFile()) {
            line(QStringLiteral("CA file %1: it is not a readable file")
                     .arg(shownText(m_options.mqttCa)));
            return CliExit::Usage;
        }
    }
    if (!m_options.csvFile.isEmpty() && !m_recorder.openLog(m_options.csvFile)) {
        line(QStringLiteral("monitor log %1: %2")
                 .arg(shownText(m_options.csvFile), m_recorder.logError()));
        return CliExit::Usage;
    }
    return CliExit::Ok;
}

int CliMonitor::exec() {
    m_signals = std::make_unique<StopSignals>([this] { quit(CliExit::Ok); });
    if (m_options.mqtt) {
        MqttPublisher::Settings settings;
        settings.target = *m_options.mqtt;
        settings.credentials = m_credentials;
        settings.caFile = m_options.mqttCa;
        settings.bufferLimit = m_options.mqttBuffer;
        settings.statusTopic = statusTopic(m_options.mqtt->prefix);
        m_mqtt = std::make_unique<MqttPublisher>(settings);
        const QString host = MqttPublisher::hostText(*m_options.mqtt);
        connect(m_mqtt.get(), &MqttPublisher::connectionChanged, this,
                [this, host](bool connected, const QString &reason) {
                    if (connected)
                        line(QStringLiteral("connected to the MQTT broker at %1").arg(host));
                    else
                        line(QStringLiteral("the MQTT broker at %1 cannot be reached (%2); "
                                            "readings are kept until it returns")
                                 .arg(host, reason));
                });
        connect(m_mqtt.get(), &MqttPublisher::credentialsRefused, this,
                [this, host](const QString &reason) {
                    line(QStringLiteral("the MQTT broker at %1 refused the credentials: %2")
                             .arg(host, reason));
                    quit(CliExit::PortFailed);
                });
        connect(m_mqtt.get(), &MqttPublisher::tlsFailed, this, [this, host](const QString &reason) {
            line(QStringLiteral("the TLS connection to the MQTT broker at %1 failed: %2")
                     .arg(host, reason));
            quit(CliExit::PortFailed);
        });
        connect(m_mqtt.get(), &MqttPublisher::publishesRefused, this,
                [this, host](qint64 total, const QString &reason) {
                    line(QStringLiteral("the MQTT broker at %1 refused %2 %3 so far (%4): they "
                                        "are lost")
                             .arg(host)
                             .arg(total)
                             .arg(total == 1 ? QStringLiteral("publish")
                                             : QStringLiteral("publishes"))
                             .arg(reason));
                });
        connect(m_mqtt.get(), &MqttPublisher::readingsDropped, this, [this](qint64 total) {
            line(QStringLiteral("the MQTT buffer of %1 readings is full: the oldest are "
                                "dropped, %2 so far")
                     .arg(m_options.mqttBuffer)
                     .arg(total));
        });
        if (m_options.mqttCommands) {
            m_mqtt->subscribe(commandTopics(m_options.mqtt->prefix));
            connect(m_mqtt.get(), &MqttPublisher::messageReceived, this, &CliMonitor::onCommand);
        }
        QString problem;
        if (!m_mqtt->start(&problem)) {
            line(QStringLiteral("MQTT: %1").arg(problem));
            return CliExit::Usage;
        }
    }
    const bool logOpen = m_recorder.logOpen();
    if (!m_recorder.start({QDateTime::currentDateTime(),
                           std::chrono::seconds(m_options.intervalSeconds), m_options.port,
                           m_options.addresses},
                          QStringLiteral(";")) &&
        logOpen) {
        line(QStringLiteral("monitor log %1: %2")
                 .arg(shownText(m_options.csvFile), m_recorder.logError()));
        return CliExit::LoggerFailed;
    }

    prepareAll(m_options.addresses);
    if (!m_quitting) {
        startMonitor();
        QEventLoop loop;
        m_loop = &loop;
        loop.exec();
        m_loop = nullptr;
    }
    if (m_mqtt) {
        // Every command gets its one result, also one the monitor did not come to.
        for (const QList<PendingCommand> *waiting : {&m_commands, &m_readsNow}) {
            for (const PendingCommand &command : *waiting)
                answer(command, QStringLiteral("the monitor stopped before it was made"));
        }
        m_commands.clear();
        m_readsNow.clear();
        for (int address : m_options.addresses)
            publishAvailability(address, false);
        m_mqtt->finish(kFinishWait);
        if (m_mqtt->undelivered() > 0)
            line(QStringLiteral("%1 readings could not be delivered to the MQTT broker")
                     .arg(m_mqtt->undelivered()));
    }
    return m_code;
}

void CliMonitor::prepareAll(const QList<int> &addresses) {
    m_preparing = true;
    const auto prepared = qScopeGuard([this] { m_preparing = false; });
    for (int address : addresses) {
        if (m_quitting)
            return;
        std::optional<MonitoredLogger> logger = m_prepare(address);
        if (!logger)
            continue;
        m_prepared.insert(address);
        if (!m_mqtt || !m_options.haDiscovery || logger->deviceId.isEmpty())
            continue;
        // Two loggers left at the same ID would merge into one device; the address keeps them
        // apart.
        QString &id = logger->deviceId;
        const int owner = m_deviceIds.value(id, address);
        if (owner != address) {
            line(QStringLiteral("addresses %1 and %2 report the same device ID %3; the "
                                "discovery of %2 names it %3_%2")
                     .arg(owner)
                     .arg(address)
                     .arg(id));
            id += QStringLiteral("_%1").arg(address);
        }
        m_deviceIds.insert(id, address);
        for (const DiscoveryConfig &config : discoveryConfigs(m_options.mqtt->prefix, address, id,
                                                              logger->model, logger->units))
            m_mqtt->setRetained(config.topic, config.payload);
        // Buttons only where pressing them does something.
        if (m_options.mqttCommands) {
            for (const DiscoveryConfig &config :
                 discoveryButtons(m_options.mqtt->prefix, address, id, logger->model))
                m_mqtt->setRetained(config.topic, config.payload);
        }
    }
}

void CliMonitor::startMonitor() {
    QTimer::singleShot(0, this, [this] {
        if (m_quitting)
            return;
        MonitorOptions options;
        options.interval = std::chrono::seconds(m_options.intervalSeconds);
        options.addresses = m_options.addresses;
        m_statistics.reset();
        m_statistics.follow(m_session.runner);
        if (m_monitor.start(options) != CommandStart::Started) {
            line(QStringLiteral("the monitor could not start"));
            quit(CliExit::PortFailed);
        }
    });
}

// The publisher sends a retained value only when it changes.
void CliMonitor::publishAvailability(int address, bool online) {
    if (m_mqtt)
        m_mqtt->setRetained(availabilityTopic(m_options.mqtt->prefix, address),
                            online ? QByteArrayLiteral("online") : QByteArrayLiteral("offline"));
}

void CliMonitor::onReading(const DeviceReading &reading) {
    const bool logOpen = m_recorder.logOpen();
    const LinkCounts link = m_statistics.counts(reading.address);
    const QByteArray json = logOpen && !m_mqtt ? QByteArray() : monitorReadingLine(reading, &link);
    const MonitorState before = m_recorder.state(reading.address);
    if (!m_recorder.record(reading, QStringLiteral(";"), QLocale::c()) && logOpen) {
        line(QStringLiteral("monitor log %1: %2")
                 .arg(shownText(m_options.csvFile), m_recorder.logError()));
        quit(CliExit::LoggerFailed);
    } else if (!logOpen) {
        std::fwrite(json.constData(), 1, std::size_t(json.size()), m_out);
        std::fputc('\n', m_out);
        std::fflush(m_out);
    }
    if (m_mqtt)
        m_mqtt->publishReading(stateTopic(m_options.mqtt->prefix, reading.address), json);
    if (m_afterReading)
        m_afterReading();
    // A read-now is answered by the first reading of its address that began after it came.
    for (auto it = m_readsNow.begin(); it != m_readsNow.end();) {
        if (it->command.address != reading.address || reading.time < it->received) {
            ++it;
            continue;
        }
        answer(*it, reading.stopped ? std::optional(QStringLiteral("stopped"))
                                    : reading.failureReason());
        it = m_readsNow.erase(it);
    }
    const MonitorState now = m_recorder.state(reading.address);
    if (now == MonitorState::Online) {
        publishAvailability(reading.address, true);
        if (!m_prepared.contains(reading.address)) {
            m_answeredUnprepared.insert(reading.address);
            m_monitor.requestInterlude();
        }
    } else if (now == MonitorState::Offline && before != now) {
        publishAvailability(reading.address, false);
    }
}

void CliMonitor::onCycleEnded() {
    if (const std::optional<QString> lost = m_lineLost ? m_lineLost() : std::nullopt) {
        line(*lost);
        quit(CliExit::PortFailed);
        return;
    }
}

int CliMonitor::waitingFor(int address) const {
    int count = 0;
    for (const QList<PendingCommand> *waiting : {&m_commands, &m_readsNow}) {
        for (const PendingCommand &command : *waiting)
            count += command.command.address == address;
    }
    return count;
}

void CliMonitor::onCommand(const QByteArray &topic, const QByteArray &payload, bool retained) {
    const MqttCommandParse parse =
        parseMqttCommand(m_options.mqtt->prefix, topic, payload, m_options.addresses);
    PendingCommand pending;
    pending.id = parse.id;
    pending.name = parse.name;
    pending.resultTopic = parse.resultTopic;
    pending.received = QDateTime::currentDateTime();
    pending.clock.start();
    if (parse.command)
        pending.command = *parse.command;
    // Kept by the broker from before, it would be made again at every start.
    if (retained) {
        answer(pending, QStringLiteral("a retained command is not taken: send it without "
                                       "the retain flag"));
        return;
    }
    if (!parse.command) {
        answer(pending, parse.error);
        return;
    }
    if (waitingFor(pending.command.address) >= kCommandsWaiting) {
        answer(pending, QStringLiteral("address %1 has %2 commands waiting already")
                            .arg(pending.command.address)
                            .arg(kCommandsWaiting));
        return;
    }
    if (m_quitting) {
        answer(pending, QStringLiteral("the monitor is stopping"));
        return;
    }
    if (pending.command.kind == MqttCommand::Kind::ReadNow) {
        m_readsNow.append(pending);
        m_monitor.readSoon(pending.command.address);
    } else {
        m_commands.append(pending);
        m_monitor.requestInterlude();
    }
}

void CliMonitor::runCommands() {
    m_preparing = true;
    const auto done = qScopeGuard([this] { m_preparing = false; });
    while (!m_commands.isEmpty() && !m_quitting && m_runCommand) {
        const PendingCommand command = m_commands.takeFirst();
        const AddressResult result = m_runCommand(command.command);
        QJsonObject extra;
        if (!result.error && command.command.kind == MqttCommand::Kind::SetClock)
            extra.insert(QStringLiteral("written"), result.json.value(QLatin1String("time")));
        if (!result.error && command.command.kind == MqttCommand::Kind::Identify)
            extra.insert(QStringLiteral("identify"), result.json);
        answer(command, result.error, extra);
    }
}

void CliMonitor::answer(const PendingCommand &command, const std::optional<QString> &error,
                        const QJsonObject &extra) {
    const qint64 ms = command.clock.isValid() ? command.clock.elapsed() : 0;
    const QString name = command.name.isEmpty() ? QStringLiteral("?") : command.name.left(64);
    const QString id = command.id.isString()
                           ? command.id.toString().left(64)
                           : QString::fromUtf8(QJsonDocument(QJsonArray{command.id})
                                                   .toJson(QJsonDocument::Compact))
                                 .mid(1)
                                 .chopped(1)
                                 .left(64);
    line(QStringLiteral("MQTT command %1 on %2 (id %3): %4")
             .arg(shownText(name), QString::fromUtf8(command.resultTopic).section(QLatin1Char('/'), -2, -2),
                  shownText(id),
                  error ? QStringLiteral("error: ") + *error
                        : QStringLiteral("ok in %1 ms").arg(ms)));
    if (m_mqtt)
        m_mqtt->publishReading(command.resultTopic,
                               mqttCommandResult(command.id, command.name, error,
                                                 QDateTime::currentDateTime(), ms, extra));
}

// An address that was silent at the start has answered: its units and ID are learnt before
// the next address, which needs the line for a moment.
void CliMonitor::prepareLate() {
    if (m_quitting || m_answeredUnprepared.isEmpty())
        return;
    const QList<int> addresses = m_answeredUnprepared.values();
    m_answeredUnprepared.clear();
    prepareAll(addresses);
}

void CliMonitor::quit(int code) {
    if (code != CliExit::Ok && m_code == CliExit::Ok)
        m_code = code;
    if (m_quitting)
        return;
    m_quitting = true;
    // While an address is prepared: the request in flight is finished, and nothing more of
    // the preparation is started.
    if (m_preparing && m_stopPreparing)
        m_stopPreparing();
    if (m_monitor.isRunning()) {
        // Its end, after the request in flight, ends the loop.
        m_monitor.stop();
        return;
    }
    if (m_loop)
        m_loop->quit();
}

} // namespace corvane
