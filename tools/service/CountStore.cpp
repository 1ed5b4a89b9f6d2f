#include "CountStore.h"

#include "protocol/OnlineStream.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

namespace {

const char* const kSchema[] = {
    "CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL)",
    // Each parameter set a relay had; the records counted with it are its
    // segment, and keep its amounts whatever set follows.
    "CREATE TABLE IF NOT EXISTS segments(id INTEGER PRIMARY KEY AUTOINCREMENT, relay TEXT NOT "
    "NULL, started TEXT NOT NULL, started_ms INTEGER NOT NULL, firmware TEXT NOT NULL, output "
    "INTEGER NOT NULL, inputs TEXT NOT NULL)",
    // Records per relay, channel (1..8), interval start (s since the epoch)
    // and segment, added to at every commit.
    "CREATE TABLE IF NOT EXISTS counts(relay TEXT NOT NULL, channel INTEGER NOT NULL, start "
    "INTEGER NOT NULL, segment INTEGER NOT NULL, records INTEGER NOT NULL, PRIMARY KEY(relay, "
    "channel, start, segment))",
    "CREATE TABLE IF NOT EXISTS intervals(relay TEXT NOT NULL, channel INTEGER NOT NULL, start "
    "TEXT NOT NULL, end TEXT NOT NULL, start_s INTEGER NOT NULL, end_s INTEGER NOT NULL, count "
    "INTEGER NOT NULL, amount REAL NOT NULL, total REAL NOT NULL, offline_seconds INTEGER NOT "
    "NULL, PRIMARY KEY(relay, channel, start_s))",
    "CREATE INDEX IF NOT EXISTS intervals_start ON intervals(start)",
    "CREATE TABLE IF NOT EXISTS offline(id INTEGER PRIMARY KEY AUTOINCREMENT, relay TEXT NOT "
    "NULL, start_ms INTEGER NOT NULL, end_ms INTEGER, reason TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS offline_relay ON offline(relay, start_ms)",
    // A total set by hand (to match a meter's register): delta is what it
    // added to the counted total at that time.
    "CREATE TABLE IF NOT EXISTS adjustments(id INTEGER PRIMARY KEY AUTOINCREMENT, relay TEXT NOT "
    "NULL, channel INTEGER NOT NULL, time TEXT NOT NULL, time_ms INTEGER NOT NULL, value REAL "
    "NOT NULL, delta REAL NOT NULL)",
    "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, relay TEXT NOT "
    "NULL, channel INTEGER NOT NULL, start TEXT NOT NULL, topic TEXT NOT NULL, payload BLOB NOT "
    "NULL, UNIQUE(relay, channel, start))",
};

QString inputsText(const ParameterSet& set) {
    QJsonArray rows;
    for (const auto& row : set.table)
        rows.append(QJsonArray{row[Others::kSignColumn], row[Others::kNumeratorColumn],
                               row[Others::kDivisorColumn]});
    return QString::fromUtf8(QJsonDocument(rows).toJson(QJsonDocument::Compact));
}

ParameterSet setFrom(const QString& firmware, int output, const QString& inputs) {
    ParameterSet set;
    set.firmwareVersion = firmware;
    set.output = uint8_t(output);
    const QJsonArray rows = QJsonDocument::fromJson(inputs.toUtf8()).array();
    for (int i = 0; i < Others::kInputs && i < rows.size(); ++i) {
        const QJsonArray row = rows[i].toArray();
        for (int c = 0; c < 3 && c < row.size(); ++c)
            set.table[i][c] = row[c].toInt();
    }
    return set;
}

// A query run with its values bound in order; false with *error on failure.
bool run(QSqlQuery& query, const QString& sql, const QVariantList& values, QString* error) {
    if (!query.prepare(sql)) {
        *error = query.lastError().text();
        return false;
    }
    for (const QVariant& value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

} // namespace

const char* const CountStore::kOutboxTable = "outbox";

CountStore::CountStore(QString connectionName) : connection_(std::move(connectionName)) {}

CountStore::~CountStore() {
    addRecords_.reset();
    if (db_.isValid())
        db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(connection_);
}

bool CountStore::exec(const QString& sql, QString* error) {
    QSqlQuery query(db_);
    if (!query.exec(sql)) {
        *error = query.lastError().text();
        return false;
    }
    return true;
}

bool CountStore::open(const QString& path, QString* error) {
    db_ = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection_);
    if (!db_.isValid()) {
        *error = QStringLiteral("Qt's SQLite driver is missing (install libqt6sql6-sqlite)");
        return false;
    }
    db_.setDatabaseName(path);
    // A writer waits at most this long for a reader's lock before the commit
    // fails and is tried again with the next one.
    db_.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=100"));
    if (!db_.open()) {
        *error = QStringLiteral("%1: %2").arg(path, db_.lastError().text());
        return false;
    }
    QString why;
    if (!createTables(&why)) {
        *error = QStringLiteral("%1: %2").arg(path, why);
        return false;
    }
    addRecords_ = std::make_unique<QSqlQuery>(db_);
    if (!addRecords_->prepare(QStringLiteral("INSERT INTO counts VALUES(?, ?, ?, ?, ?) ON "
                                             "CONFLICT(relay, channel, start, segment) DO UPDATE "
                                             "SET records=records+excluded.records"))) {
        *error = QStringLiteral("%1: %2").arg(path, addRecords_->lastError().text());
        return false;
    }
    return true;
}

bool CountStore::createTables(QString* error) {
    // WAL: readers (ktr6ctl counts) never block the writer; NORMAL survives a
    // killed process, which loses only what it had not committed.
    QSqlQuery mode(db_);
    if (!mode.exec(QStringLiteral("PRAGMA journal_mode=WAL")) || !mode.next() ||
        mode.value(0).toString().toLower() != QLatin1String("wal")) {
        *error = QStringLiteral("cannot switch to WAL mode (%1)").arg(mode.lastError().text());
        return false;
    }
    mode.finish();
    if (!exec(QStringLiteral("PRAGMA synchronous=NORMAL"), error) ||
        !exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    for (const char* sql : kSchema) {
        if (!exec(QLatin1String(sql), error)) {
            exec(QStringLiteral("ROLLBACK"), error);
            return false;
        }
    }
    // Proves the file can be written now, not only read.
    if (!exec(QStringLiteral("INSERT OR REPLACE INTO meta VALUES('schema', '1')"), error) ||
        !exec(QStringLiteral("COMMIT"), error)) {
        QString ignored;
        exec(QStringLiteral("ROLLBACK"), &ignored);
        return false;
    }
    return true;
}

bool CountStore::addRelay(const RelayConfig& config, qint64 nowMs, QString* error) {
    Relay relay;
    relay.config = config;
    if (!exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    if (!loadRelay(relay, nowMs, error)) {
        QString ignored;
        exec(QStringLiteral("ROLLBACK"), &ignored);
        return false;
    }
    if (!exec(QStringLiteral("COMMIT"), error))
        return false;
    relays_.push_back(std::move(relay));
    return true;
}

bool CountStore::loadRelay(Relay& relay, qint64 nowMs, QString* error) {
    const QString name = relay.config.name;
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("SELECT id, firmware, output, inputs FROM segments WHERE relay=? "
                            "ORDER BY id"),
             {name}, error))
        return false;
    while (query.next()) {
        relay.segment = query.value(0).toLongLong();
        relay.set =
            setFrom(query.value(1).toString(), query.value(2).toInt(), query.value(3).toString());
        sets_[relay.segment] = relay.set;
    }
    if (!run(query, QStringLiteral("SELECT MAX(end_s) FROM intervals WHERE relay=?"), {name},
             error) ||
        !query.next())
        return false;
    const bool known = relay.segment != 0 || !query.value(0).isNull();
    relay.closedUntil = query.value(0).isNull()
                            ? intervalAt(nowMs, relay.config.intervalSeconds).start
                            : query.value(0).toLongLong();
    if (!loadSums(relay, error))
        return false;
    // The service's last commit: a killed or stopped service watched nothing
    // from then on.
    if (!run(query, QStringLiteral("SELECT value FROM meta WHERE key='heartbeat'"), {}, error))
        return false;
    const qint64 lastSeen = query.next() ? query.value(0).toLongLong() : nowMs;
    if (!run(query,
             QStringLiteral("UPDATE offline SET end_ms=MAX(start_ms, ?) WHERE relay=? AND "
                            "end_ms IS NULL"),
             {lastSeen, name}, error))
        return false;
    if (known && lastSeen < nowMs &&
        !run(query,
             QStringLiteral("INSERT INTO offline(relay, start_ms, end_ms, reason) "
                            "VALUES(?, ?, ?, 'service not running')"),
             {name, lastSeen, nowMs}, error))
        return false;
    return true;
}

bool CountStore::loadSums(Relay& relay, QString* error) {
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("SELECT channel, segment, SUM(records) FROM counts WHERE "
                            "relay=? AND start<? GROUP BY channel, segment"),
             {relay.config.name, relay.closedUntil}, error))
        return false;
    while (query.next()) {
        const int channel = query.value(0).toInt() - 1;
        if (channel >= 0 && channel < kServiceChannels)
            relay.closedRecords[channel][query.value(1).toLongLong()] = query.value(2).toLongLong();
    }
    if (!run(query,
             QStringLiteral("SELECT channel, SUM(delta) FROM adjustments WHERE relay=? "
                            "GROUP BY channel"),
             {relay.config.name}, error))
        return false;
    while (query.next()) {
        const int channel = query.value(0).toInt() - 1;
        if (channel >= 0 && channel < kServiceChannels)
            relay.adjustment[channel] = query.value(1).toDouble();
    }
    return loadRunning(relay, error);
}

