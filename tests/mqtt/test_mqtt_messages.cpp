// The counting service's MQTT messages, the total throttle and the outbox
// table, without a broker (tests/mqtt/test_mqtt_broker.cpp has one).

#include "MqttMessages.h"
#include "Outbox.h"
#include "TotalThrottle.h"
#include "support/TestLocale.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(ClosedInterval)
Q_DECLARE_METATYPE(DiscoveryChannel)

class TestMqttMessages : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }

    void intervalPayload_data() {
        QTest::addColumn<ClosedInterval>("interval");
        QTest::addColumn<QByteArray>("expected");
        const QDateTime start(QDate(2026, 12, 7), QTime(14, 15), Qt::UTC);
        QTest::newRow("unit and label")
            << ClosedInterval{"T1", 3,       start, start.addSecs(900), 12,
                              1.5,  1234.25, "kWh", "Incomer \"T1\""}
            << QByteArray("{\"key\":\"T1/3/2026-12-07T14:15:00Z\",\"relay\":\"T1\",\"channel\":3,"
                          "\"start\":\"2026-12-07T14:15:00Z\",\"end\":\"2026-12-07T14:30:00Z\","
                          "\"count\":12,\"amount\":1.5,\"total\":1234.25,\"unit\":\"kWh\","
                          "\"label\":\"Incomer \\\"T1\\\"\"}");
        // A minus input; sums that a double cannot hold exactly print as
        // their decimals; times in another zone come out in UTC.
        QTest::newRow("minus, no unit")
            << ClosedInterval{"T/2",
                              2,
                              start.toOffsetFromUtc(3600),
                              start.addSecs(1),
                              3,
                              -0.1 * 3,
                              1e12 + 0.7,
                              "",
                              ""}
            << QByteArray("{\"key\":\"T/2/2/2026-12-07T14:15:00Z\",\"relay\":\"T/2\",\"channel\":2,"
                          "\"start\":\"2026-12-07T14:15:00Z\",\"end\":\"2026-12-07T14:15:01Z\","
                          "\"count\":3,\"amount\":-0.3,\"total\":1000000000000.7}");
    }
    void intervalPayload() {
        QFETCH(ClosedInterval, interval);
        QFETCH(QByteArray, expected);
        QCOMPARE(::intervalPayload(interval), expected);
        QVERIFY(!QJsonDocument::fromJson(expected).isNull());
    }

    void discovery_data() {
        QTest::addColumn<DiscoveryChannel>("channel");
        QTest::addColumn<QString>("deviceClass");
        QTest::addColumn<QString>("stateClass");
        QTest::addColumn<QString>("name");
        QTest::newRow("kWh") << DiscoveryChannel{"T1", "", 1, "kWh", "Incomer", false, false}
                             << "energy"
                             << "total_increasing"
                             << "Incomer";
        QTest::newRow("Wh minus") << DiscoveryChannel{"T1", "", 2, "Wh", "", true, false}
                                  << "energy"
                                  << "total"
                                  << "IN 2";
        QTest::newRow("MWh") << DiscoveryChannel{"T1", "", 7, "MWh", "", false, false} << "energy"
                             << "total_increasing"
                             << "V1";
        QTest::newRow("L") << DiscoveryChannel{"T1", "", 3, "L", "", false, false} << "water"
                           << "total_increasing"
                           << "IN 3";
        QTest::newRow("m³ gas") << DiscoveryChannel{"T1", "", 4, "m³", "", false, false} << "gas"
                                << "total_increasing"
                                << "IN 4";
        QTest::newRow("m³ water") << DiscoveryChannel{"T1", "", 4, "m³", "", false, true} << "water"
                                  << "total_increasing"
                                  << "IN 4";
        QTest::newRow("other unit") << DiscoveryChannel{"T1", "", 8, "pcs", "", false, false} << ""
                                    << "total_increasing"
                                    << "V2";
    }
    void discovery() {
        QFETCH(DiscoveryChannel, channel);
        QFETCH(QString, deviceClass);
        const DiscoveryEntry entry = discoveryEntry("ktr6/zilina", channel);
        QCOMPARE(entry.topic, QStringLiteral("homeassistant/sensor/ktr6_zilina_T1/channel%1/config")
                                  .arg(channel.channel));
        const QJsonObject config = QJsonDocument::fromJson(entry.payload).object();
        QCOMPARE(config.value("device_class").toString(), deviceClass);
        QCOMPARE(config.contains("device_class"), !deviceClass.isEmpty());
        QTEST(config.value("state_class").toString(), "stateClass");
        QTEST(config.value("name").toString(), "name");
        QCOMPARE(config.value("unit_of_measurement").toString(), channel.unit);
        QCOMPARE(config.value("state_topic").toString(),
                 QStringLiteral("ktr6/zilina/T1/%1/total").arg(channel.channel));
        QCOMPARE(config.value("unique_id").toString(),
                 QStringLiteral("ktr6_zilina_T1_channel%1").arg(channel.channel));
        QCOMPARE(config.value("device").toObject().value("name").toString(), QStringLiteral("T1"));
    }

    // One key's offers and the due checks over a clock the test moves.
    void throttle() {
        int64_t now = 0;
        TotalThrottle throttle([&now] { return now; });
        QVERIFY(throttle.offer("a")); // first value: at once
        QCOMPARE(throttle.msUntilDue(), -1);
        now = 300;
        QVERIFY(!throttle.offer("a")); // within the second: held
        QVERIFY(throttle.offer("b"));  // another channel has its own second
        QCOMPARE(throttle.msUntilDue(), 700);
        now = 999;
        QVERIFY(throttle.takeDue().isEmpty());
        now = 1000;
        QCOMPARE(throttle.takeDue(), QStringList{"a"}); // the held value goes out
        QCOMPARE(throttle.msUntilDue(), -1);
        now = 1500;
        QVERIFY(!throttle.offer("a")); // its second began at 1000
        now = 2600;
        QVERIFY(!throttle.offer("a")); // still held until taken
        QCOMPARE(throttle.msUntilDue(), 0);
        QCOMPARE(throttle.takeDue(), QStringList{"a"});
        now = 3700;
        QVERIFY(throttle.offer("a")); // quiet for over a second
    }

    void outbox() {
        QTemporaryDir dir;
        QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "outbox");
        db.setDatabaseName(dir.filePath("counts.sqlite"));
        QVERIFY(db.open());
        QString error;
        QVERIFY2(Outbox::createTable(db, &error) && Outbox::createTable(db, &error),
                 qPrintable(error));
        for (const char* start : {"S1", "S2", "S1", "S3"}) // the repeated interval is kept once
            QVERIFY2(Outbox::enqueue(db, "T1", 1, start, "t", start, &error), qPrintable(error));
        std::vector<Outbox::Row> rows;
        QVERIFY(Outbox::next(db, 0, 10, &rows, &error));
        QCOMPARE(rows.size(), size_t(3));
        QCOMPARE(rows[2].payload, QByteArray("S3"));
        QVERIFY(Outbox::remove(db, {rows[0].id, rows[2].id}, &error));
        QVERIFY(Outbox::next(db, 0, 10, &rows, &error));
        QCOMPARE(rows.size(), size_t(1));
        QCOMPARE(rows[0].payload, QByteArray("S2"));
        db.close();
    }
};

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "test_mqtt_messages.moc"
