#pragma once
// What one relay's worker hands the store: counted records grouped by
// parameter-set segment, interval and channel, and the moments the relay went
// offline and came back. The worker adds under a lock; the service takes the
// whole batch every commit. Counts are aggregates, so a batch held while the
// database cannot be written grows with the number of intervals, not of
// records.

#include "protocol/ParameterBlock.h"

#include "Intervals.h"

#include <QString>
#include <compare>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

struct CountKey {
    qint64 intervalStart = 0; // seconds since the epoch
    int channel = 0;          // 0..7
    auto operator<=>(const CountKey&) const = default;
};

// Records counted with one parameter set. newSet: the worker read this set
// (a set equal to the relay's last one continues its segment); empty: the
// records continue the segment before.
struct CountBlock {
    std::optional<ParameterSet> newSet;
    qint64 setAtMs = 0;
    std::map<CountKey, qint64> records;
};

struct OfflineEvent {
    bool begins = true;      // false: the relay is back
    bool reasonOnly = false; // still offline, for another reason now
    qint64 atMs = 0;
    QString reason;
};

struct RelayBatch {
    std::vector<CountBlock> blocks;
    std::vector<OfflineEvent> offline;
    bool empty() const { return blocks.empty() && offline.empty(); }
    size_t countRows() const;
};

// The most count rows a relay's pending batch holds while the database cannot
// be written (about 100 bytes each). Beyond it the records of a new interval
// are added to the newest row of their channel: totals stay exact, only their
// split into intervals is lost. At 15-minute intervals on eight channels that
// is over two years; at 1-second intervals an hour and a half.
inline constexpr size_t kMaxPendingRows = 50000;
// Offline events held beyond this fold into the last period.
inline constexpr size_t kMaxPendingOffline = 1000;

// Adds `from` to `into` (both of one relay), keeping the bounds above.
void mergeBatch(RelayBatch& into, RelayBatch&& from);

class RelayInbox {
public:
    RelayInbox(Clock clock, int intervalSeconds);

    // The worker read this set; records from now on count with it.
    void startSegment(const ParameterSet& set);
    // Records counted now, as channel indexes 0..7.
    void count(const std::vector<int>& channels);
    // The relay is offline from now on (a second call while offline only
    // changes the reason shown); back() ends the period.
    void offline(const QString& reason);
    void back();
    bool isOffline() const;
    QString reason() const;
    // When the relay last went offline or came back (ms), 0: not yet.
    qint64 since() const;

    // Everything added since the last take, and the clock's time taken under
    // the same lock: every record stamped before that time is in the batch.
    RelayBatch take(qint64* nowMs);

private:
    mutable std::mutex mutex_;
    Clock clock_;
    int intervalSeconds_;
    RelayBatch batch_;
    bool offline_ = false;
    QString reason_;
    qint64 since_ = 0;
};
