// ktr6ctl read and monitor against the simulated relay: the ktr6-sim program
// for the plain read, the in-process device where the test must see what
// arrived at it or make it misbehave; help and coefficient, which need no
// device; the exit status and message of each way a command fails.

#include "CtlRig.h"

#include <QDir>
#include <QRegularExpression>
#include <QTest>

using ktr6sim::FaultKind;

class E2eCtlReadTest : public QObject {
    Q_OBJECT
private slots:
    void readFromTheSimulatorProgram();
    void exitCodes_data();
    void exitCodes();
    void coefficientNeedsNoPort_data();
    void coefficientNeedsNoPort();
    void helpNeedsNothing_data();
    void helpNeedsNothing();
    void monitorPrintsRecords();
    void monitorStopsOnSigterm();
    void monitorEndsWhenTheDeviceVanishes();
};

void E2eCtlReadTest::readFromTheSimulatorProgram() {
    QTemporaryDir dir;
    QVERIFY(writeDefaultSettings(dir.path()));
    QProcess sim;
    sim.start(binary("ktr6-sim"), {"--dir", dir.path(), "--variant", "3", "--param",
                                   "16/1,-1/4,300/65535,1/1,2/3,1/1", "--output", "5"});
    QVERIFY2(sim.waitForStarted(5000), qPrintable(sim.errorString()));
    QByteArray banner;
    QElapsedTimer timer;
    timer.start();
    while (!banner.contains("listening on") && timer.elapsed() < 5000) {
        sim.waitForReadyRead(100);
        banner += sim.readAllStandardOutput() + sim.readAllStandardError();
    }
    QVERIFY2(banner.contains("listening on"), banner.constData());

    const CtlResult json = runCtl(dir.path(), {"read", "--json"});
    const CtlResult table = runCtl(dir.path(), {"read"});
    sim.terminate();
    sim.waitForFinished(3000);

    QCOMPARE(json.exitCode, 0);
    QByteArray expected = kDeviceJson;
    expected.replace("\"firmware\":\"6\"", "\"firmware\":\"2x3\"");
    QCOMPARE(json.out, expected);
    qInfo("ktr6ctl read --json: %lld ms from start to exit", json.elapsedMs);

    QCOMPARE(table.exitCode, 0);
    const QString text = QString::fromUtf8(table.out);
    QVERIFY2(text.contains(QLatin1String("SW 2x3")), qPrintable(text));
    QVERIFY2(QRegularExpression(R"(IN 2 +1 +4 +- +-0\.25)").match(text).hasMatch(),
             qPrintable(text));
    QVERIFY2(QRegularExpression(R"(Output +5)").match(text).hasMatch(), qPrintable(text));
}

