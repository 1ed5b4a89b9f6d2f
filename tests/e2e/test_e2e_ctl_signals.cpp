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
                                         // "watching": the monitor has begun,
                                         // "fsync": the record's first flush to the
                                         // disk raises SIGTERM itself ("fsync
                                         // fails": and every such flush fails)
    QTest::addColumn<int>("signo");      // 0: the reader of the output goes away
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<int>("repeats");  // further signals sent at once
    QTest::addColumn<QString>("told"); // on stderr; a commission's record is left

    const QString unverified = QStringLiteral("sent but not verified");
    const QString finished = QStringLiteral("stopped by a signal; the record was finished first.");
    const QStringList commission{"commission", "plan.json", "--record", "RECORD.pdf"};
    QTest::newRow("read, SIGHUP") << QStringList{"read"} << "open" << SIGHUP << 129 << 0 << "";
    QTest::newRow("read, SIGPIPE") << QStringList{"read"} << "open" << SIGPIPE << 141 << 0 << "";
    QTest::newRow("read, SIGINT") << QStringList{"read"} << "open" << SIGINT << 130 << 0 << "";
    QTest::newRow("scan, SIGINT") << QStringList{"scan"} << "open" << SIGINT << 130 << 0 << "";
    QTest::newRow("write, SIGTERM in the block")
        << QStringList{"write", "set.json"} << "block" << SIGTERM << 143 << 0 << unverified;
    // Once the "," has gone the relay has changed: the run finishes its
    // read-back and its record, then ends with the signal's status.
    QTest::newRow("commission, SIGTERM in the block")
        << commission << "block" << SIGTERM << 143 << 0 << finished;
    QTest::newRow("commission, SIGINT three times in the block")
        << commission << "block" << SIGINT << 130 << 2
        << "the record is being finished; the run stops once it is written.";
    QTest::newRow("commission, SIGTERM in the record's fsync")
        << commission << "fsync" << SIGTERM << 143 << 0 << finished;
    QTest::newRow("commission, SIGTERM in the record's fsync, the record then fails")
        << commission << "fsync fails" << SIGTERM << 143 << 0
        << "stopped by a signal; the record could not be finished.";
    QTest::newRow("monitor, SIGHUP")
        << QStringList{"monitor"} << "watching" << SIGHUP << 129 << 0 << "";
    QTest::newRow("monitor | head -1") << QStringList{"monitor"} << "watching" << 0 << 0 << 0 << "";
}

void E2eCtlSignalsTest::stopSignalsCloseThePort() {
    QFETCH(QStringList, args);
    QFETCH(QString, moment);
    QFETCH(int, signo);
    QFETCH(int, exitCode);
    QFETCH(int, repeats);
    QFETCH(QString, told);
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
    const bool fsync = moment.startsWith(QLatin1String("fsync"));
    // A sanitized build takes the preloaded library after its own runtime.
    const QStringList preload{QStringLiteral("LD_PRELOAD=") + KTR6_FSYNC_FAULT,
                              moment == QLatin1String("fsync") ? "KTR6_FSYNC_FAULT=stop"
                                                               : "KTR6_FSYNC_FAULT=stop-fail",
                              "ASAN_OPTIONS=verify_asan_link_order=0"};
    CtlProcess ctl(rig.dir.path(),
                   args.replaceInStrings("set.json", set.fileName())
                       .replaceInStrings("plan.json", rig.dir.filePath("plan.json"))
                       .replaceInStrings("RECORD", record),
                   signo ? nullptr : &head, fsync ? preload : QStringList{});
    if (!signo) {
        head.start(QStringLiteral("head"), {"-1"});
        QVERIFY(head.waitForFinished(5000));
    }
    if (moment == QLatin1String("watching"))
        QVERIFY(ctl.watching());
    else if (moment == QLatin1String("block"))
        QTRY_VERIFY_WITH_TIMEOUT(rig.sim->receivedBytes().contains(','), 5000);
    else if (!fsync)
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(lock), 5000);
    QVERIFY(fsync || QFile::exists(lock));
    // Apart, so that the signals do not merge into one while pending.
    for (int i = 0; signo && !fsync && i <= repeats; ++i) {
        if (i > 0)
            QTest::qWait(100); // the simulated relay goes on answering
        ::kill(pid_t(ctl.process.processId()), signo);
    }
    if (!signo)
        rig.sim->sendRecords(1);
    QVERIFY(ctl.process.waitForFinished(5000));

    QCOMPARE(ctl.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.process.exitCode(), exitCode);
    QVERIFY2(!QFile::exists(lock), qPrintable(lock));
    const QString err = QString::fromUtf8(ctl.process.readAllStandardError());
    if (moment == QLatin1String("block") || fsync)
        QCOMPARE(rig.sim->counters().writeBlocks, 1);
    QVERIFY2(err.contains(told), qPrintable(err));
    // A read or a scan stopped before its end prints no results, as if
    // complete.
    const QByteArray out = ctl.process.readAllStandardOutput();
    if (args.first() == QLatin1String("read") || args.first() == QLatin1String("scan"))
        QVERIFY2(out.isEmpty(), out.constData());
    // A commission stopped once the block went out leaves its whole record
    // (unless the disk fails it); any other stop leaves none.
    const bool recordLeft =
        args.first() == QLatin1String("commission") && moment != QLatin1String("fsync fails");
    QCOMPARE(QFile::exists(record + ".pdf"), recordLeft);
    QCOMPARE(QFile::exists(record + ".json"), recordLeft);
    if (recordLeft)
        QVERIFY2(!err.contains(QLatin1String("sent but not verified")), qPrintable(err));
}

QTEST_GUILESS_MAIN(E2eCtlSignalsTest)
#include "test_e2e_ctl_signals.moc"
