#include "mqtt_publisher.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QLoggingCategory>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

Q_LOGGING_CATEGORY(lcMqtt, "corvane.mqtt")

namespace corvane {
namespace {

constexpr int kQos = 1;
constexpr int kKeepAliveSeconds = 30;
// Messages handed to the library and not yet acknowledged: its own default limit, so that it
// never holds one back in a queue of its own.
constexpr int kMaxInFlight = 20;
constexpr std::chrono::seconds kLongestBackoff{60};
// A broker that took the connection but has not answered it by then is named, once.
constexpr std::chrono::seconds kSlowConnect{10};
// How often refused publishes are told again while they go on.
constexpr std::chrono::seconds kRefusalNotice{60};
constexpr int kLoopTimeoutMs = 100;

// The library is set up once a process; its counterpart runs at exit.
void initLibrary() {
    static const bool done = [] {
        mosquitto_lib_init();
        std::atexit([] { mosquitto_lib_cleanup(); });
        return true;
    }();
    (void)done;
}

QString errorText(int rc) {
    if (rc == MOSQ_ERR_ERRNO)
        return QString::fromLocal8Bit(std::strerror(errno));
    return QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

QString MqttPublisher::hostText(const MqttTarget &target) {
    return QStringLiteral("%1:%2").arg(target.host).arg(target.port);
}

MqttPublisher::MqttPublisher(Settings settings, QObject *parent)
    : QObject(parent), m_settings(std::move(settings)) {
    initLibrary();
    m_retained.push_back({m_settings.statusTopic, QByteArrayLiteral("online")});
}

MqttPublisher::~MqttPublisher() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
    if (m_mosq)
        mosquitto_destroy(m_mosq);
}

bool MqttPublisher::start(QString *problem) {
    const auto failed = [problem](const QString &why) {
        if (problem)
            *problem = why;
        return false;
    };
    m_mosq = mosquitto_new(nullptr, true, this);
    if (!m_mosq)
        return failed(QString::fromLocal8Bit(std::strerror(errno)));
    mosquitto_connect_callback_set(m_mosq, &MqttPublisher::onConnect);
    mosquitto_disconnect_callback_set(m_mosq, &MqttPublisher::onDisconnect);
    mosquitto_publish_v5_callback_set(m_mosq, [](mosquitto *m, void *self, int mid, int reason,
                                                 const mosquitto_property *properties) {
        onPublish(m, self, mid, reason, properties);
    });
    mosquitto_log_callback_set(m_mosq, &MqttPublisher::onLog);
    mosquitto_message_callback_set(m_mosq, [](mosquitto *m, void *self,
                                              const mosquitto_message *message) {
        onMessage(m, self, message);
    });
    mosquitto_max_inflight_messages_set(m_mosq, kMaxInFlight);
    const QByteArray offline = QByteArrayLiteral("offline");
    int rc = mosquitto_will_set(m_mosq, m_settings.statusTopic.constData(), int(offline.size()),
                                offline.constData(), kQos, true);
    if (rc != MOSQ_ERR_SUCCESS)
        return failed(errorText(rc));
    if (m_settings.credentials) {
        rc = mosquitto_username_pw_set(m_mosq, m_settings.credentials->user.toUtf8().constData(),
                                       m_settings.credentials->password.toUtf8().constData());
        if (rc != MOSQ_ERR_SUCCESS)
            return failed(errorText(rc));
    }
    if (m_settings.target.tls) {
        const QByteArray ca = m_settings.caFile.toLocal8Bit();
        // Without a CA file the system's store is used.
        rc = ca.isEmpty() ? mosquitto_tls_set(m_mosq, nullptr, "/etc/ssl/certs", nullptr, nullptr,
                                              nullptr)
                          : mosquitto_tls_set(m_mosq, ca.constData(), nullptr, nullptr, nullptr,
                                              nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            return failed(errorText(rc));
    }
    m_thread = std::thread([this] { run(); });
    return true;
}

void MqttPublisher::publishReading(const QByteArray &topic, const QByteArray &payload) {
    std::lock_guard lock(m_mutex);
    if (qsizetype(m_readings.size()) >= m_settings.bufferLimit) {
        // The oldest one still waiting makes room; one already handed over will be delivered.
        const auto oldest = std::find_if(m_readings.begin(), m_readings.end(),
                                         [](const Message &m) { return m.mid == 0; });
        ++m_dropped;
        if (!m_dropNoticed) {
            m_dropNoticed = true;
            Q_EMIT readingsDropped(m_dropped);
        }
        // A buffer no larger than what is in flight has no waiting reading to give up.
        if (oldest == m_readings.end())
            return;
        m_readings.erase(oldest);
    }
    m_readings.push_back({topic, payload});
}

void MqttPublisher::setRetained(const QByteArray &topic, const QByteArray &payload) {
    std::lock_guard lock(m_mutex);
    const auto it = std::find_if(m_retained.begin(), m_retained.end(),
                                 [&](const Retained &r) { return r.topic == topic; });
    if (it == m_retained.end()) {
        m_retained.push_back({topic, payload});
        return;
    }
    if (it->payload == payload)
        return;
    it->payload = payload;
    it->pending = true;
}

void MqttPublisher::subscribe(const QByteArray &pattern) {
    std::lock_guard lock(m_mutex);
    m_subscriptions.push_back(pattern);
}

void MqttPublisher::onMessage(mosquitto *, void *self, const void *data) {
    auto *p = static_cast<MqttPublisher *>(self);
    const auto *message = static_cast<const mosquitto_message *>(data);
    Q_EMIT p->messageReceived(
        QByteArray(message->topic),
        QByteArray(static_cast<const char *>(message->payload), message->payloadlen),
        message->retain);
}

void MqttPublisher::finish(std::chrono::milliseconds wait) {
    if (!m_thread.joinable())
        return;
    setRetained(m_settings.statusTopic, QByteArrayLiteral("offline"));
    std::unique_lock lock(m_mutex);
    m_finishing = true;
    m_wake.wait_for(lock, wait,
                    [this] { return idle() || !m_connected || m_refused || m_tlsFailed; });
    m_undelivered += qint64(m_readings.size());
    m_stop = true;
    lock.unlock();
    m_wake.notify_all();
    m_thread.join();
}

qsizetype MqttPublisher::queued() const {
    std::lock_guard lock(m_mutex);
    return qsizetype(m_readings.size());
}

qint64 MqttPublisher::dropped() const {
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

bool MqttPublisher::idle() const {
    return m_readings.empty() && m_inFlight.empty() &&
           std::none_of(m_retained.begin(), m_retained.end(),
                        [](const Retained &r) { return r.pending; });
}

void MqttPublisher::pump() {
    if (!m_connected)
        return;
    const auto hand = [this](const QByteArray &topic, const QByteArray &payload, bool retain) {
        int mid = 0;
        const int rc = mosquitto_publish(m_mosq, &mid, topic.constData(), int(payload.size()),
                                         payload.constData(), kQos, retain);
        // Not connected after all: the library has queued it under its mid and sends it on
        // the next connection.
        if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN) {
            m_inFlight.insert(mid);
            return mid;
        }
        qCWarning(lcMqtt) << "cannot publish to" << topic << ":" << errorText(rc);
        return 0;
    };
    const auto room = [this] { return int(m_inFlight.size()) < kMaxInFlight; };
    for (Retained &r : m_retained) {
        if (!room())
            return;
        if (r.pending) {
            r.pending = false;
            hand(r.topic, r.payload, true);
        }
    }
    for (auto it = m_readings.begin(); it != m_readings.end() && room();) {
        if (it->mid == 0 && (it->mid = hand(it->topic, it->payload, false)) == 0) {
            ++m_undelivered;
            it = m_readings.erase(it);
        } else {
            ++it;
        }
    }
    if (m_finishing && idle())
        m_wake.notify_all();
}

void MqttPublisher::onConnect(mosquitto *, void *self, int rc) {
    auto *p = static_cast<MqttPublisher *>(self);
    std::lock_guard lock(p->m_mutex);
    p->m_connackSeen = true;
    if (rc != 0) {
        // A broker that speaks only 3.1.1 answers 1 ("unacceptable protocol version").
        if (p->m_protocol == MQTT_PROTOCOL_V5 &&
            (rc == 1 || rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION)) {
            p->m_protocol = MQTT_PROTOCOL_V311;
            p->m_protocolChanged = true;
            return;
        }
        const QString reason = QString::fromUtf8(p->m_protocol == MQTT_PROTOCOL_V5
                                                     ? mosquitto_reason_string(rc)
                                                     : mosquitto_connack_string(rc));
        // 4 and 134: bad user name or password, 5 and 135: not authorised.
        if (rc == 4 || rc == 5 || rc == MQTT_RC_BAD_USERNAME_OR_PASSWORD ||
            rc == MQTT_RC_NOT_AUTHORIZED) {
            p->m_refused = true;
            p->m_wake.notify_all();
            Q_EMIT p->credentialsRefused(reason);
        } else {
            p->m_lastProblem = reason;
        }
        return;
    }
    p->m_connected = true;
    p->m_everConnected = true;
    p->m_backoff = std::chrono::seconds(1);
    p->m_lastProblem.clear();
    for (Retained &r : p->m_retained)
        r.pending = true;
    // A clean session forgets its subscriptions with every connection.
    for (const QByteArray &pattern : p->m_subscriptions) {
        const int subscribed = mosquitto_subscribe(p->m_mosq, nullptr, pattern.constData(), kQos);
        if (subscribed != MOSQ_ERR_SUCCESS)
            qCWarning(lcMqtt) << "cannot subscribe to" << pattern << ":" << errorText(subscribed);
    }
    Q_EMIT p->connectionChanged(true, {});
    if (p->m_dropped > 0)
        Q_EMIT p->readingsDropped(p->m_dropped);
    p->m_dropNoticed = false;
    p->pump();
}

void MqttPublisher::onDisconnect(mosquitto *, void *self, int) {
    auto *p = static_cast<MqttPublisher *>(self);
    std::lock_guard lock(p->m_mutex);
    p->m_connected = false;
    p->m_wake.notify_all();
}

void MqttPublisher::onPublish(mosquitto *, void *self, int mid, int reason, const void *) {
    auto *p = static_cast<MqttPublisher *>(self);
    std::lock_guard lock(p->m_mutex);
    p->m_inFlight.erase(mid);
    const auto reading = std::find_if(p->m_readings.begin(), p->m_readings.end(),
                                      [mid](const Message &m) { return m.mid == mid; });
    // An MQTT 5 acknowledgement of 128 and above is a refusal: the broker has dropped it, and
    // sending it again would be refused again.
    const bool refused = reason >= 128;
    if (reading != p->m_readings.end()) {
        p->m_readings.erase(reading);
        if (refused)
            ++p->m_undelivered;
    }
    if (refused) {
        ++p->m_publishesRefused;
        const auto now = std::chrono::steady_clock::now();
        if (p->m_publishesRefused == 1 || now - p->m_refusalNoticed >= kRefusalNotice) {
            p->m_refusalNoticed = now;
            Q_EMIT p->publishesRefused(p->m_publishesRefused,
                                       QString::fromUtf8(mosquitto_reason_string(reason)));
        }
    }
    p->pump();
}

void MqttPublisher::onLog(mosquitto *, void *self, int level, const char *text) {
    auto *p = static_cast<MqttPublisher *>(self);
    const QString line = QString::fromUtf8(text);
    if (level != MOSQ_LOG_ERR || !line.contains(QLatin1String("OpenSSL")))
        return;
    // "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed": the last part
    // says it.
    std::lock_guard lock(p->m_mutex);
    p->m_tlsError = line.section(QLatin1Char(':'), -1).trimmed();
}

void MqttPublisher::waitBackoff(std::unique_lock<std::mutex> &lock) {
    m_wake.wait_for(lock, m_backoff, [this] { return m_stop; });
    m_backoff = std::min(m_backoff * 2, kLongestBackoff);
}

void MqttPublisher::run() {
    const QByteArray host = m_settings.target.host.toUtf8();
    bool socketUp = false;
    bool wasConnected = false;
    std::unique_lock lock(m_mutex);
    // Told once an outage, and again when its reason changes; then the backoff.
    const auto down = [&](const QString &problem) {
        if (wasConnected || problem != m_lastProblem)
            Q_EMIT connectionChanged(false, problem);
        m_lastProblem = problem;
        wasConnected = false;
        waitBackoff(lock);
    };
    // A TLS failure before the broker ever took a connection is a setting to mend (the wrong
    // CA, a broker without TLS), not an outage to wait out.
    const auto tlsFailure = [&](int rc) {
        if (m_everConnected || (rc != MOSQ_ERR_TLS && rc != MOSQ_ERR_TLS_HANDSHAKE))
            return false;
        m_tlsFailed = true;
        m_wake.notify_all();
        Q_EMIT tlsFailed(m_tlsError.isEmpty() ? errorText(rc) : m_tlsError);
        return true;
    };
    while (!m_stop && !m_refused && !m_tlsFailed) {
        if (!socketUp) {
            const int protocol = m_protocol;
            lock.unlock();
            mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, protocol);
            // Without blocking on a host that drops the handshake: the loop completes it, or
            // gives up after the keep-alive.
            const int rc = mosquitto_connect_async(m_mosq, host.constData(),
                                                   m_settings.target.port, kKeepAliveSeconds);
            lock.lock();
            if (tlsFailure(rc))
                break;
            if (rc != MOSQ_ERR_SUCCESS) {
                down(errorText(rc));
                continue;
            }
            socketUp = true;
            m_connackSeen = false;
            m_slowNoticed = false;
            m_attemptStarted = std::chrono::steady_clock::now();
        }
        lock.unlock();
        const int rc = mosquitto_loop(m_mosq, kLoopTimeoutMs, 1);
        lock.lock();
        wasConnected = wasConnected || m_connected;
        if (rc == MOSQ_ERR_SUCCESS) {
            if (!m_connected && !m_connackSeen && !m_slowNoticed &&
                std::chrono::steady_clock::now() - m_attemptStarted >= kSlowConnect) {
                m_slowNoticed = true;
                m_lastProblem = QStringLiteral("it has not answered the connection in %1 s")
                                    .arg(kSlowConnect.count());
                Q_EMIT connectionChanged(false, m_lastProblem);
            }
            pump();
            continue;
        }
        socketUp = false;
        m_connected = false;
        // Messages handed over stay with the library, which sends them again on reconnecting.
        if (m_refused || m_stop || tlsFailure(rc))
            break;
        // A broker that does not speak MQTT 5 may close the connection, or send an answer the
        // library cannot read, instead of saying so.
        if (m_protocol == MQTT_PROTOCOL_V5 && !m_connackSeen && !m_everConnected &&
            (rc == MOSQ_ERR_PROTOCOL || rc == MOSQ_ERR_MALFORMED_PACKET)) {
            m_protocol = MQTT_PROTOCOL_V311;
            m_protocolChanged = true;
        }
        // Tried again at once in the other protocol.
        if (std::exchange(m_protocolChanged, false))
            continue;
        // A refusal the broker gave in its answer says more than the closed socket.
        down(m_lastProblem.isEmpty() ? errorText(rc) : m_lastProblem);
    }
    if (socketUp && m_connected) {
        lock.unlock();
        mosquitto_disconnect(m_mosq);
        for (int i = 0; i < 10 && mosquitto_loop(m_mosq, 10, 1) == MOSQ_ERR_SUCCESS; ++i) {
        }
        lock.lock();
    }
    m_connected = false;
}

} // namespace corvane