void E2eCtlReadTest::exitCodes_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("fault"); // FaultKind
    QTest::addColumn<bool>("settingsFile");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<bool>("nothingSent");
    // What the program directory and the output are: "" as the rig made them,
    // "stdout FILE", "com4 TARGET" (a link; TARGET "DIR" for a directory), or
    // "dir NAME" (a program directory of that name, com1 linked to the relay).
    QTest::addColumn<QString>("setup");

    const int none = int(FaultKind::None);
    QByteArray outOfRange = kDeviceJson;
    outOfRange.replace(R"("divisor":65535)", R"("divisor":70000)");

    QTest::newRow("bad JSON") << QStringList{"write", "-"} << QByteArray("{\"inputs\":") << none
                              << true << 2 << "not valid JSON" << true << "";
    QTest::newRow("divisor out of range")
        << QStringList{"write", "-"} << outOfRange << none << true << 2
        << "inputs[2] (IN 3) divisor is 70000, outside 0..65535; nothing was sent." << true << "";
    QTest::newRow("input over 1 MiB")
        << QStringList{"write", "-"} << kDeviceJson + QByteArray(1024 * 1024, ' ') << none << true
        << 2 << "standard input holds more than 1 MiB (1048576 bytes)" << true << "";
    QTest::newRow("missing parameter file")
        << QStringList{"write", "/nonexistent/set.json"} << QByteArray() << none << true << 2
        << "cannot read" << true << "";
    QTest::newRow("unknown command") << QStringList{"erase"} << QByteArray() << none << true << 2
                                     << "unknown command" << true << "";
    QTest::newRow("bad port number") << QStringList{"--port", "x", "read"} << QByteArray() << none
                                     << true << 2 << "--port wants" << true << "";
    QTest::newRow("device silent")
        << QStringList{"read"} << QByteArray() << int(FaultKind::Silence) << true << 1
        << "no complete reply from the device on COM1" << false << "";
    QTest::newRow("device silent, %1 in the path")
        << QStringList{"read"} << QByteArray() << int(FaultKind::Silence) << true << 1
        << "%1dir/com1) after 3 attempts; check" << false << "dir %1dir";
    QTest::newRow("device absent")
        << QStringList{"--port", "20", "read"} << QByteArray() << none << true << 1
        << "ERROR:          COM - Port ERROR \nCheck the Cable or Connection with Device.\n"
           "ktr6ctl: COM20 (no device): "
        << true << "";
    QTest::newRow("com4 a directory") << QStringList{"--port", "4", "read"} << QByteArray() << none
                                      << true << 1 << "/com4): " << true << "com4 DIR";
    QTest::newRow("com4 dangling") << QStringList{"--port", "4", "read"} << QByteArray() << none
                                   << true << 1 << "/com4): " << true << "com4 /nonexistent/tty";
    QTest::newRow("com4 /dev/null") << QStringList{"--port", "4", "read"} << QByteArray() << none
                                    << true << 1 << "/com4): " << true << "com4 /dev/null";
    QTest::newRow("verification differs")
        << QStringList{"write", "-"} << kDeviceJson << int(FaultKind::StoreDifferent) << true << 1
        << "Device.\nktr6ctl: the device on COM1 (" << false << "";
    QTest::newRow("read --json to a full disk")
        << QStringList{"read", "--json"} << QByteArray() << none << true << 1
        << "ktr6ctl: cannot write the output: No space left on device" << false
        << "stdout /dev/full";
    QTest::newRow("monitor to a full disk")
        << QStringList{"monitor"} << QByteArray() << none << true << 1
        << "ktr6ctl: cannot write the output: No space left on device" << false
        << "stdout /dev/full";
    QByteArray otherFirmware = kDeviceJson;
    otherFirmware.replace(R"("firmware":"6")", R"("firmware":"2x3")");
    QTest::newRow("write, a plan for the other firmware")
        << QStringList{"write", "-"} << otherFirmware << none << true << 1
        << "ktr6ctl: the plan is for firmware SW 2x3, the device has SW 6 on COM1 (" << false << "";
    QByteArray offAmount = kDeviceJson;
    offAmount.replace(R"("numerator":16,"divisor":1,"minus":false)",
                      R"("numerator":16,"divisor":1,"minus":false,"amount":"85.9375")");
    QTest::newRow("write, 16/1 for 85.9375")
        << QStringList{"write", "-"} << offAmount << none << true << 2
        << "ktr6ctl: standard input: inputs[0] (IN 1): the fraction 16/1 for the stated amount "
           "\"85.9375\" is off by a relative error of 0.8138181818181818, over the tolerance "
           "1e-4; the closest fraction with numerators 1..255 and divisors 1..65535 is 86/1 (a "
           "relative error of 0.0007272727272727272), with numerators up to 65535 it is 1375/16 "
           "(a relative error of 0); nothing was sent.\n"
        << true << "";
    QTest::newRow("diff, 86/1 for 85.9375 over a tolerance of 1e-5")
        << QStringList{"diff", "-", "--tolerance", "1e-5"}
        << QByteArray(offAmount).replace(R"("numerator":16,)", R"("numerator":86,)") << none << true
        << 2 << "is off by a relative error of 0.0007272727272727272, over the tolerance 1e-5"
        << true << "";
    // IN 1 as coefficient --meter-constant 1000 --ct 100/5 --vt 800/1 --json prints it.
    const QByteArray factsInput =
        R"({"numerator":16,"divisor":1,"minus":false,"amount":"16","unit":"kWh",)"
        R"("meter_constant":"1000","ct":"100/5","vt":"800/1"})";
    QByteArray withFacts = kDeviceJson;
    withFacts.replace(R"({"numerator":16,"divisor":1,"minus":false})", factsInput);
    QTest::newRow("write, an input from the meter's facts")
        << QStringList{"write", "-"} << withFacts << none << true << 0 << "" << false << "";
    QTest::newRow("write, a stated amount off the meter's facts")
        << QStringList{"write", "-"}
        << QByteArray(withFacts).replace(R"("amount":"16")", R"("amount":"1.6")") << none << true
        << 2
        << "ktr6ctl: standard input: inputs[0] (IN 1): the stated amount \"1.6\" is off the "
           "amount its meter facts give, 16, by a relative error of 0.9, over the tolerance "
           "1e-4; nothing was sent.\n"
        << true << "";
    QTest::newRow("diff, bad file")
        << QStringList{"diff", "-"} << outOfRange << none << true << 2
        << "inputs[2] (IN 3) divisor is 70000, outside 0..65535; nothing was sent." << true << "";
    QTest::newRow("diff, device silent")
        << QStringList{"diff", "-"} << kDeviceJson << int(FaultKind::Silence) << true << 1
        << "no complete reply from the device on COM1" << false << "";
    QTest::newRow("no settings file")
        << QStringList{"read"} << QByteArray() << none << false << 1 << "not found" << true << "";
    QTest::newRow("scan with --port") << QStringList{"scan", "--port", "1"} << QByteArray() << none
                                      << true << 2 << "takes no --port" << true << "";
}

