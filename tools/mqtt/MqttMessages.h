#pragma once
// What the counting service publishes, as pure functions: topics, the closed
// interval's JSON, the running total, the status words and the Home
// Assistant discovery entries. Numbers are written with "." whatever the
// locale.
//
// Topics (PREFIX from the [mqtt] section; a relay's name with "/", "+" and
// "#" replaced by "_"):
//   PREFIX/status             "online" / "offline" (retained; the will says
//                             "offline" when the service dies)
//   PREFIX/RELAY/status       "counting", "not storing", "offline", "paused"
//                             (retained)
//   PREFIX/RELAY/interval     one JSON message per channel and closed interval
//                             (QoS 1, through the outbox)
//   PREFIX/RELAY/CHANNEL/total  the running total (retained, at most 1/s)

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>

inline constexpr char kServiceOnline[] = "online";
inline constexpr char kServiceOffline[] = "offline";

struct ClosedInterval {
    QString relay;
    int channel = 1; // 1..6 the inputs, 7 and 8 the outputs V1, V2
    QDateTime start; // UTC
    QDateTime end;
    int64_t count = 0;
    double amount = 0;
    double total = 0; // the channel's total at the interval's end
    QString unit;     // empty: none configured
    QString label;
};

enum class RelayStatus { Counting, NotStoring, Offline, Paused };

// "2026-12-07T14:15:00Z", as ktr6ctl counts prints it.
QString utcText(const QDateTime& time);
// A relay's name as one topic level.
QString topicLevel(const QString& relay);

QString serviceStatusTopic(const QString& prefix);
QString relayStatusTopic(const QString& prefix, const QString& relay);
QString intervalTopic(const QString& prefix, const QString& relay);
QString totalTopic(const QString& prefix, const QString& relay, int channel);

// "RELAY/CHANNEL/START": a consumer drops a message whose key it has seen.
QString intervalKey(const QString& relay, int channel, const QDateTime& start);
// {"key":..., "relay":..., "channel":..., "start":..., "end":..., "count":...,
//  "amount":..., "total":..., "unit":..., "label":...}; unit and label only
// when configured.
QByteArray intervalPayload(const ClosedInterval& interval);
// A figure as the payloads carry it: up to 9 decimals, "." as the point.
QByteArray numberPayload(double value);
QByteArray statusPayload(RelayStatus status);

// One channel as Home Assistant should show it.
struct DiscoveryChannel {
    QString relay;
    QString relayLabel; // empty: the relay's name
    int channel = 1;
    QString unit;
    QString label;      // empty: "IN n", "V1", "V2"
    bool minus = false; // an input marked minus: its total falls
    bool water = false; // channelN.class = water (m³ of water, not gas)
};

struct DiscoveryEntry {
    QString topic; // homeassistant/sensor/NODE/OBJECT/config
    QByteArray payload;
};

// energy for Wh, kWh, MWh; water for L (and m³ when water); gas for m³;
// empty for any other unit.
QString deviceClassFor(const QString& unit, bool water);
DiscoveryEntry discoveryEntry(const QString& prefix, const DiscoveryChannel& channel);
