#pragma once
// Closed intervals waiting for the broker, in the service's own SQLite
// database: a row is written in the transaction that closes the interval and
// deleted only when the broker has acknowledged it, so a broker that is away,
// a lost connection or a killed service loses none (and the rare one sent
// twice carries its key).

#include "MqttMessages.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <vector>

namespace Outbox {

struct Row {
    int64_t id = 0;
    QString topic;
    QByteArray payload;
};

// The table, if it is not there yet (the service makes it too).
bool createTable(QSqlDatabase& db, QString* error);
// Queues one message inside the caller's transaction; a row with the same
// relay, channel and start is kept as it is (the interval was queued before).
bool enqueue(QSqlDatabase& db, const QString& relay, int channel, const QString& start,
             const QString& topic, const QByteArray& payload, QString* error);
// The interval's message on PREFIX/RELAY/interval.
bool enqueue(QSqlDatabase& db, const QString& prefix, const ClosedInterval& interval,
             QString* error);
// Up to limit rows after the given id, oldest first; false on a database error.
bool next(QSqlDatabase& db, int64_t afterId, int limit, std::vector<Row>* rows, QString* error);
// Deletes the rows the broker has acknowledged.
bool remove(QSqlDatabase& db, const std::vector<int64_t>& ids, QString* error);

} // namespace Outbox
