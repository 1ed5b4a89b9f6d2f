#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>
#include <optional>

namespace ktr6sim {

// Channels 1..6 are IN 1..6, 7 is V1 and 8 is V2.
inline constexpr int kFirstChannel = 1;
inline constexpr int kLastChannel = 8;

// How each on-line record goes out: digit, filler, CR, optionally in two writes.
struct RecordStyle {
    QByteArray filler; // anything but CR
    int splitMs = 0;   // > 0: write the digit, wait, then the rest
};

QByteArray formatRecord(int channel, const RecordStyle& style);

struct StreamConfig {
    std::map<int, double> rates;   // channel -> records per second; 0 = as fast as the pty takes
    int burstSize = 0;             // records per burst, 0 = no bursts
    QByteArray burstPattern = "1"; // channel digits, cycled through the burst
    int burstIntervalMs = 1000;    // 0 = a single burst
    qint64 countLimit = -1;        // stop after this many records, -1 = never

    bool empty() const { return rates.empty() && burstSize <= 0; }
};

// "1:5,3:20" -> channel 1 at 5/s, channel 3 at 20/s.
std::optional<std::map<int, double>> parseRates(const QString& text, QString* error = nullptr);
// "N" or "N:PATTERN", PATTERN being channel digits such as "1278".
bool parseBurst(const QString& text, StreamConfig* config, QString* error = nullptr);
bool validChannelPattern(const QByteArray& pattern);

// Decides which records a running stream owes at a given moment. Time is passed in so that
// the schedule can be checked without waiting for real time to pass.
class RecordScheduler {
public:
    void start(const StreamConfig& config, qint64 nowMs);
    void stop() { active_ = false; }
    bool active() const { return active_; }
    const StreamConfig& config() const { return config_; }

    // Channels of the timed records due by nowMs, then up to unthrottledRoom records of the
    // channels that run as fast as the pty takes.
    QList<int> take(qint64 nowMs, int unthrottledRoom);
    // Earliest moment a timed record falls due, or -1 when none is pending.
    qint64 nextDueMs() const;
    bool unthrottled() const { return active_ && !unthrottledChannels_.isEmpty(); }
    qint64 produced() const { return produced_; }

private:
    bool produce(int channel, QList<int>* out);

    StreamConfig config_;
    bool active_ = false;
    std::map<int, double> nextDue_; // timed channels -> due time in ms
    QList<int> unthrottledChannels_;
    qsizetype unthrottledTurn_ = 0;
    double nextBurst_ = -1;
    qint64 produced_ = 0;
};

} // namespace ktr6sim
