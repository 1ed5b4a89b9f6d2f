// ktr6d against simulated relays over ptys: every record counted exactly into
// the database and shown by ktr6ctl counts, a relay unplugged and back, a
// relay whose port does not exist, what it publishes through a real mosquitto
// broker, and the exit statuses of a bad start.

#include "../mqtt/MqttRig.h"
#include "ServiceRig.h"

#include <QTest>
#include <csignal>

namespace {

// The interval messages by key, each where it first came (a repeat is the
// rare duplicate a consumer drops); false when a channel's came out of order.
bool intervalsByKey(const QStringList& lines, QMap<QString, QJsonObject>* byKey) {
    QMap<QString, QString> lastStart; // relay/channel -> start
    for (const QString& line : lines) {
        const QJsonObject o = QJsonDocument::fromJson(line.section(' ', 1).toUtf8()).object();
        const QString key = o[QLatin1String("key")].toString();
        const QString channel = key.section(QLatin1Char('/'), 0, 1);
        if (byKey->contains(key))
            continue;
        if (lastStart.value(channel) >= o[QLatin1String("start")].toString())
            return false;
        lastStart[channel] = o[QLatin1String("start")].toString();
        byKey->insert(key, o);
    }
    return true;
}

QString rowKey(const QJsonObject& row) {
    return QStringLiteral("%1/%2/%3")
        .arg(row[QLatin1String("relay")].toString())
        .arg(row[QLatin1String("channel")].toInt())
        .arg(row[QLatin1String("start")].toString());
}

} // namespace

class TestServiceE2e : public QObject {
    Q_OBJECT
private slots:
    void countsExactly_data();
    void countsExactly();
    void pauseAndResume();
    void publishesOverMqtt_data();
    void publishesOverMqtt();
    void badStart_data();
    void badStart();
};

void TestServiceE2e::countsExactly_data() {
    QTest::addColumn<bool>("unplug");
    QTest::newRow("steady") << false;
    QTest::newRow("unplugged and back") << true;
}

void TestServiceE2e::countsExactly() {
    QFETCH(bool, unplug);
    ServiceRig rig;
    ktr6sim::SimDevice& t1 = rig.addSim(1, deviceConfig());
    ktr6sim::SimDevice& t2 = rig.addSim(2, deviceConfig());
    QVERIFY(rig.started);
    // T3's port maps to nothing: it is offline, and the others count.
    QVERIFY(rig.start("[relay T1]\nport = 1\ninterval = 1s\n"
                      "[relay T2]\nport = 2 ; the second\ninterval = 1s\nunit = kWh\n"
                      "[relay T3]\nport = 20\ninterval = 1s\n"));
    QVERIFY2(rig.waitForLog("T1: counting on") && rig.waitForLog("T2: counting on") &&
                 rig.waitForLog("T3: offline"),
             rig.log.constData());
    t1.sendRecords(1, 7);
    t1.sendRecords(2, 5);
    t1.sendRecords(7, 3);
    t2.sendRecords(3, 11);
    t2.sendRecords(5, 3);
    int in1 = 7;
    if (unplug) {
        QVERIFY(rig.waitForCount(QStringLiteral("T1/1"), 7)[QStringLiteral("T1/1")].count == 7);
        t1.setReopenMs(1500);
        t1.hangUp();
        QVERIFY2(rig.waitForLog("T1: offline: the device went away") &&
                     rig.waitForLog("T1: counting on", 2),
                 rig.log.constData());
        t1.sendRecords(1, 4);
        in1 += 4;
    }
    auto sums = rig.waitForCount(QStringLiteral("T1/1"), in1);
    sums = rig.waitForCount(QStringLiteral("T2/5"), 3);
    QCOMPARE(sums[QStringLiteral("T1/1")].count, in1);
    QCOMPARE(sums[QStringLiteral("T1/1")].total, 16.0 * in1);
    QCOMPARE(sums[QStringLiteral("T1/2")].count, 5);
    QCOMPARE(sums[QStringLiteral("T1/2")].total, -1.25);
    QCOMPARE(sums[QStringLiteral("T1/7")].total, 15.0);
    QCOMPARE(sums[QStringLiteral("T2/3")].count, 11);
    QCOMPARE(sums[QStringLiteral("T2/3")].total, 11 * 300.0 / 65535);
    QCOMPARE(sums[QStringLiteral("T2/5")].total, 2.0);
    QCOMPARE(sums[QStringLiteral("T3/1")].count, 0);
    QCOMPARE(t1.counters().recordsSent, in1 + 5 + 3);
    if (unplug) {
        QVERIFY(rig.sql("SELECT COUNT(*) FROM offline WHERE relay='T1' AND end_ms > start_ms AND "
                        "reason LIKE 'the device went away%'")
                    .toInt() == 1);
        QVERIFY(rig.sql("SELECT MAX(offline_seconds) FROM intervals WHERE relay='T1'").toInt() >=
                1);
    }
    // Every whole interval after the first (which began before the service) is offline.
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.sql("SELECT COUNT(*) FROM intervals WHERE relay='T3' AND channel=1").toInt() >= 3,
        5000);
    QCOMPARE(rig.sql("SELECT MIN(offline_seconds) FROM intervals WHERE relay='T3' AND start_s > "
                     "(SELECT MIN(start_s) FROM intervals WHERE relay='T3')")
                 .toInt(),
             1);
    // A relay the database does not know is bad usage.
    CtlResult unknown = runCtl(
        rig.dir.path(), {"counts", "--relay", "T9", "--database", rig.path("counts.sqlite")});
    QCOMPARE(unknown.exitCode, 2);
    rig.service.terminate();
    QTRY_COMPARE_WITH_TIMEOUT(rig.service.state(), QProcess::NotRunning, 5000);
    QCOMPARE(rig.service.exitCode(), 0);
}

