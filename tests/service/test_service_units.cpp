// The counting service's own logic on a virtual clock and a real SQLite file:
// its configuration file's errors, interval alignment across a UTC boundary
// and a daylight-saving change, and the store's commits, segments, offline
// seconds and a database that cannot be written for a while.

#include "tools/service/CountStore.h"
#include "tools/service/Intervals.h"
#include "tools/service/RelayInbox.h"
#include "tools/service/Service.h"
#include "tools/service/ServiceConfig.h"

#include <QDateTime>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <ctime>

namespace {

qint64 at(const char* utc) {
    return QDateTime::fromString(QLatin1String(utc), Qt::ISODateWithMs).toMSecsSinceEpoch();
}

ParameterSet setWith(int numerator1) {
    ParameterSet set;
    set.firmwareVersion = QStringLiteral("6");
    set.table[0] = {1, numerator1, 1}; // IN 1 adds numerator1
    set.table[1] = {0, 1, 4};          // IN 2 subtracts 1/4
    set.output = 5;
    return set;
}

struct IntervalRow {
    qint64 count;
    double amount;
    double total;
    int offline;
};

IntervalRow intervalRow(const QString& path, const char* start, int channel) {
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
    db.setDatabaseName(path);
    IntervalRow row{-1, 0, 0, -1};
    if (db.open()) {
        QSqlQuery q(db);
        q.prepare(QStringLiteral("SELECT count, amount, total, offline_seconds FROM intervals "
                                 "WHERE relay='T1' AND channel=? AND start=?"));
        q.addBindValue(channel);
        q.addBindValue(QLatin1String(start));
        if (q.exec() && q.next())
            row = {q.value(0).toLongLong(), q.value(1).toDouble(), q.value(2).toDouble(),
                   q.value(3).toInt()};
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return row;
}

} // namespace

class TestServiceUnits : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        // Intervals are UTC: a local zone with daylight saving changes nothing.
        qputenv("TZ", "Europe/Bratislava");
        tzset();
    }
    void configErrors_data();
    void configErrors();
    void configExample();
    void intervals_data();
    void intervals();
    void storeCountsAndCloses();
    void storeKeepsWhatItCannotWrite();
    void stopClosesOnce();
};

void TestServiceUnits::configErrors_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("error");
    const QByteArray relay = "[relay T1]\nport = 4\n";
    QTest::newRow("unknown key") << relay + "colour = red\n"
                                 << "f.conf:3: unknown key \"colour\"";
    QTest::newRow("bad number") << relay + "baud = 96OO ; fast\n"
                                << "f.conf:3: baud wants a baud rate from 110 to 256000, not "
                                   "\"96OO\"";
    QTest::newRow("interval not dividing a day")
        << relay + "interval = 7m\n"
        << "f.conf:3: interval: \"7m\" does not divide a day";
    QTest::newRow("interval below 1 s") << relay + "interval = 0s\n"
                                        << "f.conf:3: interval: \"0s\" does not divide a day";
    QTest::newRow("relay twice") << relay + "\n[relay T1]\nport = 5\n"
                                 << "f.conf:4: relay \"T1\" is configured twice";
    QTest::newRow("channel 9") << relay + "channel9.unit = kWh\n"
                               << "f.conf:3: \"channel9.unit\": channels are 1..6";
    QTest::newRow("channel 0") << relay + "channel0.label = x\n"
                               << "f.conf:3: \"channel0.label\": channels are 1..6";
    QTest::newRow("unknown section") << relay + "[relays]\n"
                                     << "f.conf:3: unknown section [relays]";
    QTest::newRow("port twice") << relay + "[relay T2]\nport = 4\n"
                                << "f.conf:4: port 4 is relay \"T1\"'s already";
    QTest::newRow("key twice") << relay + "port = 5\n"
                               << "f.conf:3: \"port\" is given twice";
    QTest::newRow("no port") << QByteArray("; relays\n[relay T1]\nlabel = x\n")
                             << "f.conf:2: relay \"T1\" has no port";
    QTest::newRow("key before a section")
        << QByteArray("port = 4\n") << "f.conf:1: \"port\" stands before any section";
    QTest::newRow("mqtt port") << relay + "[mqtt]\nport = 99999\n"
                               << "f.conf:4: port wants a TCP port from 1 to 65535";
    QTest::newRow("channel class") << relay + "channel3.class = Water\n"
                                   << "f.conf:3: channel3.class wants water or gas, not \"Water\"";
    QTest::newRow("mqtt discovery") << relay + "[mqtt]\ndiscovery = maybe\n"
                                    << "f.conf:4: wants true or false";
    QTest::newRow("no relay") << QByteArray("[mqtt]\nhost = h\n") << "f.conf: no [relay NAME]";
}