void E2eCtlReadTest::exitCodes() {
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(int, fault);
    QFETCH(bool, settingsFile);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);
    QFETCH(bool, nothingSent);
    QFETCH(QString, setup);

    ktr6sim::SimConfig config = deviceConfig();
    config.fault = {FaultKind(fault), 0};
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    if (!settingsFile)
        QVERIFY(QFile::remove(rig.dir.filePath(QStringLiteral("KTR.INI"))));
    QString programDir = rig.dir.path();
    QString stdoutFile;
    const QString what = setup.section(' ', 0, 0);
    const QString value = setup.section(' ', 1);
    if (what == QLatin1String("stdout")) {
        stdoutFile = value;
    } else if (what == QLatin1String("com4")) {
        const QString target = value == QLatin1String("DIR") ? rig.dir.filePath("adir") : value;
        QVERIFY(value != QLatin1String("DIR") || QDir(rig.dir.path()).mkdir("adir"));
        QVERIFY(QFile::link(target, rig.dir.filePath("com4")));
    } else if (what == QLatin1String("dir")) {
        programDir = rig.dir.filePath(value);
        QVERIFY(QDir(rig.dir.path()).mkdir(value));
        QVERIFY(QFile::copy(rig.dir.filePath("KTR.INI"), programDir + "/KTR.INI"));
        QVERIFY(QFile::link(rig.sim->slavePath(), programDir + "/com1"));
    }

    const CtlResult result = runCtl(programDir, args, input, 0, stdoutFile);

    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QVERIFY2(QString::fromUtf8(result.err).contains(stderrText), result.err.constData());
    if (nothingSent)
        QVERIFY2(rig.sim->receivedBytes().isEmpty(),
                 rig.sim->receivedBytes().toHex(' ').constData());
    else
        QVERIFY(!rig.sim->receivedBytes().isEmpty());
    QVERIFY2(result.out.isEmpty(), result.out.constData());
}

