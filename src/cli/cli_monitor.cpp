#include "cli_monitor.h"

#include "cli_report.h"
#include "cli_run.h"
#include "device_session.h"
#include "monitor_json.h"
#include "value_encoding.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace corvane {
namespace {

// How long the readings still queued for the broker may take at exit.
constexpr std::chrono::seconds kFinishWait{5};

int g_signalPipe[2] = {-1, -1};

extern "C" void onTerminate(int) {
    const char byte = 1;
    // Nothing else is safe in a handler; a full pipe already holds the news.
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

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
    m_monitor.setBetweenCycles([this] { betweenCycles(); });
    connect(&m_monitor, &Monitor::runningChanged, this, [this](bool running) {
        if (!running && m_loop)
            m_loop->quit();
    });
}

CliMonitor::~CliMonitor() {
    if (g_signalPipe[0] >= 0) {
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGTERM, SIG_DFL);
        ::close(g_signalPipe[0]);
        ::close(g_signalPipe[1]);
        g_signalPipe[0] = g_signalPipe[1] = -1;
    }
}

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
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_signals = std::make_unique<QSocketNotifier>(g_signalPipe[0], QSocketNotifier::Read);
        connect(m_signals.get(), &QSocketNotifier::activated, this, [this] {
            char bytes[16];
            while (::read(g_signalPipe[0], bytes, sizeof bytes) > 0) {
            }
            quit(CliExit::Ok);
        });
        struct sigaction action {};
        action.sa_handler = onTerminate;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGTERM, &action, nullptr);
    }
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
    const MonitorState now = m_recorder.state(reading.address);
    if (now == MonitorState::Online) {
        publishAvailability(reading.address, true);
        if (!m_prepared.contains(reading.address))
            m_answeredUnprepared.insert(reading.address);
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

// An address that was silent at the start has answered: its units and ID are learnt between
// two cycles, which needs the line for a moment.
void CliMonitor::betweenCycles() {
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
