#include "Records.h"

#include <QStringList>

#include <cmath>

namespace ktr6sim {

namespace {

bool fail(QString* error, const QString& message) {
    if (error)
        *error = message;
    return false;
}

// A stream that fell far behind (the machine was busy, the pty was full) starts afresh rather
// than bursting out everything it owes.
constexpr double kMaxLagMs = 1000;

} // namespace

QByteArray formatRecord(int channel, const RecordStyle& style) {
    QByteArray record;
    record += char('0' + channel);
    record += style.filler;
    record += '\r';
    return record;
}

std::optional<std::map<int, double>> parseRates(const QString& text, QString* error) {
    std::map<int, double> rates;
    for (const QString& entry : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QStringList parts = entry.split(QLatin1Char(':'));
        bool channelOk = false;
        bool rateOk = false;
        const int channel = parts.value(0).trimmed().toInt(&channelOk);
        const double rate = parts.value(1).trimmed().toDouble(&rateOk);
        if (parts.size() != 2 || !channelOk || !rateOk || channel < kFirstChannel ||
            channel > kLastChannel || rate < 0) {
            fail(error, QStringLiteral("\"%1\" is not CHANNEL:RATE with channel 1..8, rate >= 0")
                            .arg(entry));
            return std::nullopt;
        }
        rates[channel] = rate;
    }
    if (rates.empty()) {
        fail(error, QStringLiteral("no CHANNEL:RATE entries in \"%1\"").arg(text));
        return std::nullopt;
    }
    return rates;
}

bool validChannelPattern(const QByteArray& pattern) {
    if (pattern.isEmpty())
        return false;
    for (char c : pattern) {
        if (c < '0' + kFirstChannel || c > '0' + kLastChannel)
            return false;
    }
    return true;
}

bool parseBurst(const QString& text, StreamConfig* config, QString* error) {
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    bool ok = false;
    const int size = (colon < 0 ? text : text.left(colon)).trimmed().toInt(&ok);
    if (!ok || size < 1)
        return fail(error, QStringLiteral("burst size must be a number >= 1"));
    const QByteArray pattern = colon < 0 ? QByteArray("1") : text.mid(colon + 1).toLatin1();
    if (!validChannelPattern(pattern))
        return fail(error, QStringLiteral("burst pattern must be channel digits 1..8"));
    config->burstSize = size;
    config->burstPattern = pattern;
    return true;
}

void RecordScheduler::start(const StreamConfig& config, qint64 nowMs) {
    config_ = config;
    active_ = config.countLimit != 0;
    produced_ = 0;
    nextDue_.clear();
    unthrottledChannels_.clear();
    unthrottledTurn_ = 0;
    for (const auto& [channel, rate] : config.rates) {
        if (rate > 0)
            nextDue_[channel] = double(nowMs) + 1000.0 / rate;
        else
            unthrottledChannels_ << channel;
    }
    nextBurst_ = config.burstSize > 0 ? double(nowMs) : -1;
}

bool RecordScheduler::produce(int channel, QList<int>* out) {
    if (!active_)
        return false;
    out->append(channel);
    if (++produced_ == config_.countLimit)
        active_ = false;
    return true;
}

QList<int> RecordScheduler::take(qint64 nowMs, int unthrottledRoom) {
    QList<int> due;
    if (!active_)
        return due;
    const double now = double(nowMs);

    if (nextBurst_ >= 0 && nextBurst_ <= now) {
        for (int i = 0; i < config_.burstSize; ++i) {
            const int channel = config_.burstPattern[i % config_.burstPattern.size()] - '0';
            if (!produce(channel, &due))
                return due;
        }
        nextBurst_ = config_.burstIntervalMs > 0 ? nextBurst_ + config_.burstIntervalMs : -1;
        if (nextBurst_ >= 0 && now - nextBurst_ > kMaxLagMs)
            nextBurst_ = now + config_.burstIntervalMs;
    }

    for (auto& [channel, dueAt] : nextDue_) {
        const double period = 1000.0 / config_.rates[channel];
        if (now - dueAt > kMaxLagMs)
            dueAt = now;
        while (dueAt <= now) {
            if (!produce(channel, &due))
                return due;
            dueAt += period;
        }
    }

    for (int i = 0; i < unthrottledRoom && !unthrottledChannels_.isEmpty(); ++i) {
        const int channel = unthrottledChannels_[unthrottledTurn_];
        unthrottledTurn_ = (unthrottledTurn_ + 1) % unthrottledChannels_.size();
        if (!produce(channel, &due))
            return due;
    }

    if (nextDue_.empty() && nextBurst_ < 0 && unthrottledChannels_.isEmpty())
        active_ = false; // a single burst has gone out and nothing else is scheduled
    return due;
}

qint64 RecordScheduler::nextDueMs() const {
    if (!active_)
        return -1;
    double next = nextBurst_;
    for (const auto& [channel, dueAt] : nextDue_) {
        if (next < 0 || dueAt < next)
            next = dueAt;
    }
    return next < 0 ? -1 : qint64(std::ceil(next));
}

} // namespace ktr6sim