bool CountStore::loadRunning(Relay& relay, QString* error) {
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("SELECT channel, segment, SUM(records) FROM counts WHERE relay=? "
                            "GROUP BY channel, segment"),
             {relay.config.name}, error))
        return false;
    while (query.next()) {
        const int channel = query.value(0).toInt() - 1;
        if (channel >= 0 && channel < kServiceChannels)
            relay.allRecords[channel][query.value(1).toLongLong()] = query.value(2).toLongLong();
    }
    if (!run(query, QStringLiteral("SELECT value FROM meta WHERE key=?"),
             {QStringLiteral("paused:") + relay.config.name}, error))
        return false;
    relay.paused = query.next() && query.value(0).toString() == QLatin1String("1");
    return true;
}

bool CountStore::commit(std::vector<RelayBatch>& batches, const std::vector<qint64>& nowMs,
                        QString* error) {
    if (!db_.isOpen() && !db_.open()) {
        *error = db_.lastError().text();
        return false;
    }
    if (!exec(QStringLiteral("BEGIN IMMEDIATE"), error))
        return false;
    newSets_.clear();
    // Changes go to copies, taken only once the transaction is committed.
    std::vector<Relay> staged = relays_;
    bool ok = true;
    qint64 latest = 0;
    for (size_t i = 0; ok && i < staged.size() && i < batches.size(); ++i) {
        ok = storeBatch(staged[i], batches[i], error) && closeDue(staged[i], nowMs[i], error);
        latest = std::max(latest, nowMs[i]);
    }
    QSqlQuery heartbeat(db_);
    ok = ok && run(heartbeat, QStringLiteral("INSERT OR REPLACE INTO meta VALUES('heartbeat', ?)"),
                   {QString::number(latest)}, error);
    ok = ok && exec(QStringLiteral("COMMIT"), error);
    if (!ok) {
        QString ignored;
        exec(QStringLiteral("ROLLBACK"), &ignored);
        newSets_.clear();
        return false;
    }
    relays_ = std::move(staged);
    sets_.merge(newSets_);
    for (RelayBatch& batch : batches)
        batch = RelayBatch{};
    return true;
}