void TestServiceUnits::configErrors() {
    QFETCH(QByteArray, text);
    QFETCH(QString, error);
    const ConfigResult result = parseServiceConfig(text, QStringLiteral("f.conf"));
    QVERIFY(!result.config);
    QVERIFY2(result.error.startsWith(error), qPrintable(result.error));
}

void TestServiceUnits::configExample() {
    const QByteArray text = "[relay T1]            ; one section per relay\n"
                            "port = 4              ; a port number\n"
                            "label = Incomer T1    ; optional\n"
                            "baud = 9600\n"
                            "interval = 15m\n"
                            "unit = kWh\n"
                            "channel3.unit = m³\n"
                            "channel3.label = Water main   ; optional, per channel\n"
                            "\n"
                            "[mqtt]\n"
                            "host = 127.0.0.1\n"
                            "port = 1883\n"
                            "prefix = ktr6/zilina\n"
                            "discovery = true\n";
    const ConfigResult result = parseServiceConfig(text, QStringLiteral("f.conf"));
    QVERIFY2(result.config, qPrintable(result.error));
    const RelayConfig& t1 = result.config->relays.at(0);
    QCOMPARE(t1.port, 4);
    QCOMPARE(t1.label, QStringLiteral("Incomer T1"));
    QCOMPARE(t1.intervalSeconds, 900);
    QCOMPARE(t1.unitOf(0), QStringLiteral("kWh"));
    QCOMPARE(t1.unitOf(2), QStringLiteral("m³"));
    QCOMPARE(t1.channels[2].label, QStringLiteral("Water main"));
    QVERIFY(result.config->mqtt);
    QCOMPARE(result.config->mqtt->prefix, QStringLiteral("ktr6/zilina"));
    QCOMPARE(result.config->mqtt->port, 1883);
    QVERIFY(result.config->mqtt->discovery);
}

void TestServiceUnits::intervals_data() {
    QTest::addColumn<QString>("length");
    QTest::addColumn<QString>("moment"); // UTC
    QTest::addColumn<QString>("start");  // "" : the length is refused
    QTest::addColumn<QString>("end");
    QTest::newRow("15m just before :15") << "15m"
                                         << "2026-12-07T14:14:59.999Z"
                                         << "2026-12-07T14:00:00Z"
                                         << "2026-12-07T14:15:00Z";
    QTest::newRow("15m at :15") << "15m"
                                << "2026-12-07T14:15:00.000Z"
                                << "2026-12-07T14:15:00Z"
                                << "2026-12-07T14:30:00Z";
    QTest::newRow("1s") << "1s"
                        << "2026-12-07T14:15:07.400Z"
                        << "2026-12-07T14:15:07Z"
                        << "2026-12-07T14:15:08Z";
    QTest::newRow("1d across midnight UTC") << "1d"
                                            << "2026-12-31T23:59:59.999Z"
                                            << "2026-12-31T00:00:00Z"
                                            << "2027-01-01T00:00:00Z";
    // 02:00..03:00 local summer time, then 02:00..03:00 winter time: two
    // hours of one hour each.
    QTest::newRow("1h, clocks go back, first 2:00") << "1h"
                                                    << "2026-10-25T00:30:00Z"
                                                    << "2026-10-25T00:00:00Z"
                                                    << "2026-10-25T01:00:00Z";
    QTest::newRow("1h, clocks go back, second 2:00") << "1h"
                                                     << "2026-10-25T01:30:00Z"
                                                     << "2026-10-25T01:00:00Z"
                                                     << "2026-10-25T02:00:00Z";
    QTest::newRow("15m, clocks go forward") << "15m"
                                            << "2026-03-29T01:05:00Z"
                                            << "2026-03-29T01:00:00Z"
                                            << "2026-03-29T01:15:00Z";
    QTest::newRow("7m refused") << "7m"
                                << ""
                                << ""
                                << "";
    QTest::newRow("0s refused") << "0s"
                                << ""
                                << ""
                                << "";
    QTest::newRow("25h refused") << "25h"
                                 << ""
                                 << ""
                                 << "";
    QTest::newRow("no number refused") << "m"
                                       << ""
                                       << ""
                                       << "";
}

