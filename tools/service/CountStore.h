#pragma once
// The counts database (SQLite through Qt, WAL mode, one writer): per relay,
// channel and interval the records counted with each parameter set
// (segment), the sets themselves, offline periods, adjustments of totals and
// the closed intervals with their totals. One commit takes every relay's
// batch and closes the intervals that have ended, in one transaction: a
// killed process loses at most what it had not committed, and counts
// nothing twice.

#include "Intervals.h"
#include "RelayInbox.h"
#include "ServiceConfig.h"

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// One channel's closed interval, as stored (the MQTT feed turns it into the
// message it publishes).
struct StoredInterval {
    QString relay;
    int channel = 1;  // 1..8
    qint64 start = 0; // seconds since the epoch, UTC
    qint64 end = 0;
    qint64 count = 0;
    double amount = 0;
    double total = 0; // the channel's total at the end
    int offlineSeconds = 0;
    QString unit;  // may be empty
    QString label; // may be empty
};

class CountStore {
public:
    // Called inside the transaction that closes the interval; false fails
    // the commit (nothing of it is stored, the batch is kept for the next).
    using ClosedHook = std::function<bool(QSqlDatabase& db, const StoredInterval& interval)>;

    // The closing of intervals catches up at most this many intervals of a
    // relay after the service was away; older ones are not written.
    static constexpr int kMaxCatchUp = 10000;

    explicit CountStore(QString connectionName = QStringLiteral("ktr6d"));
    ~CountStore();
    CountStore(const CountStore&) = delete;
    CountStore& operator=(const CountStore&) = delete;

    // Opens (creating) the database and its tables; false with *error when
    // it cannot be opened or written.
    bool open(const QString& path, QString* error);
    // Takes a configured relay, picking up what the database holds of it. The
    // time from the last commit of the service before to nowMs is stored as
    // offline ("service not running"). Call before the first commit.
    bool addRelay(const RelayConfig& relay, qint64 nowMs, QString* error);
    void setClosedHook(ClosedHook hook) { hook_ = std::move(hook); }

    // Stores each relay's batch (in addRelay's order; nowMs the time its batch
    // was taken) and closes every interval that ended by then. On success the
    // batches are emptied; on failure nothing is stored, they are kept, and
    // *error says why.
    bool commit(std::vector<RelayBatch>& batches, const std::vector<qint64>& nowMs, QString* error);

    // Each channel's total now: every committed record with its segment's
    // amount, plus the adjustments. Empty for a relay the store does not know.
    std::optional<std::array<double, kServiceChannels>> totals(const QString& relay) const;
    // Sets a channel's (0..7) total now to value: stored as an adjustment
    // (the value and the difference it makes) with its time.
    bool adjust(const QString& relay, int channel, double value, qint64 nowMs, QString* error);
    // The parameter set the relay's records count with now (the last one
    // stored); none before the relay's first set was read.
    const ParameterSet* currentSet(const QString& relay) const;
    // A relay paused from ktr6ctl stays paused across restarts.
    bool isPaused(const QString& relay) const;
    bool setPaused(const QString& relay, bool paused, QString* error);

    // The table the mqtt outbox keeps its messages in (created by open()).
    static const char* const kOutboxTable;

private:
    struct Relay {
        RelayConfig config;
        qint64 segment = 0;     // the current segment's id, 0: none yet
        ParameterSet set;       // its set
        qint64 closedUntil = 0; // seconds: every interval before is closed
        // Per channel, per segment: records in closed intervals.
        std::array<std::map<qint64, qint64>, kServiceChannels> closedRecords;
        // Per channel, per segment: every committed record.
        std::array<std::map<qint64, qint64>, kServiceChannels> allRecords;
        std::array<double, kServiceChannels> adjustment{};
        bool paused = false;
    };
    const Relay* find(const QString& name) const;

    bool exec(const QString& sql, QString* error);
    bool createTables(QString* error);
    bool loadRelay(Relay& relay, qint64 nowMs, QString* error);
    bool loadSums(Relay& relay, QString* error);
    bool loadRunning(Relay& relay, QString* error);
    bool storeBatch(Relay& relay, const RelayBatch& batch, QString* error);
    bool storeSegment(Relay& relay, const CountBlock& block, QString* error);
    bool storeOffline(const Relay& relay, const OfflineEvent& event, QString* error);
    bool closeDue(Relay& relay, qint64 nowMs, QString* error);
    bool closeInterval(Relay& relay, qint64 start, qint64 end, QString* error);
    int offlineSeconds(const Relay& relay, qint64 start, qint64 end, QString* error);
    double amountOf(const std::map<qint64, qint64>& bySegment, int channel) const;

    QString connection_;
    QSqlDatabase db_;
    // The statement every commit runs per relay and channel, parsed once.
    std::unique_ptr<QSqlQuery> addRecords_;
    std::vector<Relay> relays_;
    std::map<qint64, ParameterSet> sets_;    // every segment's set, by id
    std::map<qint64, ParameterSet> newSets_; // those of the commit under way
    ClosedHook hook_;
};