bool CountStore::storeSegment(Relay& relay, const CountBlock& block, QString* error) {
    if (!block.newSet || (relay.segment != 0 && *block.newSet == relay.set))
        return true;
    QSqlQuery query(db_);
    const qint64 at = block.setAtMs;
    if (!run(query,
             QStringLiteral("INSERT INTO segments(relay, started, started_ms, firmware, "
                            "output, inputs) VALUES(?, ?, ?, ?, ?, ?)"),
             {relay.config.name, utcText(at / 1000), at, block.newSet->firmwareVersion,
              int(block.newSet->output), inputsText(*block.newSet)},
             error))
        return false;
    relay.segment = query.lastInsertId().toLongLong();
    relay.set = *block.newSet;
    newSets_[relay.segment] = relay.set;
    return true;
}

bool CountStore::storeBatch(Relay& relay, const RelayBatch& batch, QString* error) {
    for (const CountBlock& block : batch.blocks) {
        if (!storeSegment(relay, block, error))
            return false;
        for (const auto& [key, records] : block.records) {
            if (relay.segment == 0)
                break; // no set read yet: nothing can have been counted
            // A clock set back stamps records into a closed interval: they
            // go to the open one, so that the totals hold them.
            const qint64 start = std::max(key.intervalStart, relay.closedUntil);
            const QVariantList values{relay.config.name, key.channel + 1, start, relay.segment,
                                      records};
            for (int i = 0; i < values.size(); ++i)
                addRecords_->bindValue(i, values[i]);
            const bool added = addRecords_->exec();
            addRecords_->finish();
            if (!added) {
                *error = addRecords_->lastError().text();
                return false;
            }
            relay.allRecords[key.channel][relay.segment] += records;
        }
    }
    for (const OfflineEvent& event : batch.offline) {
        if (!storeOffline(relay, event, error))
            return false;
    }
    return true;
}