void E2eCtlReadTest::coefficientNeedsNoPort_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err"); // a part of stderr, empty: nothing on stderr

    QTest::newRow("0.15") << QStringList{"coefficient", "0.15"} << 0
                          << "Amount          0.15\nNumerator       3\nDivisor         20\n"
                             "Value           0.15\nRelative error  0\n"
                          << "";
    QTest::newRow("40/400 --json")
        << QStringList{"coefficient", "40/400", "--json"} << 0
        << "{\"numerator\":1,\"divisor\":10,\"value\":0.1,\"relative_error\":0}\n"
        << "";
    QTest::newRow("0.3333 --json, within a tolerance of 1e-3")
        << QStringList{"coefficient", "--json", "0.3333", "--tolerance=1e-3"} << 0
        << "{\"numerator\":1,\"divisor\":3,\"value\":0.3333333333333333,"
           "\"relative_error\":0.00010001000100010001}\n"
        << "";
    QTest::newRow("0.3333, over 1e-4, met beyond numerator 255")
        << QStringList{"coefficient", "--json", "0.3333"} << 0
        << "{\"numerator\":1,\"divisor\":3,\"value\":0.3333333333333333,"
           "\"relative_error\":0.00010001000100010001}\n"
        << "the closest fraction, 1/3, is off by a relative error of 0.00010001000100010001. "
           "With --max-numerator 65535 (the device takes numerators up to 65535), 3333/10000 "
           "meets the tolerance 1e-4: a relative error of 0.\n";
    QTest::newRow("6600 Wh per impulse")
        << QStringList{"coefficient", "6600"} << 0
        << "Amount          6600\nNumerator       255\nDivisor         1\n"
           "Value           255\nRelative error  0.9613636363636363\n"
        << "With --max-numerator 65535 (the device takes numerators up to 65535), 6600/1 meets "
           "the tolerance 1e-4: a relative error of 0.\n";
    QTest::newRow("6600 with --max-numerator 65535: no warning")
        << QStringList{"coefficient", "6600", "--max-numerator", "65535", "--json"} << 0
        << "{\"numerator\":6600,\"divisor\":1,\"value\":6600,\"relative_error\":0}\n"
        << "";
    QTest::newRow("out of reach, still printed")
        << QStringList{"coefficient", "1e-9", "--json"} << 0
        << "{\"numerator\":1,\"divisor\":65535,\"value\":1.5259021896696422e-05,"
           "\"relative_error\":15258.021896696422}\n"
        << "ktr6ctl: warning: 1e-9 is out of the device's reach with numerators 1..255 and "
           "divisors 1..65535: the closest fraction, 1/65535, is off by a relative error of "
           "15258.021896696422.\n";
    QTest::newRow("meter facts: a plan's input")
        << QStringList{"coefficient", "--meter-constant", "1000", "--ct",  "100/5", "--vt",
                       "800/1",       "--unit",           "kWh",  "--json"}
        << 0
        << "{\"numerator\":16,\"divisor\":1,\"minus\":false,\"amount\":\"16\",\"unit\":\"kWh\","
           "\"meter_constant\":\"1000\",\"ct\":\"100/5\",\"vt\":\"800/1\"}\n"
        << "";
    QTest::newRow("meter facts, Wh")
        << QStringList{"coefficient", "--meter-constant=10000", "--ct=1500/5", "--vt=22000/100",
                       "--unit=Wh"}
        << 0
        << "Meter constant  10000 per kWh\nCT              1500/5\nVT              22000/100\n"
           "Amount          6600 Wh\nNumerator       255\nDivisor         1\n"
           "Value           255\nRelative error  0.9613636363636363\n"
        << "With --max-numerator 65535 (the device takes numerators up to 65535), 6600/1 meets";
    QTest::newRow("meter facts, litres, no ratio")
        << QStringList{"coefficient", "--meter-constant", "4", "--unit", "L"} << 0
        << "Meter constant  4 per L\nAmount          0.25 L\nNumerator       1\n"
           "Divisor         4\nValue           0.25\nRelative error  0\n"
        << "";
    QTest::newRow("meter facts, a CT with cubic metres refused")
        << QStringList{"coefficient", "--meter-constant",          "100", "--ct", "100/5",
                       "--unit",      QString::fromUtf8("m\u00b3")}
        << 2 << ""
        << QString::fromUtf8("ktr6ctl: a transformer ratio goes with an amount of energy (Wh, kWh "
                             "or MWh), not one in \"m\u00b3\"");
    QTest::newRow("a CT without a meter constant refused")
        << QStringList{"coefficient", "0.1", "--ct", "100/5"} << 2 << ""
        << "ktr6ctl: --ct, --vt and --unit go with --meter-constant";
    QTest::newRow("decimal comma refused") << QStringList{"coefficient", "0,1"} << 2 << ""
                                           << "ktr6ctl: \"0,1\" has a decimal comma; write \"0.1\"";
    QTest::newRow("negative refused") << QStringList{"coefficient", "-2.5"} << 2 << ""
                                      << "ktr6ctl: \"-2.5\" is negative";
    QTest::newRow("-.5 refused as negative, not as an option")
        << QStringList{"coefficient", "-.5"} << 2 << ""
        << "ktr6ctl: \"-.5\" is negative";
    QTest::newRow("bound refused")
        << QStringList{"coefficient", "1", "--max-numerator", "65536"} << 2 << ""
        << "--max-numerator wants";
}

