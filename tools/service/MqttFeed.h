#pragma once
// ktr6d's side of MQTT: the link to the broker and the publisher on a
// database connection of its own, fed by the service. It lives in the main
// thread, as the store does: the store's commit (every 100 ms) queues each
// closed interval's message in the outbox inside its own transaction, and
// after the commit the service hands over every relay's state and totals as
// stored; only what changed goes out. So a published total never runs ahead
// of the database, and a killed service never takes one back.

#include "CountStore.h"
#include "ServiceConfig.h"

#include "MqttLink.h"
#include "MqttPublisher.h"
#include "protocol/ParameterBlock.h"

#include <QHash>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>
#include <array>
#include <functional>
#include <memory>
#include <optional>

// The [mqtt] section as the link takes it.
MqttSettings mqttSettingsFrom(const MqttConfig& config);
// The relay's channels that get a discovery entry: those with a unit (their
// own or the relay's), a label or a class. An input whose sign in the set is
// minus has a falling total; without a set read yet none is minus.
std::vector<DiscoveryChannel> discoveryChannels(const RelayConfig& relay, const ParameterSet* set);
// The published message of a stored interval.
ClosedInterval publishedInterval(const StoredInterval& stored);

class MqttFeed : public QObject {
    Q_OBJECT
public:
    using Log = std::function<void(const QString&)>;

    MqttFeed(const MqttConfig& config, Log log, QObject* parent = nullptr);
    ~MqttFeed() override;

    // Starts connecting in the background; false with *error when the
    // settings cannot be used (a bad configuration).
    bool start(QString* error);
    // Opens the outbox in the counts database, on a connection of its own.
    bool open(const QString& databasePath, QString* error);

    // The store's closed-interval hook, inside its transaction.
    bool enqueue(QSqlDatabase& db, const StoredInterval& interval);
    // After a commit: what it queued goes out.
    void committed();
    // A relay's state and totals now; what changed since the last call goes out.
    void update(const QString& relay, RelayStatus status,
                const std::array<double, kServiceChannels>& totals);
    // The relay's discovery entries (with discovery = true), again when the
    // signs of its inputs change.
    void describe(const RelayConfig& relay, const ParameterSet* set);
    // Sends what waits in the outbox and the held totals (waiting a few
    // seconds at most), says "offline" on PREFIX/status and disconnects.
    void stop();

private:
    struct Published {
        std::optional<RelayStatus> status;
        std::array<std::optional<double>, kServiceChannels> totals;
        std::optional<int> minusMask;
    };

    MqttSettings settings_;
    Log log_;
    QString connection_;
    std::unique_ptr<MqttLink> link_;
    QSqlDatabase db_;
    std::unique_ptr<MqttPublisher> publisher_;
    QHash<QString, Published> published_;
    bool queued_ = false;
    // A broker not reached this long after the start or a loss is logged,
    // once, with the reason the link last saw.
    QTimer awayCheck_;
    bool awayLogged_ = false;
};
