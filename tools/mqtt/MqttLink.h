#pragma once
// The one class over libmosquitto: a client that connects to the broker,
// leaves "offline" as its last will on PREFIX/status, reconnects by itself
// (after 1 s, then waiting longer each time, up to 10 s) and publishes.
// libmosquitto's own thread (mosquitto_loop_start) does the network work; it
// sleeps in select() until the socket or a keep-alive needs it, and its
// callbacks are handed to this object's thread as queued calls, so every
// signal arrives on the Qt side. QoS 1 messages not yet acknowledged when the
// connection breaks stay in the library and go out again, in order and under
// the same ids, when it reconnects.

#include "MqttSettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <functional>

struct mosquitto;

class MqttLink : public QObject {
    Q_OBJECT
public:
    enum class State { Stopped, Connecting, Connected };

    explicit MqttLink(MqttSettings settings, QObject* parent = nullptr);
    ~MqttLink() override;

    // Starts connecting in the background. False, with the reason in
    // *error, when the settings cannot be used (port, prefix, password or
    // CA file); a broker that is away or a host name that cannot be looked
    // up yet is no error: the link keeps trying (lastError() says why).
    bool start(QString* error);
    // Says "offline" on PREFIX/status, disconnects and stops trying.
    void stop();

    // Queues a message; returns its message id (delivered() reports it for
    // QoS 1), or -1 when the library refused it (not connected, say).
    int publish(const QString& topic, const QByteArray& payload, int qos, bool retain);
    // Runs the event loop, timeoutMs at most, until done() holds or the
    // connection is gone; done() is checked again after every
    // acknowledgement (slots connected to delivered() earlier have run by
    // then). Returns done().
    bool waitUntil(const std::function<bool()>& done, int timeoutMs);

    State state() const { return state_; }
    const MqttSettings& settings() const { return settings_; }
    // The last connection failure or refusal, for the service's log.
    QString lastError() const { return lastError_; }

signals:
    // Connected (again); PREFIX/status already says "online".
    void connected();
    // The connection is gone; the link tries again by itself.
    void disconnected(const QString& reason);
    // The broker acknowledged the QoS 1 message with this id (PUBACK).
    void delivered(int mid);

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    void connectNow();
    void handleConnect(int rc);
    void handleDisconnect(int rc);
    bool configure(QString* error);

    MqttSettings settings_;
    mosquitto* client_ = nullptr;
    State state_ = State::Stopped;
    bool loopRunning_ = false;
    QString lastError_;
};