void E2eCtlReadTest::coefficientNeedsNoPort() {
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    // A relay on com1, but no settings file: the command touches neither.
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    QVERIFY(QFile::remove(rig.dir.filePath(QStringLiteral("KTR.INI"))));

    // In a decimal-comma locale.
    CtlProcess ctl(rig.dir.path(), args);
    QVERIFY(ctl.process.waitForFinished(5000));

    const QByteArray stderrText = ctl.process.readAllStandardError();
    QVERIFY2(ctl.process.exitCode() == exitCode, stderrText.constData());
    QCOMPARE(QString::fromUtf8(ctl.process.readAllStandardOutput()), out);
    if (err.isEmpty())
        QVERIFY2(stderrText.isEmpty(), stderrText.constData());
    else
        QVERIFY2(QString::fromUtf8(stderrText).contains(err), stderrText.constData());
    QVERIFY(rig.sim->receivedBytes().isEmpty());
}

void E2eCtlReadTest::helpNeedsNothing_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("usage"); // the first line of stdout

    QTest::newRow("--help") << QStringList{"--help"} << "Usage: ktr6ctl [--port N] COMMAND";
    QTest::newRow("diff --help") << QStringList{"diff", "--help"}
                                 << "Usage: ktr6ctl [--port N] diff FILE [--tolerance R]";
    QTest::newRow("--help scan") << QStringList{"--help", "scan"}
                                 << "Usage: ktr6ctl scan [--json] [--save]";
    QTest::newRow("commission PLAN -h")
        << QStringList{"commission", "plan.json", "-h"}
        << "Usage: ktr6ctl [--port N] commission PLAN [--record FILE.pdf] [--site TEXT]";
}

// Help, whole or of one command, comes from a folder holding nothing: no
// settings file, no port, no plan; exit 0 and nothing on stderr.
void E2eCtlReadTest::helpNeedsNothing() {
    QFETCH(QStringList, args);
    QFETCH(QString, usage);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());

    const CtlResult result = runCtlIn(dir.path(), dir.path(), args);

    QVERIFY2(result.exitCode == 0, result.err.constData());
    QVERIFY2(result.err.isEmpty(), result.err.constData());
    QCOMPARE(QString::fromUtf8(result.out).section(QLatin1Char('\n'), 0, 0), usage);
    QVERIFY(result.out.endsWith("\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}

void E2eCtlReadTest::monitorPrintsRecords() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    CtlProcess monitor(rig.dir.path(), {"monitor", "--count", "3"});
    QVERIFY(monitor.watching());

    rig.sim->sendRecords(2);
    rig.sim->sendRecords(7);
    rig.sim->sendRecords(2);
    QVERIFY(monitor.process.waitForFinished(5000));

    QCOMPARE(monitor.process.exitCode(), 0);
    QStringList lines =
        QString::fromUtf8(monitor.process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.value(0), QStringLiteral("time,channel,total"));
    lines.removeFirst();
    QCOMPARE(lines.size(), 3);
    const QRegularExpression time(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3},)");
    QStringList rest;
    for (const QString& line : lines) {
        QVERIFY2(time.match(line).hasMatch(), qPrintable(line));
        rest << line.section(',', 1);
    }
    QCOMPARE(rest, (QStringList{"IN 2,-0.25", "V1,5", "IN 2,-0.5"}));
}

void E2eCtlReadTest::monitorStopsOnSigterm() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    CtlProcess monitor(rig.dir.path(), {"monitor"});
    QVERIFY(monitor.watching());
    rig.sim->sendRecords(1);
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!(out.contains(",IN 1,") && out.endsWith('\n')) && timer.elapsed() < 3000) {
        monitor.process.waitForReadyRead(50);
        out += monitor.process.readAllStandardOutput();
    }
    QVERIFY2(out.endsWith(",IN 1,16\n"), out.constData());

    monitor.process.terminate();
    QVERIFY(monitor.process.waitForFinished(3000));

    QCOMPARE(monitor.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitor.process.exitCode(), 0);
    QVERIFY(monitor.process.readAllStandardOutput().isEmpty());
}

void E2eCtlReadTest::monitorEndsWhenTheDeviceVanishes() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    CtlProcess monitor(rig.dir.path(), {"monitor"});
    QVERIFY(monitor.watching());

    rig.sim->hangUp();
    QVERIFY(monitor.process.waitForFinished(5000));

    QCOMPARE(monitor.process.exitCode(), 1);
    QVERIFY(monitor.process.readAllStandardError().contains("COM - Port ERROR"));
}

QTEST_GUILESS_MAIN(E2eCtlReadTest)
#include "test_e2e_ctl_read.moc"
