#pragma once
// ktr6d's configuration file: one [relay NAME] section per relay and an
// optional [mqtt] section, INI lines with "; comments" after the values.
// Every error names the file and the line.

#include <QByteArray>
#include <QString>
#include <array>
#include <optional>
#include <vector>

inline constexpr int kServiceChannels = 8; // IN 1..IN 6, V1, V2
inline constexpr int kDefaultIntervalSeconds = 15 * 60;

struct RelayConfig {
    QString name;
    int port = 0; // 1 = COM1
    QString label;
    int baud = 9600;
    int handshaking = 0;
    int intervalSeconds = kDefaultIntervalSeconds;
    QString unit; // of every channel without one of its own
    struct Channel {
        QString unit;
        QString label;
        QString deviceClass; // "class": "water" or "gas", for a channel in m³
    };
    std::array<Channel, kServiceChannels> channels;
    // The channel's unit: its own, else the relay's.
    QString unitOf(int channel) const {
        return channels[channel].unit.isEmpty() ? unit : channels[channel].unit;
    }
};

struct MqttConfig {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString prefix = QStringLiteral("ktr6");
    QString clientId; // empty: "ktr6d-" and the host name
    QString username;
    QString passwordFile;
    QString caFile;
    bool discovery = false;
};

struct ServiceConfig {
    std::vector<RelayConfig> relays;
    std::optional<MqttConfig> mqtt; // only with an [mqtt] section
    const RelayConfig* find(const QString& name) const;
};

struct ConfigResult {
    std::optional<ServiceConfig> config;
    QString error; // "FILE:LINE: what is wrong", when config is empty
};

// Parses the text of the file named fileName (which only names it in errors).
ConfigResult parseServiceConfig(const QByteArray& text, const QString& fileName);
// Reads and parses the file.
ConfigResult loadServiceConfig(const QString& path);

// "15m", "1h", "30s", "1d" or a number of seconds: the length of an interval,
// from 1 s up, dividing a day. Nothing, with *why, for another text.
std::optional<int> parseIntervalLength(const QString& text, QString* why);
