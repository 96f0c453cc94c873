#pragma once

#include "mqtt_target.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <vector>

struct mosquitto;

namespace corvane {

// Publishes to one MQTT broker from a thread of its own, so that a slow or absent broker never
// holds up the line. Readings are kept in a bounded queue until the broker has acknowledged
// them (QoS 1), in order; when the queue is full the oldest not yet handed over is dropped.
// Retained values (status, availability, discovery) are kept by topic and sent again on every
// connection, since a broker may have lost them while it was away. The connection is retried
// with a backoff from 1 s doubling to 60 s.
class MqttPublisher : public QObject {
    Q_OBJECT
public:
    struct Settings {
        MqttTarget target;
        std::optional<MqttCredentials> credentials;
        QString caFile;
        // Readings kept while the broker is away.
        int bufferLimit = 10000;
        // Retained "offline" on it is the Last Will; "online" is sent on every connection.
        QByteArray statusTopic;
    };

    explicit MqttPublisher(Settings settings, QObject *parent = nullptr);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher &) = delete;
    MqttPublisher &operator=(const MqttPublisher &) = delete;

    // Starts connecting in the background. False, with the reason, when the settings cannot
    // be used (a CA file the TLS layer refuses, say).
    bool start(QString *problem);
    void publishReading(const QByteArray &topic, const QByteArray &payload);
    // Kept and sent (again) whenever connected; the same payload again sends nothing new.
    void setRetained(const QByteArray &topic, const QByteArray &payload);
    // Subscribed at QoS 1 on every connection, before start. What arrives comes as
    // messageReceived.
    void subscribe(const QByteArray &pattern);
    // Sends "offline" on the status topic and what is still queued, waiting at most `wait`
    // while connected, then disconnects. What could not be delivered is counted in undelivered().
    void finish(std::chrono::milliseconds wait);

    qsizetype queued() const;
    qint64 dropped() const;
    qint64 undelivered() const { return m_undelivered; }

    static QString hostText(const MqttTarget &target);

Q_SIGNALS:
    // The broker took the connection (true) or it was lost or refused (false, with the reason).
    void connectionChanged(bool connected, const QString &reason);
    // The broker refused the credentials: retrying would not help.
    void credentialsRefused(const QString &reason);
    // The first reading dropped since the broker went away; the total so far.
    void readingsDropped(qint64 total);
    // The broker refused publishes (a topic it does not allow): the first at once, then at most
    // once a minute, with the total so far and the broker's reason.
    void publishesRefused(qint64 total, const QString &reason);
    // The TLS handshake or the broker's certificate failed before any connection was made: the
    // settings are wrong, and retrying would not help.
    void tlsFailed(const QString &reason);
    // A message on a subscribed topic; retained: the broker kept it from before.
    void messageReceived(const QByteArray &topic, const QByteArray &payload, bool retained);

private:
    struct Message {
        QByteArray topic;
        QByteArray payload;
        int mid = 0; // handed over to the library, waiting for its acknowledgement
    };
    struct Retained {
        QByteArray topic;
        QByteArray payload;
        bool pending = true;
    };

    static void onConnect(mosquitto *, void *self, int rc);
    static void onDisconnect(mosquitto *, void *self, int rc);
    static void onPublish(mosquitto *, void *self, int mid, int reason, const void *properties);
    static void onLog(mosquitto *, void *self, int level, const char *text);
    static void onMessage(mosquitto *, void *self, const void *message);

    void run();
    // Hands what may go out to the library; the lock is held.
    void pump();
    bool idle() const;
    void waitBackoff(std::unique_lock<std::mutex> &lock);

    Settings m_settings;
    mosquitto *m_mosq = nullptr;
    std::thread m_thread;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Message> m_readings;
    std::vector<Retained> m_retained;
    std::vector<QByteArray> m_subscriptions;
    // The ids of what the library holds unacknowledged. A retained value sent again before
    // its last send was acknowledged, or sent again on a new connection, has two.
    std::set<int> m_inFlight;
    bool m_connected = false;
    bool m_stop = false;
    bool m_finishing = false;
    bool m_refused = false;
    bool m_tlsFailed = false;
    bool m_everConnected = false;
    // MQTT 5 first, which tells a refused publish; 3.1.1 for a broker that does not speak it.
    int m_protocol = 5;
    bool m_protocolChanged = false;
    bool m_connackSeen = false;
    // The TLS layer's last error, as the library logged it.
    QString m_tlsError;
    qint64 m_publishesRefused = 0;
    std::chrono::steady_clock::time_point m_refusalNoticed{};
    std::chrono::steady_clock::time_point m_attemptStarted{};
    bool m_slowNoticed = false;
    bool m_dropNoticed = false;
    qint64 m_dropped = 0;
    qint64 m_undelivered = 0;
    std::chrono::seconds m_backoff{1};
    QString m_lastProblem;
};

} // namespace corvane
