// ktr6ctl counts: the closed intervals of the counts database that the
// counting service writes, read-only while it runs.

#include "Commands.h"
#include "CtlRun.h"
#include "Monitor.h"

#include "commissioning/ParameterJson.h"

#include "tools/service/Intervals.h"

#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QVariant>
#include <limits>
#include <vector>

namespace {

const char kDefaultDatabase[] = "/var/lib/ktr6/counts.sqlite";
const char kConnection[] = "ktr6ctl-counts";

struct Row {
    QString relay;
    int channel = 1;
    QString start;
    QString end;
    qint64 count = 0;
    double amount = 0;
    double total = 0;
    int offline = 0;
};

QString channelName(int channel) {
    return channel <= 6 ? QStringLiteral("IN %1").arg(channel)
                        : QStringLiteral("V%1").arg(channel - 6);
}

// "relay" of the CSV, quoted when it holds the separator, a quote or a line end.
QString csvField(const QString& text, QChar separator) {
    if (!text.contains(separator) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')))
        return text;
    return QLatin1Char('"') + QString(text).replace(QLatin1String("\""), QLatin1String("\"\"")) +
           QLatin1Char('"');
}

QByteArray asJson(const std::vector<Row>& rows) {
    QString out = QStringLiteral("[");
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& r = rows[i];
        out += QStringLiteral("%1{\"relay\":%2,\"channel\":%3,\"start\":\"%4\",\"end\":\"%5\","
                              "\"count\":%6,\"amount\":%7,\"total\":%8}")
                   .arg(i == 0 ? QString() : QStringLiteral(",\n "),
                        QString::fromUtf8(jsonString(r.relay)))
                   .arg(r.channel)
                   .arg(r.start, r.end)
                   .arg(r.count)
                   .arg(QString::fromUtf8(numberJson(r.amount)),
                        QString::fromUtf8(numberJson(r.total)));
    }
    return (out + QStringLiteral("]\n")).toUtf8();
}

QByteArray asCsv(const std::vector<Row>& rows, const CtlOptions& o) {
    const QChar separator =
        o.counts.separator.isEmpty() ? QLatin1Char(',') : o.counts.separator.front();
    const auto number = [&](double value) {
        QString text = Monitor::totalText(value);
        return o.decimalComma ? text.replace(QLatin1Char('.'), QLatin1Char(',')) : text;
    };
    QStringList lines{QStringList{QStringLiteral("relay"), QStringLiteral("channel"),
                                  QStringLiteral("start"), QStringLiteral("end"),
                                  QStringLiteral("count"), QStringLiteral("amount"),
                                  QStringLiteral("total"), QStringLiteral("offline")}
                          .join(separator)};
    for (const Row& r : rows)
        lines << QStringList{csvField(r.relay, separator),
                             QString::number(r.channel),
                             r.start,
                             r.end,
                             QString::number(r.count),
                             csvField(number(r.amount), separator),
                             csvField(number(r.total), separator),
                             QString::number(r.offline)}
                     .join(separator);
    return (lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();
}

QByteArray asTable(const std::vector<Row>& rows) {
    const QStringList head{QStringLiteral("relay"),       QStringLiteral("channel"),
                           QStringLiteral("start (UTC)"), QStringLiteral("end (UTC)"),
                           QStringLiteral("count"),       QStringLiteral("amount"),
                           QStringLiteral("total"),       QStringLiteral("offline s")};
    std::vector<QStringList> cells{head};
    for (const Row& r : rows)
        cells.push_back({r.relay, channelName(r.channel), r.start, r.end, QString::number(r.count),
                         Monitor::totalText(r.amount), Monitor::totalText(r.total),
                         QString::number(r.offline)});
    std::vector<qsizetype> width(head.size(), 0);
    for (const QStringList& line : cells) {
        for (qsizetype c = 0; c < line.size(); ++c)
            width[c] = std::max(width[c], line[c].size());
    }
    QString out;
    for (const QStringList& line : cells) {
        QString text;
        for (qsizetype c = 0; c < line.size(); ++c) {
            // Names to the left, numbers to the right.
            text += c < 4 ? line[c].leftJustified(width[c]) : line[c].rightJustified(width[c]);
            text += c + 1 < line.size() ? QStringLiteral("  ") : QString();
        }
        out += text.trimmed() + QLatin1Char('\n');
    }
    return out.toUtf8();
}

bool knowsRelay(QSqlDatabase& db, const QString& relay) {
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT 1 FROM segments WHERE relay=? UNION SELECT 1 FROM intervals WHERE relay=?"));
    query.addBindValue(relay);
    query.addBindValue(relay);
    return query.exec() && query.next();
}

std::optional<std::vector<Row>> readRows(QSqlDatabase& db, const CtlOptions& o, QString* error) {
    QSqlQuery query(db);
    query.prepare(QStringLiteral(
        "SELECT relay, channel, start, end, count, amount, total, offline_seconds FROM intervals "
        "WHERE (COALESCE(?, '') = '' OR relay = ?) AND start_s >= ? AND end_s <= ? "
        "ORDER BY relay, start_s, channel"));
    query.addBindValue(o.counts.relay);
    query.addBindValue(o.counts.relay);
    query.addBindValue(parseIsoSeconds(o.counts.from).value_or(std::numeric_limits<qint64>::min()));
    query.addBindValue(parseIsoSeconds(o.counts.to).value_or(std::numeric_limits<qint64>::max()));
    if (!query.exec()) {
        *error = query.lastError().text();
        return std::nullopt;
    }
    std::vector<Row> rows;
    while (query.next())
        rows.push_back({query.value(0).toString(), query.value(1).toInt(),
                        query.value(2).toString(), query.value(3).toString(),
                        query.value(4).toLongLong(), query.value(5).toDouble(),
                        query.value(6).toDouble(), query.value(7).toInt()});
    return rows;
}

int printCounts(QSqlDatabase& db, const CtlOptions& o, const QString& path) {
    QString error;
    const auto rows = readRows(db, o, &error);
    if (!rows) {
        printErr(QStringLiteral("ktr6ctl: cannot read %1: %2").arg(path, error));
        return kExitDevice;
    }
    if (!o.counts.relay.isEmpty() && !knowsRelay(db, o.counts.relay)) {
        printErr(QStringLiteral("ktr6ctl: %1 holds no relay \"%2\"").arg(path, o.counts.relay));
        return kExitUsage;
    }
    if (o.json)
        return writeOutput(asJson(*rows));
    return writeOutput(o.csv ? asCsv(*rows, o) : asTable(*rows));
}

} // namespace

int runCounts(const CtlOptions& options) {
    if (!options.counts.setTotalRelay.isEmpty())
        return runSetTotal(options);
    const QString path = options.counts.database.isEmpty() ? QLatin1String(kDefaultDatabase)
                                                           : options.counts.database;
    if (!QFileInfo(path).isFile()) {
        printErr(QStringLiteral("ktr6ctl: no counts database at %1 (is ktr6d running? "
                                "--database names another)")
                     .arg(path));
        return kExitDevice;
    }
    int status = kExitDevice;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kConnection);
        db.setDatabaseName(path);
        // Read-only: the service is the only writer, and this changes nothing.
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=2000"));
        if (!db.isValid() || !db.open())
            printErr(QStringLiteral("ktr6ctl: cannot open %1: %2")
                         .arg(path, db.isValid() ? db.lastError().text()
                                                 : QStringLiteral("Qt's SQLite driver is missing "
                                                                  "(libqt6sql6-sqlite)")));
        else
            status = printCounts(db, options, path);
        db.close();
    }
    QSqlDatabase::removeDatabase(QLatin1String(kConnection));
    return status;
}