bool CountStore::storeOffline(const Relay& relay, const OfflineEvent& event, QString* error) {
    QSqlQuery query(db_);
    if (event.reasonOnly)
        return run(query,
                   QStringLiteral("UPDATE offline SET reason=? WHERE relay=? AND end_ms IS NULL"),
                   {event.reason, relay.config.name}, error);
    if (event.begins)
        return run(query,
                   QStringLiteral("INSERT INTO offline(relay, start_ms, end_ms, reason) "
                                  "VALUES(?, ?, NULL, ?)"),
                   {relay.config.name, event.atMs, event.reason}, error);
    return run(query,
               QStringLiteral("UPDATE offline SET end_ms=? WHERE relay=? AND end_ms IS NULL"),
               {event.atMs, relay.config.name}, error);
}

bool CountStore::closeDue(Relay& relay, qint64 nowMs, QString* error) {
    const int length = relay.config.intervalSeconds;
    const qint64 now = nowMs / 1000;
    const qint64 earliest = intervalAt(nowMs, length).start - qint64(kMaxCatchUp) * length;
    if (relay.closedUntil < earliest) {
        // Intervals too far back are not written; their records still count
        // in the totals.
        QSqlQuery query(db_);
        if (!run(query,
                 QStringLiteral("SELECT channel, segment, SUM(records) FROM counts WHERE "
                                "relay=? AND start>=? AND start<? GROUP BY channel, segment"),
                 {relay.config.name, relay.closedUntil, earliest}, error))
            return false;
        while (query.next())
            relay.closedRecords[query.value(0).toInt() - 1][query.value(1).toLongLong()] +=
                query.value(2).toLongLong();
        relay.closedUntil = earliest;
    }
    while (true) {
        const qint64 end = alignUp(relay.closedUntil + 1, length);
        if (end > now)
            return true;
        if (!closeInterval(relay, relay.closedUntil, end, error))
            return false;
        relay.closedUntil = end;
    }
}

double CountStore::amountOf(const std::map<qint64, qint64>& bySegment, int channel) const {
    double amount = 0;
    for (const auto& [segment, records] : bySegment) {
        const ParameterSet* set = nullptr;
        if (const auto known = sets_.find(segment); known != sets_.end())
            set = &known->second;
        else if (const auto fresh = newSets_.find(segment); fresh != newSets_.end())
            set = &fresh->second;
        if (set)
            amount += channelAmount(records, channel, set->table, set->output);
    }
    return amount;
}

int CountStore::offlineSeconds(const Relay& relay, qint64 start, qint64 end, QString* error) {
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("SELECT start_ms, end_ms FROM offline WHERE relay=? AND "
                            "start_ms<? AND (end_ms IS NULL OR end_ms>?)"),
             {relay.config.name, end * 1000, start * 1000}, error))
        return -1;
    qint64 ms = 0;
    while (query.next()) {
        const qint64 from = std::max(query.value(0).toLongLong(), start * 1000);
        const qint64 to = query.value(1).isNull()
                              ? end * 1000
                              : std::min(query.value(1).toLongLong(), end * 1000);
        ms += std::max<qint64>(0, to - from);
    }
    return int(std::min<qint64>((ms + 500) / 1000, end - start));
}

