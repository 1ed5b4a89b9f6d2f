#include "BenchSupport.h"

#include "core/NumText.h"

#include <QFile>

#include <algorithm>
#include <cmath>

namespace bench {

double lineRecordsPerSecond(int baud, int charsPerRecord, int bitsPerChar) {
    if (baud <= 0 || charsPerRecord <= 0 || bitsPerChar <= 0)
        return 0;
    return double(baud) / (double(charsPerRecord) * bitsPerChar);
}

double median(QList<double> values) {
    if (values.isEmpty())
        return 0;
    std::sort(values.begin(), values.end());
    const qsizetype mid = values.size() / 2;
    if (values.size() % 2 == 1)
        return values[mid];
    return (values[mid - 1] + values[mid]) / 2;
}

double maximum(const QList<double>& values) {
    if (values.isEmpty())
        return 0;
    return *std::max_element(values.begin(), values.end());
}

std::optional<qint64> statusFieldKb(const QByteArray& statusText, const QByteArray& key) {
    for (const QByteArray& line : statusText.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon < 0 || line.left(colon) != key)
            continue;
        QByteArray value = line.mid(colon + 1).trimmed();
        if (!value.endsWith(" kB"))
            return std::nullopt;
        value.chop(3);
        bool ok = false;
        const qint64 kb = value.trimmed().toLongLong(&ok);
        if (!ok)
            return std::nullopt;
        return kb;
    }
    return std::nullopt;
}

qint64 ownStatusKb(const QByteArray& key) {
    QFile file(QStringLiteral("/proc/self/status"));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    return statusFieldKb(file.readAll(), key).value_or(-1);
}

std::optional<qint64> recordsInTotal(const QString& text, double amountPerRecord,
                                     const QLocale& locale) {
    if (text.trimmed().isEmpty())
        return 0;
    if (amountPerRecord == 0)
        return std::nullopt;
    const std::optional<double> value = parseLocaleNumber(text, locale);
    if (!value)
        return std::nullopt;
    const double records = *value / amountPerRecord;
    const double whole = std::round(records);
    // The display keeps hundredths: the total may be off by half a hundredth.
    if (std::abs(whole * amountPerRecord - *value) > 0.005 + 1e-9 || whole < 0)
        return std::nullopt;
    return qint64(whole);
}

void DeviceTally::start() {
    for (auto& count : counts_)
        count.store(0);
    counting_.store(true);
}

void DeviceTally::stop() {
    counting_.store(false);
}

void DeviceTally::feed(const char* data, qsizetype size) {
    for (qsizetype i = 0; i < size; ++i) {
        const char c = data[i];
        if (c == '\r') {
            if (!atRecordStart_ && channel_ >= '1' && channel_ <= '8' && counting_.load())
                counts_[channel_ - '1'].fetch_add(1);
            atRecordStart_ = true;
            continue;
        }
        if (atRecordStart_ && c != '\n') {
            atRecordStart_ = false;
            channel_ = c;
        }
    }
}

qint64 DeviceTally::total() const {
    qint64 sum = 0;
    for (const auto& count : counts_)
        sum += count.load();
    return sum;
}

std::array<qint64, kChannels> DeviceTally::perChannel() const {
    std::array<qint64, kChannels> values{};
    for (int k = 0; k < kChannels; ++k)
        values[k] = counts_[k].load();
    return values;
}

StallProbe::StallProbe() {
    timer_.setTimerType(Qt::PreciseTimer);
    timer_.setInterval(kIntervalMs);
    QObject::connect(&timer_, &QTimer::timeout, [this] { tick(); });
}

void StallProbe::start() {
    worstNs_ = 0;
    ticks_ = 0;
    clock_.start();
    lastNs_ = 0;
    timer_.start();
}

void StallProbe::stop() {
    timer_.stop();
}

void StallProbe::tick() {
    const qint64 now = clock_.nsecsElapsed();
    const qint64 late = now - lastNs_ - qint64(kIntervalMs) * 1000000;
    worstNs_ = std::max(worstNs_, late);
    lastNs_ = now;
    ++ticks_;
}

} // namespace bench
