// The counting service's MQTT messages, the total throttle and the link's
// refusals, without a broker (tests/mqtt/test_mqtt_broker.cpp has one, and the outbox).

#include "MqttLink.h"
#include "MqttMessages.h"
#include "TotalThrottle.h"
#include "support/TestLocale.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

Q_DECLARE_METATYPE(ClosedInterval)
Q_DECLARE_METATYPE(DiscoveryChannel)
Q_DECLARE_METATYPE(MqttSettings)

class TestMqttMessages : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }

    void intervalPayload_data() {
        QTest::addColumn<ClosedInterval>("interval");
        QTest::addColumn<QByteArray>("expected");
        const QDateTime start(QDate(2026, 12, 7), QTime(14, 15), Qt::UTC);
        const ClosedInterval labelled{"T1", 3,       start, start.addSecs(900), 12,
                                      1.5,  1234.25, "kWh", "Incomer \"T1\""};
        QTest::newRow("unit and label")
            << labelled
            << QByteArray("{\"key\":\"T1/3/2026-12-07T14:15:00Z\",\"relay\":\"T1\",\"channel\":3,"
                          "\"start\":\"2026-12-07T14:15:00Z\",\"end\":\"2026-12-07T14:30:00Z\","
                          "\"count\":12,\"amount\":1.5,\"total\":1234.25,\"unit\":\"kWh\","
                          "\"label\":\"Incomer \\\"T1\\\"\"}");
        // A minus input; sums that a double cannot hold exactly print as
        // their decimals; times in another zone come out in UTC.
        const ClosedInterval minus{
            "T/2", 2, start.toOffsetFromUtc(3600), start.addSecs(1), 3, -0.1 * 3, 1e12 + 0.7,
            {},    {}};
        QTest::newRow("minus, no unit")
            << minus
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
        const auto row = [](const char* tag, DiscoveryChannel channel, const char* deviceClass,
                            const char* stateClass, const char* name) {
            QTest::newRow(tag) << channel << QString(deviceClass) << QString(stateClass)
                               << QString(name);
        };
        const char* adds = "total_increasing";
        row("kWh", {"T1", "", 1, "kWh", "Incomer", false, false}, "energy", adds, "Incomer");
        row("Wh minus", {"T1", "", 2, "Wh", "", true, false}, "energy", "total", "IN 2");
        row("MWh", {"T1", "", 7, "MWh", "", false, false}, "energy", adds, "V1");
        row("L", {"T1", "", 3, "L", "", false, false}, "water", adds, "IN 3");
        row("m³ gas", {"T1", "", 4, "m³", "", false, false}, "gas", adds, "IN 4");
        row("m³ water", {"T1", "", 4, "m³", "", false, true}, "water", adds, "IN 4");
        row("other unit", {"T1", "", 8, "pcs", "", false, false}, "", adds, "V2");
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
    }

    // Settings the link cannot use are refused at start, naming what is wrong.
    void linkRefusesSettings_data() {
        QTest::addColumn<MqttSettings>("settings");
        QTest::addColumn<QString>("error");
        MqttSettings port, prefix, password, ca;
        port.port = 70000;
        prefix.prefix = "ktr6/#";
        password.passwordFile = "/etc/hostname"; // no user name
        ca.caFile = "/nonexistent/ca.pem";
        QTest::newRow("port") << port << "The MQTT port 70000 is not one of 1..65535";
        QTest::newRow("prefix")
            << prefix << "The MQTT prefix \"ktr6/#\" makes no valid topic (no \"+\" or \"#\")";
        QTest::newRow("password") << password
                                  << "An MQTT password file needs a user name (username)";
        QTest::newRow("ca") << ca << "Cannot read the MQTT CA file /nonexistent/ca.pem";
    }
    void linkRefusesSettings() {
        QFETCH(MqttSettings, settings);
        MqttLink link(settings);
        QString error;
        QVERIFY(!link.start(&error));
        QTEST(error, "error");
    }

    // Offers and due checks over a clock the test moves.
    void throttle() {
        int64_t now = 0;
        TotalThrottle throttle([&now] { return now; });
        QVERIFY(throttle.offer("a")); // the first value: at once
        now = 300;
        QVERIFY(!throttle.offer("a")); // within its second: held
        QVERIFY(throttle.offer("b"));  // another channel has a second of its own
        QCOMPARE(throttle.msUntilDue(), 700);
        now = 999;
        QVERIFY(throttle.takeDue().isEmpty());
        now = 1000;
        QCOMPARE(throttle.takeDue(),
                 QStringList{"a"}); // the held value, and its next second begins
        QCOMPARE(throttle.msUntilDue(), -1);
        now = 1500;
        QVERIFY(!throttle.offer("a"));
        now = 3700;
        QVERIFY(!throttle.offer("a")); // held until taken, however late
        QCOMPARE(throttle.takeDue(), QStringList{"a"});
        now = 4800;
        QVERIFY(throttle.offer("a")); // quiet for over a second
    }
};

QTEST_GUILESS_MAIN(TestMqttMessages)
#include "test_mqtt_messages.moc"
