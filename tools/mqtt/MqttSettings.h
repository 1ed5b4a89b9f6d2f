#pragma once
// Where and how the counting service reaches its MQTT broker: the [mqtt]
// section of its configuration, as a plain struct.

#include <QString>
#include <optional>

struct MqttSettings {
    QString host = QStringLiteral("localhost");
    int port = 1883;
    // Every topic of the service begins with it: PREFIX/status, PREFIX/RELAY/...
    QString prefix = QStringLiteral("ktr6");
    // Empty: "ktr6d-" and the machine's host name, so that two gateways on
    // one broker never take each other's session.
    QString clientId;
    QString username;
    // The password is the file's first line (a file readable only by the
    // service keeps it out of the configuration and of `ps`).
    QString passwordFile;
    // Set: the connection uses TLS and trusts the certificates in this file.
    QString caFile;
    // Home Assistant discovery entries on homeassistant/sensor/...
    bool discovery = false;
    // Seconds between keep-alive pings; the broker gives the will after 1.5 times it.
    int keepalive = 30;
};

// The client id the settings give (see MqttSettings::clientId).
QString effectiveClientId(const MqttSettings& settings);

// The first line of the password file, without its line end; nothing and a
// message naming the file when it cannot be read.
std::optional<QString> readPasswordFile(const QString& path, QString* error);