void TestServiceE2e::pauseAndResume() {
    ServiceRig rig;
    ktr6sim::SimDevice& t1 = rig.addSim(1, deviceConfig());
    QVERIFY(rig.started && writeDefaultSettings(rig.dir.path(), 1));
    const QByteArray config = "[relay T1]\nport = 1\ninterval = 1s\n";
    QVERIFY(rig.start(config));
    QVERIFY2(rig.waitForLog("T1: counting on"), rig.log.constData());
    t1.sendRecords(1, 3);
    QCOMPARE(rig.waitForCount(QStringLiteral("T1/1"), 3)[QStringLiteral("T1/1")].count, 3);
    QCOMPARE(rig.control({"pause", "T1"}).exitCode, 0);
    // The port is free for ktr6ctl while the service holds the relay paused,
    // also after a restart of the service.
    QCOMPARE(runCtl(rig.dir.path(), {"read", "--json"}).exitCode, 0);
    rig.service.terminate();
    QVERIFY(rig.service.waitForFinished(5000));
    QVERIFY(rig.start(config));
    QVERIFY2(rig.waitForLog("T1: paused"), rig.log.constData());
    const QJsonObject paused = rig.status(QStringLiteral("T1"));
    QCOMPARE(paused[QLatin1String("state")].toString(), QStringLiteral("paused"));
    QCOMPARE(paused[QLatin1String("totals")].toArray().at(0).toDouble(), 48.0);
    {
        // Another program holds the port: the resume fails, and says so.
        CtlProcess monitor(rig.dir.path(), {"monitor"});
        QVERIFY(monitor.watching());
        const CtlResult busy = rig.control({"resume", "T1"});
        QCOMPARE(busy.exitCode, 1);
        QVERIFY2(busy.err.contains("not counting"), busy.err.constData());
    }
    QCOMPARE(rig.control({"resume", "T1"}).exitCode, 0);
    t1.sendRecords(1, 2);
    const auto sums = rig.waitForCount(QStringLiteral("T1/1"), 5);
    QCOMPARE(sums.at(QStringLiteral("T1/1")).count, 5);
    QCOMPARE(sums.at(QStringLiteral("T1/1")).total, 80.0);
    QCOMPARE(rig.status(QStringLiteral("T1"))[QLatin1String("state")].toString(),
             QStringLiteral("counting"));
    QVERIFY(rig.sql("SELECT COUNT(*) FROM offline WHERE reason='paused' AND end_ms IS NOT NULL")
                .toInt() >= 1);
    // A total set by hand (a meter's register) is where counting goes on from.
    const QStringList setTotal{"counts",   "--set-total",         "T1", "1", "1000",
                               "--socket", rig.path("ktr6d.sock")};
    QCOMPARE(runCtl(rig.dir.path(), setTotal).exitCode, 0);
    t1.sendRecords(1, 1);
    QTRY_COMPARE_WITH_TIMEOUT(
        rig.waitForCount(QStringLiteral("T1/1"), 6)[QStringLiteral("T1/1")].total, 1016.0, 5000);
    QCOMPARE(rig.status(QStringLiteral("T1"))[QLatin1String("totals")].toArray().at(0).toDouble(),
             1016.0);
    QCOMPARE(rig.control({"pause", "T9"}).exitCode, 2);
    rig.service.terminate();
    QVERIFY(rig.service.waitForFinished(5000));
    QCOMPARE(rig.control({"status"}).exitCode, 1);
}

