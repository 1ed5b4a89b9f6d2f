#include "SimSettings.h"

namespace ktr6sim {

namespace {

qint64 hangupBytes(const Fault& fault) {
    return fault.kind == FaultKind::Hangup && fault.arg > 0 ? fault.arg : -1;
}

} // namespace

SimSettings::SimSettings(const SimConfig& config)
    : values_{config.params, config.reply, config.records, config.fault, config.reopenMs},
      hangupCountdown_(hangupBytes(config.fault)) {}

SimSettings::Values SimSettings::values() const {
    std::lock_guard lock(mutex_);
    return values_;
}

Fault SimSettings::fault() const {
    std::lock_guard lock(mutex_);
    return values_.fault;
}

void SimSettings::setFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    values_.fault = fault;
    hangupCountdown_ = hangupBytes(fault);
}

ParamSet SimSettings::params() const {
    std::lock_guard lock(mutex_);
    return values_.params;
}

void SimSettings::setParams(const ParamSet& params) {
    std::lock_guard lock(mutex_);
    values_.params = params;
}

ReplyStyle SimSettings::replyStyle() const {
    std::lock_guard lock(mutex_);
    return values_.reply;
}

void SimSettings::setReplyStyle(const ReplyStyle& style) {
    std::lock_guard lock(mutex_);
    values_.reply = style;
}

RecordStyle SimSettings::recordStyle() const {
    std::lock_guard lock(mutex_);
    return values_.records;
}

void SimSettings::setRecordStyle(const RecordStyle& style) {
    std::lock_guard lock(mutex_);
    values_.records = style;
}

int SimSettings::reopenMs() const {
    std::lock_guard lock(mutex_);
    return values_.reopenMs;
}

void SimSettings::setReopenMs(int ms) {
    std::lock_guard lock(mutex_);
    values_.reopenMs = ms;
}

qsizetype SimSettings::admitReceived(qsizetype size, bool* fires) {
    std::lock_guard lock(mutex_);
    *fires = false;
    if (hangupCountdown_ < 0)
        return size;
    if (size >= hangupCountdown_) {
        *fires = true;
        return qsizetype(hangupCountdown_);
    }
    hangupCountdown_ -= size;
    return size;
}

void SimSettings::disarmHangup() {
    std::lock_guard lock(mutex_);
    hangupCountdown_ = -1;
}

void SimSettings::useUpFault() {
    std::lock_guard lock(mutex_);
    values_.fault = {};
    hangupCountdown_ = -1;
}

ParamSet SimSettings::storeWritten(ParamSet params) {
    std::lock_guard lock(mutex_);
    if (values_.fault.kind == FaultKind::StoreDifferent)
        params.numerators[0] = quint16(params.numerators[0] + 1);
    values_.params = params;
    return params;
}

} // namespace ktr6sim