bool CountStore::closeInterval(Relay& relay, qint64 start, qint64 end, QString* error) {
    const QString& name = relay.config.name;
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("SELECT channel, segment, SUM(records) FROM counts WHERE "
                            "relay=? AND start>=? AND start<? GROUP BY channel, segment"),
             {name, start, end}, error))
        return false;
    std::array<std::map<qint64, qint64>, kServiceChannels> bySegment;
    while (query.next()) {
        const int channel = query.value(0).toInt() - 1;
        if (channel >= 0 && channel < kServiceChannels)
            bySegment[channel][query.value(1).toLongLong()] = query.value(2).toLongLong();
    }
    const int offline = offlineSeconds(relay, start, end, error);
    if (offline < 0)
        return false;
    for (int channel = 0; channel < kServiceChannels; ++channel) {
        StoredInterval closed{name,
                              channel + 1,
                              start,
                              end,
                              0,
                              amountOf(bySegment[channel], channel),
                              0,
                              offline,
                              relay.config.unitOf(channel),
                              relay.config.channels[channel].label};
        for (const auto& [segment, records] : bySegment[channel]) {
            closed.count += records;
            relay.closedRecords[channel][segment] += records;
        }
        closed.total = amountOf(relay.closedRecords[channel], channel) + relay.adjustment[channel];
        if (!run(query,
                 QStringLiteral("INSERT OR REPLACE INTO intervals VALUES(?, ?, ?, ?, ?, ?, "
                                "?, ?, ?, ?)"),
                 {name, closed.channel, utcText(start), utcText(end), start, end, closed.count,
                  closed.amount, closed.total, closed.offlineSeconds},
                 error))
            return false;
        if (hook_ && !hook_(db_, closed)) {
            *error = QStringLiteral("the closed interval could not be handed on");
            return false;
        }
    }
    return true;
}

const CountStore::Relay* CountStore::find(const QString& name) const {
    for (const Relay& relay : relays_) {
        if (relay.config.name == name)
            return &relay;
    }
    return nullptr;
}

std::optional<std::array<double, kServiceChannels>> CountStore::totals(const QString& name) const {
    const Relay* relay = find(name);
    if (!relay)
        return std::nullopt;
    std::array<double, kServiceChannels> totals{};
    for (int channel = 0; channel < kServiceChannels; ++channel)
        totals[channel] =
            amountOf(relay->allRecords[channel], channel) + relay->adjustment[channel];
    return totals;
}

const ParameterSet* CountStore::currentSet(const QString& name) const {
    const Relay* relay = find(name);
    return relay && relay->segment != 0 ? &relay->set : nullptr;
}

bool CountStore::isPaused(const QString& name) const {
    const Relay* relay = find(name);
    return relay && relay->paused;
}

bool CountStore::setPaused(const QString& name, bool paused, QString* error) {
    Relay* relay = const_cast<Relay*>(find(name));
    if (!relay)
        return false;
    // Held in memory whatever the database says; stored when it can be.
    relay->paused = paused;
    QSqlQuery query(db_);
    return run(
        query, QStringLiteral("INSERT OR REPLACE INTO meta VALUES(?, ?)"),
        {QStringLiteral("paused:") + name, paused ? QStringLiteral("1") : QStringLiteral("0")},
        error);
}

bool CountStore::adjust(const QString& name, int channel, double value, qint64 nowMs,
                        QString* error) {
    Relay* relay = const_cast<Relay*>(find(name));
    const auto now = totals(name);
    if (!relay || !now || channel < 0 || channel >= kServiceChannels)
        return false;
    const double delta = value - (*now)[size_t(channel)];
    QSqlQuery query(db_);
    if (!run(query,
             QStringLiteral("INSERT INTO adjustments(relay, channel, time, time_ms, value, delta) "
                            "VALUES(?, ?, ?, ?, ?, ?)"),
             {name, channel + 1, utcText(nowMs / 1000), nowMs, value, delta}, error))
        return false;
    relay->adjustment[size_t(channel)] += delta;
    return true;
}
