#pragma once

#include <QString>

#include <optional>

namespace corvane {

// Where the monitor publishes: mqtt://HOST[:PORT]/PREFIX, or mqtts:// for TLS.
struct MqttTarget {
    bool tls = false;
    QString host;
    int port = 1883;
    // The topics' root, without a trailing slash; never holds a wildcard.
    QString prefix;
};

std::optional<MqttTarget> parseMqttTarget(const QString &url);

struct MqttCredentials {
    QString user;
    QString password;
};

// The one "user:password" line of a credentials file; the password may hold colons. An empty
// optional, with the reason in *problem, when the file cannot be read or holds no such line.
std::optional<MqttCredentials> readMqttCredentials(const QString &path, QString *problem);

} // namespace corvane
