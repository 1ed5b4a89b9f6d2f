#pragma once
// What the counting service sends through its MqttLink: the outbox drained in
// id order at QoS 1 (a bounded number in flight, a row deleted only once the
// broker acknowledged it), the running totals through a TotalThrottle, the
// relays' status and the discovery entries. After a reconnect libmosquitto
// sends what was in flight again, in order and under the same ids; new rows
// wait until those are acknowledged, so the order holds. Everything retained
// is also kept here and sent again on every connect, so a change made while
// the broker was away is not lost. Lives in the thread of the database
// connection it is given (which should wait when the service's writer holds
// the database: QSQLITE_BUSY_TIMEOUT).

#include "MqttLink.h"
#include "MqttMessages.h"
#include "Outbox.h"
#include "TotalThrottle.h"

#include <QHash>
#include <QMap>
#include <QObject>
#include <QSqlDatabase>
#include <QTimer>
#include <set>
#include <vector>

class MqttPublisher : public QObject {
    Q_OBJECT
public:
    static constexpr int kMaxInFlight = 16;

    // The link is started by the caller; the database holds the outbox (the
    // table is made if missing).
    MqttPublisher(MqttLink& link, QSqlDatabase db, TotalThrottle::Clock clock = {},
                  QObject* parent = nullptr);

    // New rows were committed to the outbox: send them when connected.
    void wake();
    void publishTotal(const QString& relay, int channel, double total);
    void publishStatus(const QString& relay, RelayStatus status);
    // The entries for these channels, when the settings ask for discovery.
    void publishDiscovery(const std::vector<DiscoveryChannel>& channels);

    // A clean stop: the held totals go out now, and this waits, at most
    // timeoutMs, until every row of the outbox is sent and acknowledged.
    // False when rows remain (the broker is away or slow): they stay in the
    // outbox and go out after the next start.
    bool flush(int timeoutMs);
    // Nothing waits in the outbox and nothing sent is unacknowledged.
    bool settled();

    int inFlight() const { return int(inFlight_.size()); }
    int64_t deliveredCount() const { return delivered_; }

signals:
    // The outbox could not be read or cleaned up; tried again in 5 s.
    void problem(const QString& message);

private:
    void onConnected();
    void onDisconnected();
    void onDelivered(int mid);
    void drain();
    void publishRetained(const QString& topic, const QByteArray& payload);
    void publishDueTotals();
    void armThrottleTimer();
    void flushDeletes();
    void report(const QString& message);

    MqttLink& link_;
    QSqlDatabase db_;
    TotalThrottle throttle_;
    QTimer throttleTimer_;
    QTimer retryTimer_;
    std::set<int64_t> inFlight_; // outbox ids sent, not yet acknowledged
    QHash<int, int64_t> idOfMid_;
    std::vector<int64_t> acked_; // acknowledged, not yet deleted
    int64_t lastQueuedId_ = 0;
    bool awaitingResend_ = false;
    int64_t delivered_ = 0;
    QMap<QString, QByteArray> retained_; // topic -> what it says now
};
