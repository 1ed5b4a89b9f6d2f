// ktr6d against simulated relays over ptys: every record counted exactly into
// the database and shown by ktr6ctl counts, a relay unplugged and back, a
// relay whose port does not exist, and the exit statuses of a bad start.

#include "ServiceRig.h"

#include <QTest>

class TestServiceE2e : public QObject {
    Q_OBJECT
private slots:
    void countsExactly_data();
    void countsExactly();
    void pauseAndResume();
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
    ktr6sim::SimDevice& t1 = rig.addSim(1, serviceSimConfig());
    ktr6sim::SimDevice& t2 = rig.addSim(2, serviceSimConfig());
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
    QVERIFY(rig.service.waitForFinished(5000));
    QCOMPARE(rig.service.exitCode(), 0);
}

void TestServiceE2e::pauseAndResume() {
    ServiceRig rig;
    ktr6sim::SimDevice& t1 = rig.addSim(1, serviceSimConfig());
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
