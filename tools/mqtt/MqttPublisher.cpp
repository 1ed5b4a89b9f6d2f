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
    connect(&link_, &MqttLink::disconnected, this, &MqttPublisher::onDisconnected);
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
    drain();
}

void MqttPublisher::onDisconnected() {
    // libmosquitto keeps the QoS 1 messages not yet acknowledged and sends
    // them again, in order and under the same ids, when it reconnects; new
    // rows wait until those are through, so the order holds.
    awaitingResend_ = !inFlight_.empty();
}

void MqttPublisher::drain() {
    while (!awaitingResend_ && link_.state() == MqttLink::State::Connected &&
           int(inFlight_.size()) < kMaxInFlight) {
        std::vector<Outbox::Row> rows;
        QString error;
        if (!Outbox::next(db_, lastQueuedId_, kMaxInFlight - int(inFlight_.size()), &rows,
                          &error)) {
            report(error);
            return;
        }
        if (rows.empty())
            return;
        for (const Outbox::Row& row : rows) {
            const int mid = link_.publish(row.topic, row.payload, kQos1, false);
            if (mid < 0)
                return; // refused: the row is read again on the next drain
            inFlight_.insert(row.id);
            idOfMid_.insert(mid, row.id);
            lastQueuedId_ = row.id;
        }
    }
}

bool MqttPublisher::settled() {
    if (awaitingResend_ || !inFlight_.empty())
        return false;
    std::vector<Outbox::Row> rows;
    QString error;
    return Outbox::next(db_, lastQueuedId_, 1, &rows, &error) && rows.empty();
}

bool MqttPublisher::flush(int timeoutMs) {
    if (link_.state() != MqttLink::State::Connected)
        return settled();
    for (const QString& topic : throttle_.takeHeld())
        link_.publish(topic, retained_.value(topic), kQos1, true);
    throttleTimer_.stop();
    drain();
    link_.waitUntil([this] { return settled(); }, timeoutMs);
    return settled();
}

void MqttPublisher::onDelivered(int mid) {
    const auto found = idOfMid_.constFind(mid);
    if (found == idOfMid_.cend())
        return; // a retained message
    const int64_t id = found.value();
    idOfMid_.erase(found);
    inFlight_.erase(id);
    acked_.push_back(id);
    ++delivered_;
    if (inFlight_.empty())
        awaitingResend_ = false;
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