void TestServiceE2e::publishesOverMqtt_data() {
    QTest::addColumn<bool>("brokerAway");
    QTest::addColumn<int>("stopSignal");
    QTest::newRow("broker up, killed") << false << int(SIGKILL);
    QTest::newRow("broker away while intervals close, stopped") << true << int(SIGTERM);
}

void TestServiceE2e::publishesOverMqtt() {
    QFETCH(bool, brokerAway);
    QFETCH(int, stopSignal);
    ServiceRig rig;
    Broker broker(rig.dir.path());
    QVERIFY(broker.port > 0 && broker.start());
    ktr6sim::SimDevice& t1 = rig.addSim(1, deviceConfig());
    ktr6sim::SimDevice& t2 = rig.addSim(2, deviceConfig());
    QVERIFY(rig.started);
    const QString port = QString::number(broker.port);
    Lines sub({"-p", port, "-c", "-i", "watcher", "-q", "1", "-t", "site/a/#"});
    QVERIFY(rig.start("[relay T1]\nport = 1\ninterval = 1s\nchannel2.label = Export\n"
                      "[relay T2]\nport = 2\ninterval = 1s\nunit = m³\nchannel3.class = water\n"
                      "[mqtt]\nhost = 127.0.0.1\nprefix = site/a\ndiscovery = true\nport = " +
                      port.toUtf8()));
    QVERIFY2(rig.waitForLog("T1: counting on") && rig.waitForLog("T2: counting on"),
             rig.log.constData());
    t1.sendRecords(1, 7);
    t2.sendRecords(3, 11);
    if (brokerAway) {
        QCOMPARE(rig.waitForCount(QStringLiteral("T1/1"), 7)[QStringLiteral("T1/1")].count, 7);
        QVERIFY(broker.stop());
    }
    t1.sendRecords(2, 5);
    if (brokerAway) {
        QTest::qWait(3000); // intervals close and wait in the outbox
        QVERIFY(rig.sql("SELECT COUNT(*) FROM outbox").toInt() >= 16);
        QVERIFY(broker.start());
    }
    rig.waitForCount(QStringLiteral("T1/2"), 5);
    QTest::qWait(1500); // the intervals holding the records close
    const auto closedRows = [&rig] {
        return QJsonDocument::fromJson(runCtl(rig.dir.path(), {"counts", "--json", "--database",
                                                               rig.path("counts.sqlite")})
                                           .out)
            .array();
    };
    const QJsonArray stored = closedRows();
    QMap<QString, QJsonObject> got;
    QTRY_VERIFY_WITH_TIMEOUT((got.clear(), intervalsByKey(sub.on("site/a/[^/]+/interval"), &got)) &&
                                 std::all_of(stored.begin(), stored.end(),
                                             [&got](const QJsonValue& row) {
                                                 return got.contains(rowKey(row.toObject()));
                                             }),
                             20000);
    // Every interval published is stored with the same figures, and adds up to what was sent.
    QMap<QString, qint64> sent;
    for (const QJsonValue& value : closedRows()) {
        const QJsonObject row = value.toObject();
        if (!got.contains(rowKey(row)))
            continue;
        const QJsonObject message = got.take(rowKey(row));
        QCOMPARE(message["count"].toInteger(), row["count"].toInteger());
        for (const char* figure : {"amount", "total"})
            QVERIFY2(qAbs(message[figure].toDouble() - row[figure].toDouble()) < 1e-6,
                     qPrintable(rowKey(row) + " " + figure));
        sent[rowKey(row).section('/', 0, 1)] += message["count"].toInteger();
    }
    QVERIFY2(got.isEmpty(), qPrintable(QStringList(got.keys()).join(' ')));
    QCOMPARE(sent["T1/1"] + sent["T1/2"], t1.counters().recordsSent);
    QCOMPARE(sent["T2/3"], t2.counters().recordsSent);
    // What a consumer coming now is told: the totals, the relays counting, the
    // entries (IN 2 is minus; T1's IN 1 has no unit, label or class).
    const QString retained =
        retainedMessages(broker.port,
                         {"site/a/+/+/total", "site/a/+/status", "homeassistant/sensor/+/+/config"},
                         16 + 2 + 9)
            .join('\n');
    for (const char* pattern :
         {"^site/a/T1/1/total 112$", "^site/a/T1/2/total -1.25$", "^site/a/T2/3/total 0.050354772$",
          "^site/a/T1/status counting$", "^site/a/T2/status counting$",
          R"(site_a_T1/channel2/config .*"state_class":"total")",
          R"(site_a_T2/channel3/config .*"device_class":"water")",
          R"(site_a_T2/channel8/config .*"device_class":"gas")", R"(\A(?![\s\S]*_T1/channel1/))"})
        QVERIFY2(
            retained.contains(QRegularExpression(pattern, QRegularExpression::MultilineOption)),
            qPrintable(pattern + ("\n" + retained)));
    // Killed, the broker's last will says "offline"; stopped, the service
    // says it itself, after sending what its last commit closed.
    QCOMPARE(sub.on("site/a/status").value(sub.on("site/a/status").size() - 1),
             QStringLiteral("site/a/status online"));
    t1.sendRecords(1, 3);
    rig.waitForCount(QStringLiteral("T1/1"), 10);
    ::kill(pid_t(rig.service.processId()), stopSignal);
    QTRY_COMPARE_WITH_TIMEOUT(sub.on("site/a/status").value(sub.on("site/a/status").size() - 1),
                              QStringLiteral("site/a/status offline"), 5000);
    if (stopSignal != SIGTERM)
        return;
    QTRY_COMPARE_WITH_TIMEOUT(rig.service.state(), QProcess::NotRunning, 5000);
    QCOMPARE(rig.service.exitCode(), 0);
    QCOMPARE(rig.sql("SELECT COUNT(*) FROM outbox").toInt(), 0);
    const QJsonArray all = closedRows();
    QTRY_VERIFY_WITH_TIMEOUT((got.clear(), intervalsByKey(sub.on("site/a/[^/]+/interval"), &got)) &&
                                 got.size() == all.size(),
                             3000);
}