void TestServiceUnits::intervals() {
    QFETCH(QString, length);
    QFETCH(QString, moment);
    QFETCH(QString, start);
    QFETCH(QString, end);
    QString why;
    const auto seconds = parseIntervalLength(length, &why);
    if (start.isEmpty()) {
        QVERIFY(!seconds);
        QVERIFY(why.contains(length));
        return;
    }
    QVERIFY2(seconds, qPrintable(why));
    const IntervalSpan span = intervalAt(at(moment.toLatin1().constData()), *seconds);
    QCOMPARE(utcText(span.start), start);
    QCOMPARE(utcText(span.end), end);
    QCOMPARE(span.end - span.start, qint64(*seconds));
    QCOMPARE(parseIsoSeconds(start), std::optional<qint64>(span.start));
}

void TestServiceUnits::storeCountsAndCloses() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("counts.sqlite"));
    qint64 now = at("2026-12-07T14:14:59.500Z");
    RelayConfig relay;
    relay.name = QStringLiteral("T1");
    relay.port = 1;
    {
        CountStore store;
        QString error;
        QVERIFY2(store.open(path, &error) && store.addRelay(relay, now, &error), qPrintable(error));
        std::vector<StoredInterval> closed;
        store.setClosedHook([&](QSqlDatabase&, const StoredInterval& c) {
            closed.push_back(c);
            return true;
        });
        RelayInbox inbox([&] { return now; }, relay.intervalSeconds);
        inbox.startSegment(setWith(16));
        inbox.count({0, 0, 0, 1});
        std::vector<RelayBatch> batches(1);
        std::vector<qint64> times(1);
        auto commit = [&](const char* when) {
            now = at(when);
            mergeBatch(batches[0], inbox.take(&times[0]));
            return store.commit(batches, times, &error);
        };
        QVERIFY2(commit("2026-12-07T14:14:59.900Z"), qPrintable(error));
        QVERIFY(closed.empty()); // nothing has ended yet
        now = at("2026-12-07T14:15:00.000Z");
        inbox.count({0, 0});
        QVERIFY2(commit("2026-12-07T14:15:00.050Z"), qPrintable(error));
        QCOMPARE(closed.size(), size_t(kServiceChannels));
        QCOMPARE(closed[0].count, 3);
        QCOMPARE(closed[1].amount, -0.25);
        // A new set starts a segment; the records before keep their amount.
        now = at("2026-12-07T14:16:00Z");
        inbox.offline(QStringLiteral("unplugged"));
        now = at("2026-12-07T14:17:00Z");
        inbox.back();
        inbox.startSegment(setWith(32));
        inbox.count({0});
        QVERIFY2(commit("2026-12-07T14:30:00.100Z"), qPrintable(error));
    }
    const IntervalRow first = intervalRow(path, "2026-12-07T14:00:00Z", 1);
    QCOMPARE(first.count, 3);
    QCOMPARE(first.amount, 48.0);
    QCOMPARE(first.total, 48.0);
    const IntervalRow second = intervalRow(path, "2026-12-07T14:15:00Z", 1);
    QCOMPARE(second.count, 3);
    QCOMPARE(second.amount, 2 * 16.0 + 32.0);
    QCOMPARE(second.total, 112.0);
    QCOMPARE(second.offline, 60);
    QCOMPARE(first.offline, 0);
}

