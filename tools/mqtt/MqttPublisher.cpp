#include "MqttPublisher.h"

#include <QElapsedTimer>

namespace {

constexpr int kQos1 = 1;
constexpr int kRetryMs = 5000;

TotalThrottle::Clock steadyClock() {
    auto timer = std::make_shared<QElapsedTimer>();
    timer->start();
    return [timer] { return int64_t(timer->elapsed()); };
}

} // namespace

MqttPublisher::MqttPublisher(MqttLink& link, QSqlDatabase db, TotalThrottle::Clock clock,
                             QObject* parent)
    : QObject(parent), link_(link), db_(std::move(db)),
      throttle_(clock ? std::move(clock) : steadyClock()) {
    throttleTimer_.setSingleShot(true);
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(kRetryMs);
    connect(&throttleTimer_, &QTimer::timeout, this, &MqttPublisher::publishDueTotals);
    connect(&retryTimer_, &QTimer::timeout, this, [this] {
        flushDeletes();
        drain();
    });
    connect(&link_, &MqttLink::connected, this, &MqttPublisher::onConnected);
    connect(&link_, &MqttLink::delivered, this, &MqttPublisher::onDelivered);
    QString error;
    if (!Outbox::createTable(db_, &error))
        report(error);
    if (link_.state() == MqttLink::State::Connected)
        onConnected();
}

void MqttPublisher::wake() {
    drain();
}

void MqttPublisher::report(const QString& message) {
    emit problem(message);
    retryTimer_.start();
}

void MqttPublisher::onConnected() {
    throttle_.reset();
    for (auto it = retained_.cbegin(); it != retained_.cend(); ++it)
        link_.publish(it.key(), it.value(), kQos1, true);
    // What was in flight when the connection broke goes out again first, in
    // its order; acknowledgements of the old ids no longer count.
    idOfMid_.clear();
    for (auto& [id, sent] : inFlight_)
        sendRow(id, sent);
    drain();
}

void MqttPublisher::sendRow(int64_t id, Sent& sent) {
    sent.mid = link_.publish(sent.topic, sent.payload, kQos1, false);
    if (sent.mid >= 0)
        idOfMid_.insert(sent.mid, id);
}

void MqttPublisher::drain() {
    while (link_.state() == MqttLink::State::Connected && int(inFlight_.size()) < kMaxInFlight) {
        std::vector<Outbox::Row> rows;
        QString error;
        if (!Outbox::next(db_, lastQueuedId_, kMaxInFlight - int(inFlight_.size()), &rows,
                          &error)) {
            report(error);
            return;
        }
        if (rows.empty())
            return;
        for (Outbox::Row& row : rows) {
            Sent& sent = inFlight_[row.id];
            sent.topic = std::move(row.topic);
            sent.payload = std::move(row.payload);
            lastQueuedId_ = row.id;
            sendRow(row.id, sent);
            // Refused (the connection just broke): it stays in flight and
            // goes out again on the next connect.
            if (sent.mid < 0)
                return;
        }
    }
}

void MqttPublisher::onDelivered(int mid) {
    const auto found = idOfMid_.constFind(mid);
    if (found == idOfMid_.cend())
        return; // a retained message, or one sent before a reconnect
    const int64_t id = found.value();
    idOfMid_.erase(found);
    inFlight_.erase(id);
    acked_.push_back(id);
    ++delivered_;
    flushDeletes();
    drain();
}

void MqttPublisher::flushDeletes() {
    QString error;
    if (Outbox::remove(db_, acked_, &error))
        acked_.clear();
    else
        report(error);
}

void MqttPublisher::publishRetained(const QString& topic, const QByteArray& payload) {
    retained_.insert(topic, payload);
    if (link_.state() == MqttLink::State::Connected)
        link_.publish(topic, payload, kQos1, true);
}

void MqttPublisher::publishTotal(const QString& relay, int channel, double total) {
    const QString topic = totalTopic(link_.settings().prefix, relay, channel);
    retained_.insert(topic, numberPayload(total));
    if (link_.state() != MqttLink::State::Connected)
        return; // the newest value goes out on the next connect
    if (throttle_.offer(topic))
        link_.publish(topic, retained_.value(topic), kQos1, true);
    else
        armThrottleTimer();
}

void MqttPublisher::publishDueTotals() {
    if (link_.state() != MqttLink::State::Connected)
        return;
    for (const QString& topic : throttle_.takeDue())
        link_.publish(topic, retained_.value(topic), kQos1, true);
    armThrottleTimer();
}

void MqttPublisher::armThrottleTimer() {
    const int64_t wait = throttle_.msUntilDue();
    if (wait >= 0 && (!throttleTimer_.isActive() || throttleTimer_.remainingTime() > wait))
        throttleTimer_.start(int(wait));
}

void MqttPublisher::publishStatus(const QString& relay, RelayStatus status) {
    publishRetained(relayStatusTopic(link_.settings().prefix, relay), statusPayload(status));
}

void MqttPublisher::publishDiscovery(const std::vector<DiscoveryChannel>& channels) {
    if (!link_.settings().discovery)
        return;
    for (const DiscoveryChannel& channel : channels) {
        const DiscoveryEntry entry = discoveryEntry(link_.settings().prefix, channel);
        publishRetained(entry.topic, entry.payload);
    }
}
