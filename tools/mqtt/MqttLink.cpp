#include "MqttLink.h"

#include "MqttMessages.h"

#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>
#include <QTimer>
#include <cerrno>
#include <cstring>
#include <mosquitto.h>
#include <mutex>

namespace {

constexpr int kQos1 = 1;
constexpr int kLookupRetryMs = 5000;
// A stop waits this long for the broker to acknowledge the "offline": a
// clean disconnect suppresses the will, so an "offline" never sent would
// leave "online" retained.
constexpr int kOfflineAckMs = 1000;

// mosquitto_lib_init once per process, whichever link starts first.
void initLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

QString connackText(int rc) {
    return QString::fromUtf8(mosquitto_connack_string(rc));
}

QString errorText(int rc) {
    return rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(strerror(errno))
                                : QString::fromUtf8(mosquitto_strerror(rc));
}

} // namespace

MqttLink::MqttLink(MqttSettings settings, QObject* parent)
    : QObject(parent), settings_(std::move(settings)) {
    initLibraryOnce();
}

MqttLink::~MqttLink() {
    stop();
    if (client_)
        mosquitto_destroy(client_);
}

bool MqttLink::configure(QString* error) {
    const QByteArray id = effectiveClientId(settings_).toUtf8();
    client_ = mosquitto_new(id.constData(), true, this);
    if (!client_) {
        *error = QStringLiteral("Cannot create an MQTT client (client id \"%1\")")
                     .arg(QString::fromUtf8(id));
        return false;
    }
    mosquitto_connect_callback_set(client_, &MqttLink::onConnect);
    mosquitto_disconnect_callback_set(client_, &MqttLink::onDisconnect);
    mosquitto_publish_callback_set(client_, &MqttLink::onPublish);
    mosquitto_reconnect_delay_set(client_, 1, 10, true);
    const QByteArray willTopic = serviceStatusTopic(settings_.prefix).toUtf8();
    const QByteArray offline(kServiceOffline);
    int rc = mosquitto_will_set(client_, willTopic.constData(), int(offline.size()),
                                offline.constData(), kQos1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("The MQTT prefix \"%1\" makes no valid topic (no \"+\" or \"#\")")
                     .arg(settings_.prefix);
        return false;
    }
    if (settings_.username.isEmpty() && !settings_.passwordFile.isEmpty()) {
        *error = QStringLiteral("An MQTT password file needs a user name (username)");
        return false;
    }
    if (!settings_.username.isEmpty()) {
        std::optional<QString> password;
        if (!settings_.passwordFile.isEmpty() &&
            !(password = readPasswordFile(settings_.passwordFile, error)))
            return false;
        const QByteArray user = settings_.username.toUtf8();
        const QByteArray pass = password.value_or(QString()).toUtf8();
        mosquitto_username_pw_set(client_, user.constData(), password ? pass.constData() : nullptr);
    }
    if (!settings_.caFile.isEmpty() && !QFileInfo(settings_.caFile).isReadable()) {
        *error = QStringLiteral("Cannot read the MQTT CA file %1").arg(settings_.caFile);
        return false;
    }
    if (!settings_.caFile.isEmpty()) {
        const QByteArray ca = settings_.caFile.toLocal8Bit();
        rc = mosquitto_tls_set(client_, ca.constData(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            *error = QStringLiteral("Cannot use the MQTT CA file %1: %2")
                         .arg(settings_.caFile, errorText(rc));
            return false;
        }
    }
    return true;
}

bool MqttLink::start(QString* error) {
    if (state_ != State::Stopped)
        return true;
    if (settings_.port < 1 || settings_.port > 65535) {
        *error = QStringLiteral("The MQTT port %1 is not one of 1..65535").arg(settings_.port);
        return false;
    }
    if (!client_ && !configure(error)) {
        if (client_)
            mosquitto_destroy(client_);
        client_ = nullptr;
        return false;
    }
    // The thread first: a connect made before it that fails (the broker is
    // not up yet) is never tried again, while one the thread makes is
    // retried with its back-off.
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        *error = QStringLiteral("Cannot start the MQTT client's thread");
        return false;
    }
    loopRunning_ = true;
    state_ = State::Connecting;
    connectNow();
    return true;
}