void TestServiceUnits::storeKeepsWhatItCannotWrite() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("counts.sqlite"));
    qint64 now = at("2026-12-07T10:00:00.200Z");
    RelayConfig relay;
    relay.name = QStringLiteral("T1");
    relay.port = 1;
    relay.intervalSeconds = 1;
    QString error;
    {
        CountStore store(QStringLiteral("first"));
        QVERIFY2(store.open(path, &error) && store.addRelay(relay, now, &error), qPrintable(error));
        RelayInbox inbox([&] { return now; }, relay.intervalSeconds);
        inbox.startSegment(setWith(1));
        std::vector<RelayBatch> batches(1);
        std::vector<qint64> times(1);
        // Another program holds the write lock: commits fail, counting goes on.
        QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "blocker");
        blocker.setDatabaseName(path);
        QVERIFY(blocker.open());
        QVERIFY(QSqlQuery(blocker).exec(QStringLiteral("BEGIN EXCLUSIVE")));
        for (int i = 0; i < 5; ++i) {
            inbox.count({0, 0});
            now += 700;
            mergeBatch(batches[0], inbox.take(&times[0]));
            QVERIFY(!store.commit(batches, times, &error));
        }
        QVERIFY(QSqlQuery(blocker).exec(QStringLiteral("COMMIT")));
        blocker.close();
        blocker = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
        now += 1000;
        mergeBatch(batches[0], inbox.take(&times[0]));
        QVERIFY2(store.commit(batches, times, &error), qPrintable(error));
        QVERIFY(batches[0].empty());
    }
    // Restarted: the time away is offline, and the totals go on.
    now += 5000;
    CountStore again(QStringLiteral("second"));
    QVERIFY2(again.open(path, &error) && again.addRelay(relay, now, &error), qPrintable(error));
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), "read");
    db.setDatabaseName(path);
    QVERIFY(db.open());
    QSqlQuery q(db);
    QVERIFY(q.exec(QStringLiteral("SELECT SUM(count), MAX(total) FROM intervals WHERE channel=1")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toLongLong(), 10);
    QCOMPARE(q.value(1).toDouble(), 10.0);
    QVERIFY(q.exec(QStringLiteral("SELECT COUNT(*) FROM offline WHERE reason='service not running' "
                                  "AND end_ms - start_ms = 5000")));
    QVERIFY(q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    QVERIFY(q.exec(QStringLiteral("PRAGMA integrity_check")) && q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("ok"));
}

QTEST_GUILESS_MAIN(TestServiceUnits)
#include "test_service_units.moc"

// The stop's commit is the last: the service's destructor, later, closes no
// interval (the MQTT feed has stopped by then and would leave it unsent).
void TestServiceUnits::stopClosesOnce() {
    QTemporaryDir dir;
    ServiceConfig config;
    config.relays.resize(1);
    config.relays[0].name = QStringLiteral("T1");
    config.relays[0].port = 20; // no such port: offline, its intervals close all the same
    config.relays[0].intervalSeconds = 1;
    qint64 now = at("2026-12-07T14:14:59.500Z");
    int closed = 0;
    int closedAtStop = 0;
    {
        Service service(config, [&now] { return now; });
        QString error;
        QVERIFY2(service.open(dir.filePath(QStringLiteral("counts.sqlite")), &error),
                 qPrintable(error));
        service.store().setClosedHook([&closed](QSqlDatabase&, const StoredInterval&) {
            ++closed;
            return true;
        });
        service.start();
        now = at("2026-12-07T14:15:00.200Z");
        service.stop();
        closedAtStop = closed;
        now = at("2026-12-07T14:15:03.200Z");
    }
    QCOMPARE(closedAtStop, kServiceChannels);
    QCOMPARE(closed, closedAtStop);
}
