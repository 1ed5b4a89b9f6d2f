#include "RelayInbox.h"

size_t RelayBatch::countRows() const {
    size_t rows = 0;
    for (const CountBlock& block : blocks)
        rows += block.records.size();
    return rows;
}

namespace {

// The newest row of the channel in the block, or nothing.
qint64* newestRow(CountBlock& block, int channel) {
    for (auto it = block.records.rbegin(); it != block.records.rend(); ++it) {
        if (it->first.channel == channel)
            return &it->second;
    }
    return nullptr;
}

void addRecords(CountBlock& block, const CountKey& key, qint64 records, bool full) {
    const auto row = block.records.find(key);
    if (row != block.records.end()) {
        row->second += records;
        return;
    }
    qint64* newest = full ? newestRow(block, key.channel) : nullptr;
    if (newest)
        *newest += records;
    else
        block.records.emplace(key, records);
}

} // namespace

void mergeBatch(RelayBatch& into, RelayBatch&& from) {
    for (CountBlock& block : from.blocks) {
        if (block.newSet || into.blocks.empty()) {
            into.blocks.push_back(std::move(block));
            continue;
        }
        CountBlock& last = into.blocks.back();
        for (const auto& [key, records] : block.records)
            addRecords(last, key, records, into.countRows() >= kMaxPendingRows);
    }
    for (OfflineEvent& event : from.offline) {
        if (into.offline.size() >= kMaxPendingOffline && !into.offline.empty()) {
            // Too many comings and goings held: the last period stretches.
            if (!event.begins)
                into.offline.back() = event;
            continue;
        }
        into.offline.push_back(std::move(event));
    }
}

RelayInbox::RelayInbox(Clock clock, int intervalSeconds)
    : clock_(std::move(clock)), intervalSeconds_(intervalSeconds) {}

void RelayInbox::startSegment(const ParameterSet& set) {
    std::lock_guard lock(mutex_);
    batch_.blocks.push_back(CountBlock{set, clock_(), {}});
}

void RelayInbox::count(const std::vector<int>& channels) {
    if (channels.empty())
        return;
    std::lock_guard lock(mutex_);
    if (batch_.blocks.empty())
        batch_.blocks.emplace_back();
    const qint64 start = intervalAt(clock_(), intervalSeconds_).start;
    CountBlock& block = batch_.blocks.back();
    for (int channel : channels)
        ++block.records[CountKey{start, channel}];
}

void RelayInbox::offline(const QString& reason) {
    std::lock_guard lock(mutex_);
    if (offline_ && reason_ == reason)
        return;
    // The stored period says why the relay is away now.
    batch_.offline.push_back(OfflineEvent{true, offline_, clock_(), reason});
    if (!offline_)
        since_ = batch_.offline.back().atMs;
    offline_ = true;
    reason_ = reason;
}

void RelayInbox::back() {
    std::lock_guard lock(mutex_);
    if (!offline_)
        return;
    offline_ = false;
    reason_.clear();
    batch_.offline.push_back(OfflineEvent{false, false, clock_(), {}});
    since_ = batch_.offline.back().atMs;
}

bool RelayInbox::isOffline() const {
    std::lock_guard lock(mutex_);
    return offline_;
}

QString RelayInbox::reason() const {
    std::lock_guard lock(mutex_);
    return reason_;
}

qint64 RelayInbox::since() const {
    std::lock_guard lock(mutex_);
    return since_;
}

RelayBatch RelayInbox::take(qint64* nowMs) {
    std::lock_guard lock(mutex_);
    *nowMs = clock_();
    RelayBatch taken;
    std::swap(taken, batch_);
    return taken;
}
