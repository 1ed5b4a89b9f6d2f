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

// The most records a line can carry: 32767 Bd, the fastest rate the settings file holds, and a
// record of a digit and a CR, 10 bits each on the wire: 1638.35 records/s.
inline constexpr double kLineRecordsPerSecond = 32767.0 / 20.0;

// "1:5,3:20" -> channel 1 at 5/s, channel 3 at 20/s. Rates adding up to more than a line
// carries are refused.
std::optional<std::map<int, double>> parseRates(const QString& text, QString* error = nullptr);
// Whether the timed rates together fit on the line; *error says why not.
bool ratesFitTheLine(const std::map<int, double>& rates, QString* error = nullptr);
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

    // Channels of the records due by nowMs: bursts and timed records, at most timedRoom of
    // them, then up to unthrottledRoom records of the channels that run as fast as the pty
    // takes. Records due beyond timedRoom fall due all the same (they count towards the
    // stream's limit) but are only counted, in *lost: whatever the rate, a take costs no more
    // than the room it is given.
    static constexpr int kTimedBatch = 1 << 17;
    QList<int> take(qint64 nowMs, int unthrottledRoom, int timedRoom = kTimedBatch,
                    qint64* lost = nullptr);
    // Earliest moment a timed record falls due, or -1 when none is pending.
    qint64 nextDueMs() const;
    bool unthrottled() const { return active_ && !unthrottledChannels_.isEmpty(); }
    qint64 produced() const { return produced_; }

private:
    // How many of count records the stream may still produce.
    qint64 allowed(qint64 count) const;
    // Produces count records of channel, listing as many as *room allows.
    void produce(int channel, qint64 count, QList<int>* out, qint64* room, qint64* lost);
    void countProduced(qint64 count);
    // The parts of take(): a burst that fell due, the timed channels, the unthrottled ones.
    void takeBurst(double now, QList<int>* due, qint64* room, qint64* lost);
    void takeTimed(double now, QList<int>* due, qint64* room, qint64* lost);
    void takeUnthrottled(int room, QList<int>* due);

    StreamConfig config_;
    bool active_ = false;
    std::map<int, double> nextDue_; // timed channels -> due time in ms
    QList<int> unthrottledChannels_;
    qsizetype unthrottledTurn_ = 0;
    double nextBurst_ = -1;
    qint64 produced_ = 0;
};

} // namespace ktr6sim
