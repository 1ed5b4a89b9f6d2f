// ktr6ctl stopped by a signal or by the reader of its output going away:
// each command closes the port and exits with the status of the signal.

#include "CtlRig.h"

#include <QTest>
#include <csignal>

class E2eCtlSignalsTest : public QObject {
    Q_OBJECT
private slots:
    void stopSignalsCloseThePort_data();
    void stopSignalsCloseThePort();
};

void E2eCtlSignalsTest::stopSignalsCloseThePort_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("moment"); // "open": the port's lock file is there,
                                         // "block": the write command has arrived,
                                         // "watching": the monitor has begun
    QTest::addColumn<int>("signo");      // 0: the reader of the output goes away
    QTest::addColumn<int>("exitCode");

    QTest::newRow("read, SIGHUP") << QStringList{"read"} << "open" << SIGHUP << 129;
    QTest::newRow("read, SIGPIPE") << QStringList{"read"} << "open" << SIGPIPE << 141;
    QTest::newRow("read, SIGINT") << QStringList{"read"} << "open" << SIGINT << 130;
    QTest::newRow("scan, SIGINT") << QStringList{"scan"} << "open" << SIGINT << 130;
    QTest::newRow("write, SIGTERM in the block")
        << QStringList{"write", "set.json"} << "block" << SIGTERM << 143;
    QTest::newRow("commission, SIGTERM in the block")
        << QStringList{"commission", "plan.json", "--record", "RECORD.pdf"} << "block" << SIGTERM
        << 143;
    QTest::newRow("monitor, SIGHUP") << QStringList{"monitor"} << "watching" << SIGHUP << 129;
    QTest::newRow("monitor | head -1") << QStringList{"monitor"} << "watching" << 0 << 0;
}

void E2eCtlSignalsTest::stopSignalsCloseThePort() {
    QFETCH(QStringList, args);
    QFETCH(QString, moment);
    QFETCH(int, signo);
    QFETCH(int, exitCode);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    QFile set(rig.dir.filePath("set.json"));
    QVERIFY(set.open(QIODevice::WriteOnly) && set.write(kDeviceJson) > 0);
    set.close();
    // The scan probes the relay's port only.
    for (int n = 2; n <= 15 && args.first() == QLatin1String("scan"); ++n)
        QVERIFY(QFile::link("/nonexistent", rig.dir.filePath(QStringLiteral("com%1").arg(n))));
    // QSerialPort's lock file, named after the path it opened.
    const QString lock = lockFileFor(rig.dir.filePath("com1"));

    // Without a signal the output goes to head -1, which leaves after a line.
    QProcess head;
    const QString record = rig.dir.filePath("record");
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    CtlProcess ctl(rig.dir.path(),
                   args.replaceInStrings("set.json", set.fileName())
                       .replaceInStrings("plan.json", rig.dir.filePath("plan.json"))
                       .replaceInStrings("RECORD", record),
                   signo ? nullptr : &head);
    if (!signo) {
        head.start(QStringLiteral("head"), {"-1"});
        QVERIFY(head.waitForFinished(5000));
    }
    if (moment == QLatin1String("watching"))
        QVERIFY(ctl.watching());
    else if (moment == QLatin1String("block"))
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim->receivedBytes().contains(','), 5000);
    else
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 5000);
    QVERIFY(QFile::exists(lock));
    if (signo)
        ::kill(pid_t(ctl.process.processId()), signo);
    else
        rig.sim->sendRecords(1);
    QVERIFY(ctl.process.waitForFinished(5000));

    QCOMPARE(ctl.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.process.exitCode(), exitCode);
    QVERIFY2(!QFile::exists(lock), qPrintable(lock));
    if (moment == QLatin1String("block")) {
        QCOMPARE(rig.sim->counters().writeBlocks, 1);
        QVERIFY(ctl.process.readAllStandardError().contains("sent but not verified"));
    }
    // A stopped commission leaves no record, whole or in part.
    QVERIFY(!QFile::exists(record + ".pdf") && !QFile::exists(record + ".json"));
}

QTEST_GUILESS_MAIN(E2eCtlSignalsTest)
#include "test_e2e_ctl_signals.moc"