void MqttLink::connectNow() {
    if (state_ != State::Connecting)
        return;
    const QByteArray host = settings_.host.toUtf8();
    const int rc =
        mosquitto_connect_async(client_, host.constData(), settings_.port, settings_.keepalive);
    if (rc == MOSQ_ERR_SUCCESS)
        return; // the library's thread connects and reconnects from here on
    // The host name cannot be looked up yet (the network is still coming
    // up, say): the library leaves that to us.
    lastError_ = QStringLiteral("Cannot connect to the MQTT broker %1:%2: %3")
                     .arg(settings_.host, QString::number(settings_.port), errorText(rc));
    QTimer::singleShot(kLookupRetryMs, this, &MqttLink::connectNow);
}

void MqttLink::stop() {
    if (!loopRunning_)
        return;
    if (state_ == State::Connected) {
        // A clean disconnect suppresses the will, so say it ourselves first;
        // the library sends packets in order, the DISCONNECT after it.
        const int mid =
            publish(serviceStatusTopic(settings_.prefix), QByteArray(kServiceOffline), kQos1, true);
        bool acked = false;
        const auto watch = connect(this, &MqttLink::delivered, this,
                                   [&acked, mid](int done) { acked = acked || done == mid; });
        if (mid >= 0)
            waitUntil([&acked] { return acked; }, kOfflineAckMs);
        disconnect(watch);
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    loopRunning_ = false;
    state_ = State::Stopped;
}

bool MqttLink::waitUntil(const std::function<bool()>& done, int timeoutMs) {
    QEventLoop loop;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, &loop, &QEventLoop::quit);
    connect(this, &MqttLink::disconnected, &loop, &QEventLoop::quit);
    connect(this, &MqttLink::delivered, &loop, &QEventLoop::quit);
    deadline.start(timeoutMs);
    while (state_ == State::Connected && deadline.isActive() && !done())
        loop.exec();
    return done();
}

int MqttLink::publish(const QString& topic, const QByteArray& payload, int qos, bool retain) {
    if (!client_)
        return -1;
    int mid = 0;
    const QByteArray name = topic.toUtf8();
    const int rc = mosquitto_publish(client_, &mid, name.constData(), int(payload.size()),
                                     payload.constData(), qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        lastError_ = QStringLiteral("MQTT publish on %1 refused: %2").arg(topic, errorText(rc));
        return -1;
    }
    return mid;
}

void MqttLink::onConnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<MqttLink*>(self);
    QMetaObject::invokeMethod(
        link, [link, rc] { link->handleConnect(rc); }, Qt::QueuedConnection);
}

void MqttLink::onDisconnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<MqttLink*>(self);
    QMetaObject::invokeMethod(
        link, [link, rc] { link->handleDisconnect(rc); }, Qt::QueuedConnection);
}

void MqttLink::onPublish(mosquitto*, void* self, int mid) {
    auto* link = static_cast<MqttLink*>(self);
    QMetaObject::invokeMethod(
        link, [link, mid] { emit link->delivered(mid); }, Qt::QueuedConnection);
}

void MqttLink::handleConnect(int rc) {
    if (state_ == State::Stopped)
        return;
    if (rc != 0) {
        // Refused (bad credentials, say): the library tries again; say why.
        lastError_ =
            QStringLiteral("The MQTT broker refused the connection: %1").arg(connackText(rc));
        return;
    }
    state_ = State::Connected;
    publish(serviceStatusTopic(settings_.prefix), QByteArray(kServiceOnline), kQos1, true);
    emit connected();
}

void MqttLink::handleDisconnect(int rc) {
    if (state_ != State::Connected)
        return;
    state_ = State::Connecting;
    lastError_ = rc == 0 ? QStringLiteral("Disconnected from the MQTT broker")
                         : QStringLiteral("Lost the MQTT broker: %1").arg(errorText(rc));
    emit disconnected(lastError_);
}
