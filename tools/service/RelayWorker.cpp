#include "RelayWorker.h"

#include "protocol/ParameterBlock.h"
#include "serial/MSComm.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"

#include <QThread>

namespace {

// One notification per arriving chunk: a record's carriage return alone
// completes it at once, with no timer polling for it.
constexpr int kReceiveThreshold = 1;
constexpr int kPauseStepMs = 20;

} // namespace

RelayWorker::RelayWorker(RelayConfig config, RelayInbox& inbox,
                         std::function<void(const QString&)> log, bool paused)
    : config_(std::move(config)), inbox_(inbox), log_(std::move(log)), retry_(this),
      paused_(paused) {
    retry_.setSingleShot(true);
    retry_.setInterval(kRetryMs);
    connect(&retry_, &QTimer::timeout, this, &RelayWorker::attempt);
}

RelayWorker::~RelayWorker() = default;

void RelayWorker::start() {
    // Made here, so that the port lives on this thread.
    port_ = std::make_unique<QtSerialComm>();
    connect(port_.get(), &MSComm::OnComm, this, &RelayWorker::onComm);
    if (paused_)
        pause();
    else
        attempt();
}

void RelayWorker::pause() {
    paused_ = true;
    readWaiting();
    goOffline(QStringLiteral("paused"));
}

void RelayWorker::resume() {
    paused_ = false;
    retry_.stop();
    attempt();
}

void RelayWorker::finish() {
    retry_.stop();
    // What has arrived is counted before the port closes.
    readWaiting();
    counting_ = false;
    if (port_) {
        port_->RThreshold(0);
        closePortQuietly(*port_);
    }
}

void RelayWorker::pause(int ms) {
    // A stop asked for ends the pause early, unless the exchange holds it.
    for (int left = ms; left > 0; left -= kPauseStepMs) {
        if (stop_.requested() && !stop_.held())
            return;
        QThread::msleep(std::min(left, kPauseStepMs));
    }
}

void RelayWorker::attempt() {
    if (stop_.requested() || paused_ || counting_)
        return;
    try {
        port_->CommPort(int16_t(config_.port));
        port_->Handshaking(int16_t(config_.handshaking));
        port_->Settings(lineSettingsText(config_.baud));
        port_->InputMode(0);
        port_->DTREnable(false);
    } catch (const comm::CommError& error) {
        goOffline(error.detail());
        return;
    }
    const QString device = port_->DeviceFor(int16_t(config_.port));
    if (device.isEmpty() || !isDevicePresent(device)) {
        goOffline(QStringLiteral("%1 (%2) is not there")
                      .arg(portName(config_.port),
                           device.isEmpty() ? QStringLiteral("no device") : device));
        return;
    }
    const ReadOutcome read = readParameterSet(
        *port_, [this](int ms) { pause(ms); }, &stop_);
    if (!read.ok()) {
        const QString why =
            read.result == ReadOutcome::Result::NoReply ? QStringLiteral("no reply from the relay")
            : read.result == ReadOutcome::Result::Stopped ? QStringLiteral("stopped")
                                                          : read.portError;
        goOffline(why);
        return;
    }
    set_ = *read.set;
    assembler_.reset();
    try {
        port_->PortOpen(true);
        port_->RThreshold(kReceiveThreshold);
    } catch (const comm::CommError& error) {
        goOffline(error.detail());
        return;
    }
    inbox_.startSegment(set_);
    inbox_.back();
    counting_ = true;
    log_(QStringLiteral("%1: counting on %2 (%3)")
             .arg(config_.name, portName(config_.port), device));
    // Records that came between the read and now are waiting already.
    readWaiting();
}

void RelayWorker::onComm() {
    if (!counting_)
        return;
    if (port_->CommEvent() == comm::kErDeviceLost) {
        goOffline(QStringLiteral("the device went away (unplugged, or hung up)"));
        return;
    }
    if (port_->CommEvent() == comm::kEvReceive)
        readWaiting();
}

void RelayWorker::readWaiting() {
    if (!counting_ || !port_->PortOpen())
        return;
    QByteArray chunk;
    try {
        chunk = port_->Input();
    } catch (const comm::CommError& error) {
        goOffline(error.detail());
        return;
    }
    std::vector<int> counted;
    for (int channel : assembler_.feed(chunk)) {
        if (countsRecord(channel, set_.table))
            counted.push_back(channel);
    }
    inbox_.count(counted);
}

void RelayWorker::goOffline(const QString& reason) {
    counting_ = false;
    if (port_) {
        port_->RThreshold(0);
        closePortQuietly(*port_);
    }
    if (!inbox_.isOffline() || inbox_.reason() != reason)
        log_(paused_ ? QStringLiteral("%1: paused; the port is free").arg(config_.name)
                     : QStringLiteral("%1: offline: %2; trying again every %3 s")
                           .arg(config_.name, reason)
                           .arg(kRetryMs / 1000));
    inbox_.offline(reason);
    if (!stop_.requested() && !paused_)
        retry_.start();
}
