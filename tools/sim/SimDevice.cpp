#include "SimDevice.h"

#include <QDir>

namespace ktr6sim {

SimDevice::SimDevice(SimConfig config) : settings_(config), loop_(settings_, config.trace) {}

SimDevice::~SimDevice() {
    stop();
}

bool SimDevice::start(const QString& dir, const QString& name, QString* error) {
    return loop_.start(QDir(dir).absoluteFilePath(name), error);
}

void SimDevice::stop() {
    loop_.stop();
}

bool SimDevice::isRunning() const {
    return loop_.isRunning();
}

bool SimDevice::isConnected() const {
    return loop_.isConnected();
}

bool SimDevice::pcSideOpen() const {
    return loop_.pcSideOpen();
}

QString SimDevice::linkPath() const {
    return loop_.linkPath();
}

QString SimDevice::slavePath() const {
    return loop_.slavePath();
}

void SimDevice::setFault(const Fault& fault) {
    // Under the loop's lock, so that a chunk being received sees the old fault or the new one.
    loop_.withModel([&](RelayModel& model, qint64) {
        settings_.setFault(fault);
        model.note(QStringLiteral("fault %1").arg(faultToString(fault)));
    });
}

Fault SimDevice::fault() const {
    return settings_.fault();
}

ParamSet SimDevice::storedParams() const {
    return settings_.params();
}

void SimDevice::setParams(const ParamSet& params) {
    settings_.setParams(params);
}

ReplyStyle SimDevice::replyStyle() const {
    return settings_.replyStyle();
}

void SimDevice::setReplyStyle(const ReplyStyle& style) {
    settings_.setReplyStyle(style);
}

RecordStyle SimDevice::recordStyle() const {
    return settings_.recordStyle();
}

void SimDevice::setRecordStyle(const RecordStyle& style) {
    settings_.setRecordStyle(style);
}

void SimDevice::setReopenMs(int ms) {
    settings_.setReopenMs(ms);
}

void SimDevice::sendRecords(int channel, int count) {
    sendBurst(count, QByteArray(1, char('0' + channel)));
}

void SimDevice::sendBurst(int count, const QByteArray& pattern) {
    loop_.changeModel([&](RelayModel& model, qint64) { return model.sendBurst(count, pattern); });
}

void SimDevice::startStream(const StreamConfig& config) {
    loop_.changeModel([&](RelayModel& model, qint64 now) {
        model.startStream(config, now);
        return true;
    });
}

void SimDevice::stopStream() {
    loop_.withModel([](RelayModel& model, qint64) { model.stopStream(); });
}

bool SimDevice::streaming() const {
    return loop_.withModel([](const RelayModel& model, qint64) { return model.streaming(); });
}

StreamConfig SimDevice::streamConfig() const {
    return loop_.withModel([](const RelayModel& model, qint64) { return model.streamConfig(); });
}

void SimDevice::hangUp() {
    loop_.hangUp();
}

bool SimDevice::replug(QString* error) {
    return loop_.replug(error);
}

QByteArray SimDevice::receivedBytes() const {
    return loop_.withModel([](const RelayModel& model, qint64) { return model.receivedBytes(); });
}

void SimDevice::clearReceived() {
    loop_.withModel([](RelayModel& model, qint64) { model.clearReceived(); });
}

SimCounters SimDevice::counters() const {
    return loop_.withModel([](const RelayModel& model, qint64) { return model.counters(); });
}

} // namespace ktr6sim