void TestServiceE2e::badStart_data() {
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("database"); // relative to the rig's folder
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("ctlArgs"); // ktr6ctl counts on the same database
    QTest::addColumn<int>("ctlExit");
    QTest::newRow("damaged configuration")
        << QByteArray("[relay T1]\nport = x\n") << "counts.sqlite" << 2
        << QByteArray("ktr6d.conf:2: port wants") << QStringList{} << 0;
    QTest::newRow("MQTT settings the link cannot use")
        << QByteArray("[relay T1]\nport = 1\n[mqtt]\nusername = u\npassword_file = nowhere\n")
        << "counts.sqlite" << 2 << QByteArray("ktr6d.conf: [mqtt]: Cannot read the MQTT password")
        << QStringList{} << 0;
    QTest::newRow("database folder missing")
        << QByteArray("[relay T1]\nport = 1\n") << "missing/counts.sqlite" << 1
        << QByteArray("cannot use the database") << QStringList{"counts", "--database"} << 1;
}

void TestServiceE2e::badStart() {
    QFETCH(QByteArray, config);
    QFETCH(QString, database);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QFETCH(QStringList, ctlArgs);
    QFETCH(int, ctlExit);
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("ktr6d.conf"), config));
    QProcess service;
    service.start(binary("ktr6d"),
                  {"--config", dir.filePath("ktr6d.conf"), "--database", dir.filePath(database)});
    QVERIFY(service.waitForFinished(5000));
    QCOMPARE(service.exitCode(), exitCode);
    QVERIFY2(service.readAllStandardError().contains(message), message.constData());
    if (!ctlArgs.isEmpty())
        QCOMPARE(runCtl(dir.path(), ctlArgs << dir.filePath(database)).exitCode, ctlExit);
}

QTEST_GUILESS_MAIN(TestServiceE2e)
#include "test_service_e2e.moc"
