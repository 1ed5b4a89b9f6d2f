#include "Outbox.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>

namespace {

bool failed(const QSqlQuery& query, const char* what, QString* error) {
    *error = QStringLiteral("MQTT outbox: cannot %1: %2")
                 .arg(QLatin1String(what), query.lastError().text());
    return false;
}

} // namespace

namespace Outbox {

bool createTable(QSqlDatabase& db, QString* error) {
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral(
            "CREATE TABLE IF NOT EXISTS outbox(id INTEGER PRIMARY KEY AUTOINCREMENT, "
            "relay TEXT NOT NULL, channel INTEGER NOT NULL, start TEXT NOT NULL, "
            "topic TEXT NOT NULL, payload BLOB NOT NULL, UNIQUE(relay, channel, start))")))
        return failed(query, "create its table", error);
    return true;
}

bool enqueue(QSqlDatabase& db, const QString& relay, int channel, const QString& start,
             const QString& topic, const QByteArray& payload, QString* error) {
    QSqlQuery query(db);
    query.prepare(
        QStringLiteral("INSERT OR IGNORE INTO outbox(relay, channel, start, topic, payload) "
                       "VALUES(?, ?, ?, ?, ?)"));
    query.addBindValue(relay);
    query.addBindValue(channel);
    query.addBindValue(start);
    query.addBindValue(topic);
    query.addBindValue(payload);
    if (!query.exec())
        return failed(query, "queue a message", error);
    return true;
}

bool enqueue(QSqlDatabase& db, const QString& prefix, const ClosedInterval& interval,
             QString* error) {
    return enqueue(db, interval.relay, interval.channel, utcText(interval.start),
                   intervalTopic(prefix, interval.relay), intervalPayload(interval), error);
}

bool next(QSqlDatabase& db, int64_t afterId, int limit, std::vector<Row>* rows, QString* error) {
    QSqlQuery query(db);
    query.setForwardOnly(true);
    query.prepare(
        QStringLiteral("SELECT id, topic, payload FROM outbox WHERE id > ? ORDER BY id LIMIT ?"));
    query.addBindValue(qlonglong(afterId));
    query.addBindValue(limit);
    if (!query.exec())
        return failed(query, "read the queue", error);
    rows->clear();
    while (query.next())
        rows->push_back(Row{query.value(0).toLongLong(), query.value(1).toString(),
                            query.value(2).toByteArray()});
    return true;
}

bool remove(QSqlDatabase& db, const std::vector<int64_t>& ids, QString* error) {
    if (ids.empty())
        return true;
    QStringList list;
    for (const int64_t id : ids)
        list.append(QString::number(id));
    QSqlQuery query(db);
    if (!query.exec(
            QStringLiteral("DELETE FROM outbox WHERE id IN (%1)").arg(list.join(QLatin1Char(',')))))
        return failed(query, "delete delivered messages", error);
    return true;
}

} // namespace Outbox
