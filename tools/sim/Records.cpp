#include "Records.h"

#include <QStringList>

#include <algorithm>
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
// No take counts more records of one channel than this, whatever the rate.
constexpr double kMaxOwed = 1e9;

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
    if (!ratesFitTheLine(rates, error))
        return std::nullopt;
    return rates;
}

bool ratesFitTheLine(const std::map<int, double>& rates, QString* error) {
    double total = 0;
    for (const auto& [channel, rate] : rates)
        total += rate;
    // A hair of tolerance: rates that split the line's figure among channels add up to it.
    if (total <= kLineRecordsPerSecond * (1 + 1e-9))
        return true;
    return fail(error, QStringLiteral("the rates add up to %1 records/s; a 32767 Bd line carries "
                                      "at most %2 (a digit and a CR of 10 bits each). Rate 0 "
                                      "streams as fast as the port takes records.")
                           .arg(QString::number(total, 'g', 6),
                                QString::number(kLineRecordsPerSecond, 'f', 2)));
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

qint64 RecordScheduler::allowed(qint64 count) const {
    if (!active_)
        return 0;
    return config_.countLimit < 0 ? count : std::min(count, config_.countLimit - produced_);
}

void RecordScheduler::produce(int channel, qint64 count, QList<int>* out, qint64* room,
                              qint64* lost) {
    const qint64 listed = std::min(count, *room);
    for (qint64 i = 0; i < listed; ++i)
        out->append(channel);
    *room -= listed;
    *lost += count - listed;
    countProduced(count);
}

void RecordScheduler::countProduced(qint64 count) {
    produced_ += count;
    if (produced_ == config_.countLimit)
        active_ = false;
}

void RecordScheduler::takeBurst(double now, QList<int>* due, qint64* room, qint64* lost) {
    if (!active_ || nextBurst_ < 0 || nextBurst_ > now)
        return;
    const qint64 count = allowed(config_.burstSize);
    const qint64 listed = std::min(count, *room);
    for (qint64 i = 0; i < listed; ++i)
        due->append(config_.burstPattern[i % config_.burstPattern.size()] - '0');
    *room -= listed;
    *lost += count - listed;
    countProduced(count);
    nextBurst_ = config_.burstIntervalMs > 0 ? nextBurst_ + config_.burstIntervalMs : -1;
    if (nextBurst_ >= 0 && now - nextBurst_ > kMaxLagMs)
        nextBurst_ = now + config_.burstIntervalMs;
}

void RecordScheduler::takeTimed(double now, QList<int>* due, qint64* room, qint64* lost) {
    for (auto& [channel, dueAt] : nextDue_) {
        if (!active_)
            break;
        const double period = 1000.0 / config_.rates[channel];
        if (now - dueAt > kMaxLagMs)
            dueAt = now;
        if (dueAt > now)
            continue;
        // Every record owed by now in one step, so that an absurd rate costs no more time or
        // memory than a sane one.
        const double owed = std::floor((now - dueAt) / period) + 1;
        const qint64 count = allowed(owed < kMaxOwed ? qint64(owed) : qint64(kMaxOwed));
        produce(channel, count, due, room, lost);
        const double next = dueAt + double(count) * period;
        dueAt = next > now ? next : now + std::max(period, 1.0);
    }
}

void RecordScheduler::takeUnthrottled(int room, QList<int>* due) {
    for (int i = 0; i < room && allowed(1) > 0 && !unthrottledChannels_.isEmpty(); ++i) {
        const int channel = unthrottledChannels_[unthrottledTurn_];
        unthrottledTurn_ = (unthrottledTurn_ + 1) % unthrottledChannels_.size();
        due->append(channel);
        countProduced(1);
    }
}

QList<int> RecordScheduler::take(qint64 nowMs, int unthrottledRoom, int timedRoom, qint64* lost) {
    QList<int> due;
    qint64 unlisted = 0;
    qint64 room = std::max(timedRoom, 0);
    const double now = double(nowMs);
    takeBurst(now, &due, &room, &unlisted);
    takeTimed(now, &due, &room, &unlisted);
    takeUnthrottled(unthrottledRoom, &due);
    if (nextDue_.empty() && nextBurst_ < 0 && unthrottledChannels_.isEmpty())
        active_ = false; // a single burst has gone out and nothing else is scheduled
    if (lost)
        *lost = unlisted;
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
