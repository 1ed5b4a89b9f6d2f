// ktr6ctl as a process against the simulated relay: the ktr6-sim program for
// the plain read, the in-process device where the test must see what
// arrived at the device or make it misbehave.

#include "E2eRig.h"
#include "support/PortHolder.h"

#include <QCryptographicHash>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTest>
#include <csignal>
#include <map>

using ktr6sim::FaultKind;

namespace {

const QByteArray kDeviceJson =
    R"({"firmware":"6","inputs":[{"numerator":16,"divisor":1,"minus":false},)"
    R"({"numerator":1,"divisor":4,"minus":true},{"numerator":300,"divisor":65535,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false}],"output":5})"
    "\n";

ktr6sim::SimConfig deviceConfig() {
    ktr6sim::SimConfig config;
    config.params.numerators = {16, 1, 300, 1, 2, 1};
    config.params.divisors = {1, 4, 65535, 1, 3, 1};
    config.params.signMask = 0x3D;
    config.params.output = 5;
    return config;
}

// Waits until the process has written `text` to stderr; returns all of it.
QByteArray waitForStderr(QProcess& process, const QByteArray& text, int timeoutMs) {
    QByteArray err;
    QElapsedTimer timer;
    timer.start();
    while (!err.contains(text) && timer.elapsed() < timeoutMs) {
        process.waitForReadyRead(50);
        err += process.readAllStandardError();
    }
    return err;
}

// A plan for commission: the device's set with IN 1 at 40 and output 7, and
// intended amounts on two inputs.
const QByteArray kPlanJson =
    R"({"firmware":"6","inputs":[{"numerator":40,"divisor":1,"minus":false,"amount":"40"},)"
    R"({"numerator":1,"divisor":4,"minus":true,"amount":0.25},)"
    R"({"numerator":300,"divisor":65535,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false},{"numerator":2,"divisor":3,"minus":false},)"
    R"({"numerator":1,"divisor":1,"minus":false}],"output":7})"
    "\n";

// The labels the records carry.
const QStringList kLabels = {"--site", "Rozvodňa Žilina", "--relay", "KTR6 č. 0042",
                             "--by",   "J. Kováč"};

bool writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// ktr6ctl run to its end in workDir, its environment changed: "NAME=VALUE"
// sets a variable, "-NAME" removes one.
CtlResult runCtlIn(const QString& programDir, const QString& workDir, const QStringList& args,
                   const QStringList& envChanges = {}, const QByteArray& input = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), programDir);
    for (const QString& change : envChanges) {
        if (change.startsWith(QLatin1Char('-')))
            env.remove(change.mid(1));
        else
            env.insert(change.section(QLatin1Char('='), 0, 0), change.section(QLatin1Char('='), 1));
    }
    process.setProcessEnvironment(env);
    process.setWorkingDirectory(workDir);
    process.start(binary("ktr6ctl"), args);
    CtlResult result;
    if (!process.waitForStarted(5000))
        return result;
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(20000)) {
        process.kill();
        process.waitForFinished(2000);
        return result;
    }
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

// The PDF's text layer as pdftotext (poppler) reads it, blanks run together.
QString pdfText(const QString& path) {
    QProcess pdftotext;
    pdftotext.start(QStringLiteral("pdftotext"),
                    {QStringLiteral("-layout"), path, QStringLiteral("-")});
    if (!pdftotext.waitForFinished(20000))
        return {};
    return QString::fromUtf8(pdftotext.readAllStandardOutput()).simplified();
}

// ktr6ctl running beside the test.
class CtlProcess {
public:
    // reader: a process that takes the output, as after a "|".
    CtlProcess(const QString& dir, const QStringList& args, QProcess* reader = nullptr) {
        if (reader)
            process.setStandardOutputProcess(reader);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), dir);
        // A technician's locale writes a decimal comma; the CSV must not.
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("de_DE.UTF-8"));
        process.setProcessEnvironment(env);
        process.start(binary("ktr6ctl"), args);
    }
    ~CtlProcess() {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(2000);
        }
    }
    bool watching() { return waitForStderr(process, "watching", 3000).contains("watching"); }
    QProcess process;
};

// QSerialPort's lock file for a device path.
QString lockFileFor(QString path) {
    return QStringLiteral("/run/lock/LCK..") + path.replace('/', '_');
}

// Port numbers 1..15 of a program directory, each a comN link: to a
// simulated relay (kinds "relay", "relay3" for firmware SW 3, "silent",
// "garbage", "short"), to one held by another program ("held"), or to
// nothing, so that no device of this machine takes part.
class ScanBench {
public:
    ScanBench(const QString& dir, const QString& layout) {
        for (const QString& entry : layout.split(' ', Qt::SkipEmptyParts))
            kinds[entry.section(':', 0, 0).toInt()] = entry.section(':', 1);
        for (int n = 1; n <= 15; ++n) {
            const QString link = QStringLiteral("%1/com%2").arg(dir, QString::number(n));
            if (!kinds.count(n)) {
                ok = ok && QFile::link(QStringLiteral("/nonexistent/tty%1").arg(n), link);
                continue;
            }
            const QString kind = kinds[n];
            ktr6sim::SimConfig config;
            if (kind == QLatin1String("relay3"))
                config.reply.variant = '3';
            else if (kind == QLatin1String("silent"))
                config.fault = {FaultKind::Silence, 0};
            else if (kind == QLatin1String("garbage"))
                config.fault = {FaultKind::Garbage, 4096};
            else if (kind == QLatin1String("short"))
                config.fault = {FaultKind::Short, 20};
            auto& sim = sims[n];
            sim = std::make_unique<ktr6sim::SimDevice>(config);
            ok = ok && sim->start(dir, QStringLiteral("com%1").arg(n), &error);
            if (kind == QLatin1String("held")) {
                holders[n] = std::make_unique<PortHolder>(binary("fault_port_holder"));
                ok = ok && holders[n]->hold(dir, int16_t(n)) == "held";
            }
        }
    }
    ~ScanBench() {
        holders.clear();
        for (auto& [n, sim] : sims)
            sim->stop();
    }
    // The status the scan must report for a port, with the firmware.
    static QString expected(const QString& kind) {
        if (kind == QLatin1String("relay"))
            return QStringLiteral("found 6");
        if (kind == QLatin1String("relay3"))
            return QStringLiteral("found 2x3");
        if (kind == QLatin1String("silent"))
            return QStringLiteral("no answer");
        if (kind == QLatin1String("held"))
            return QStringLiteral("busy");
        return QStringLiteral("other reply");
    }

    std::map<int, QString> kinds;
    std::map<int, std::unique_ptr<ktr6sim::SimDevice>> sims;
    std::map<int, std::unique_ptr<PortHolder>> holders;
    bool ok = true;
    QString error;
};

} // namespace

class E2eCtlTest : public QObject {
    Q_OBJECT
private slots:
    void readFromTheSimulatorProgram();
    void writeRoundTrip_data();
    void writeRoundTrip();
    void exitCodes_data();
    void exitCodes();
    void coefficientNeedsNoPort_data();
    void coefficientNeedsNoPort();
    void helpNeedsNothing_data();
    void helpNeedsNothing();
    void diffAgainstTheDevice_data();
    void diffAgainstTheDevice();
    void commissionOutcomes_data();
    void commissionOutcomes();
    void commissionRefusesBeforeSending_data();
    void commissionRefusesBeforeSending();
    void commissionRecordNotWritten_data();
    void commissionRecordNotWritten();
    void amountCheckedAlike_data();
    void amountCheckedAlike();
    void journalOfTwoRunsAtOnce();
    void onlyCommissionLoadsAPlatformPlugin();
    void monitorPrintsRecords();
    void monitorStopsOnSigterm();
    void monitorEndsWhenTheDeviceVanishes();
    void stopSignalsCloseThePort_data();
    void stopSignalsCloseThePort();
    void scan_data();
    void scan();
};

void E2eCtlTest::readFromTheSimulatorProgram() {
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

void E2eCtlTest::writeRoundTrip_data() {
    QTest::addColumn<bool>("fromStdin");
    QTest::addColumn<int>("pauseMs"); // between the two halves of the input
    QTest::addColumn<int>("blanks");  // inside the JSON, before "output"
    QTest::newRow("write FILE") << false << 0 << 0;
    QTest::newRow("write -") << true << 0 << 0;
    QTest::newRow("write - written in two parts") << true << 300 << 0;
    QTest::newRow("write - over a pipe's 64 KiB") << true << 0 << 200 * 1024;
}

void E2eCtlTest::writeRoundTrip() {
    QFETCH(bool, fromStdin);
    QFETCH(int, pauseMs);
    QFETCH(int, blanks);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));

    const CtlResult read = runCtl(rig.dir.path(), {"read", "--json"});
    QCOMPARE(read.exitCode, 0);
    QCOMPARE(read.out, kDeviceJson);

    QByteArray edited = read.out;
    edited.replace(R"("numerator":16)", R"("numerator":40)");
    edited.replace(R"("divisor":3,"minus":false)", R"("divisor":3,"minus":true)");
    edited.replace(R"("output":5)", R"("output":250)");
    QByteArray input = edited;
    input.replace(R"("output")", QByteArray(blanks, ' ') + R"("output")");
    CtlResult write;
    if (fromStdin) {
        write = runCtl(rig.dir.path(), {"write", "-"}, input, pauseMs);
    } else {
        const QString file = rig.dir.filePath(QStringLiteral("set.json"));
        QFile out(file);
        QVERIFY(out.open(QIODevice::WriteOnly));
        out.write(input);
        out.close();
        write = runCtl(rig.dir.path(), {"write", file});
    }
    QCOMPARE(write.exitCode, 0);
    QVERIFY2(write.err.contains("Check Parameter: All Parameter writen"), write.err.constData());
    qInfo("ktr6ctl write: %lld ms from start to exit", write.elapsedMs);

    const ktr6sim::ParamSet stored = rig.sim->storedParams();
    QCOMPARE(stored.numerators[0], quint16(40));
    QCOMPARE(stored.signMask, quint8(0x2D));
    QCOMPARE(stored.output, quint8(250));

    const CtlResult again = runCtl(rig.dir.path(), {"read", "--json"});
    QCOMPARE(again.out, edited);
}

void E2eCtlTest::exitCodes_data() {
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

void E2eCtlTest::exitCodes() {
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

void E2eCtlTest::coefficientNeedsNoPort_data() {
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
    QTest::newRow("0.3333 --json") << QStringList{"coefficient", "--json", "0.3333"} << 0
                                   << "{\"numerator\":1,\"divisor\":3,\"value\":0.3333333333333333,"
                                      "\"relative_error\":0.00010001000100010001}\n"
                                   << "";
    QTest::newRow("out of reach, still printed")
        << QStringList{"coefficient", "1e-9", "--json"} << 0
        << "{\"numerator\":1,\"divisor\":65535,\"value\":1.5259021896696422e-05,"
           "\"relative_error\":15258.021896696422}\n"
        << "ktr6ctl: warning: 1e-9 is out of the device's reach with numerators 1..255 and "
           "divisors 1..65535: the closest fraction, 1/65535, is off by a relative error of "
           "15258.021896696422.\n";
    QTest::newRow("decimal comma refused") << QStringList{"coefficient", "0,1"} << 2 << ""
                                           << "ktr6ctl: \"0,1\" has a decimal comma; write \"0.1\"";
    QTest::newRow("negative refused") << QStringList{"coefficient", "-2.5"} << 2 << ""
                                      << "ktr6ctl: \"-2.5\" is negative";
    QTest::newRow("bound refused")
        << QStringList{"coefficient", "1", "--max-numerator", "65536"} << 2 << ""
        << "--max-numerator wants";
}

void E2eCtlTest::coefficientNeedsNoPort() {
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

void E2eCtlTest::helpNeedsNothing_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("usage"); // the first line of stdout

    QTest::newRow("--help") << QStringList{"--help"} << "Usage: ktr6ctl [--port N] COMMAND";
    QTest::newRow("diff --help") << QStringList{"diff", "--help"}
                                 << "Usage: ktr6ctl [--port N] diff FILE";
    QTest::newRow("--help scan") << QStringList{"--help", "scan"}
                                 << "Usage: ktr6ctl scan [--json] [--save]";
    QTest::newRow("commission PLAN -h")
        << QStringList{"commission", "plan.json", "-h"}
        << "Usage: ktr6ctl [--port N] commission PLAN [--record FILE.pdf] [--site TEXT]";
}

// Help, whole or of one command, comes from a folder holding nothing: no
// settings file, no port, no plan; exit 0 and nothing on stderr.
void E2eCtlTest::helpNeedsNothing() {
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

void E2eCtlTest::diffAgainstTheDevice_data() {
    QTest::addColumn<QList<QByteArray>>("edits"); // pairs: text in kDeviceJson, replacement
    QTest::addColumn<bool>("fromStdin");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("out");

    using Edits = QList<QByteArray>;
    QTest::newRow("equal, firmware aside")
        << Edits{R"("firmware":"6")", R"("firmware":"2x3")"} << false << 0 << QByteArray();
    QTest::newRow("equal, from stdin") << Edits{} << true << 0 << QByteArray();
    QTest::newRow("numerator") << Edits{R"("numerator":16)", R"("numerator":40)"} << false << 3
                               << QByteArray("IN 1 numerator: device 16, file 40\n");
    QTest::newRow("divisor") << Edits{R"("divisor":65535)", R"("divisor":31)"} << false << 3
                             << QByteArray("IN 3 divisor: device 65535, file 31\n");
    QTest::newRow("sign") << Edits{R"("minus":true)", R"("minus":false)"} << true << 3
                          << QByteArray("IN 2 sign: device minus, file plus\n");
    QTest::newRow("output alone") << Edits{R"("output":5)", R"("output":6)"} << false << 3
                                  << QByteArray("output: device 5, file 6\n");
    QTest::newRow("several at once")
        << Edits{R"("output":5)",
                 R"("output":0)",
                 R"("divisor":3,"minus":false)",
                 R"("divisor":30,"minus":true)",
                 R"("numerator":1,"divisor":4)",
                 R"("numerator":0,"divisor":4)"}
        << false << 3
        << QByteArray("IN 2 numerator: device 1, file 0\nIN 5 divisor: device 3, file 30\n"
                      "IN 5 sign: device plus, file minus\noutput: device 5, file 0\n");
}

void E2eCtlTest::diffAgainstTheDevice() {
    QFETCH(QList<QByteArray>, edits);
    QFETCH(bool, fromStdin);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, out);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    QByteArray sheet = kDeviceJson;
    for (qsizetype i = 0; i + 1 < edits.size(); i += 2) {
        QVERIFY(sheet.contains(edits[i]));
        sheet.replace(edits[i], edits[i + 1]);
    }
    const QString file = rig.dir.filePath(QStringLiteral("sheet.json"));
    QFile sheetFile(file);
    QVERIFY(sheetFile.open(QIODevice::WriteOnly) && sheetFile.write(sheet) == sheet.size());
    sheetFile.close();

    const CtlResult diff = fromStdin ? runCtl(rig.dir.path(), {"diff", "-"}, sheet)
                                     : runCtl(rig.dir.path(), {"diff", file});

    QVERIFY2(diff.exitCode == exitCode, diff.err.constData());
    QCOMPARE(diff.out, out);
    const QString name = fromStdin ? QStringLiteral("standard input") : file;
    const QString summary = exitCode == 0 ? QStringLiteral("holds the set in %1.\n").arg(name)
                                          : QStringLiteral("holds another set than %1: ").arg(name);
    QVERIFY2(QString::fromUtf8(diff.err).contains(summary), diff.err.constData());
    // One read and nothing else: never a write.
    QCOMPARE(rig.sim->receivedBytes(), QByteArray("*"));
}

void E2eCtlTest::commissionOutcomes_data() {
    QTest::addColumn<bool>("holdsPlan");   // the device holds the plan before the run
    QTest::addColumn<int>("fault");        // FaultKind
    QTest::addColumn<QStringList>("args"); // beyond the plan and the labels
    QTest::addColumn<QStringList>("env");  // changes to the environment
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("stderrText"); // all of stderr but its last line's end
    QTest::addColumn<QString>("resultLine");

    const int none = int(FaultKind::None);
    // No display at all, as over SSH: Qt's offscreen platform needs none.
    const QStringList noDisplay = {"-DISPLAY", "-WAYLAND_DISPLAY", "-QT_QPA_PLATFORM",
                                   "-XDG_RUNTIME_DIR"};
    QTest::newRow("verified, no display")
        << false << none << QStringList{} << noDisplay << 0 << "verified"
        << "ktr6ctl: verified: the device on COM1 (DIR/com1) holds the set in plan.json."
        << "Verified: the device holds this set";
    QTest::newRow("verified, a display named that is not there")
        << false << none << QStringList{}
        << QStringList{"QT_QPA_PLATFORM=xcb", "DISPLAY=:97", "QT_QPA_PLATFORMTHEME=gtk3"} << 0
        << "verified"
        << "ktr6ctl: verified: the device on COM1 (DIR/com1) holds the set in plan.json."
        << "Verified: the device holds this set";
    QTest::newRow("unchanged") << true << none << QStringList{} << noDisplay << 0 << "unchanged"
                               << "ktr6ctl: unchanged: the device on COM1 (DIR/com1) held the "
                                  "set in plan.json already; nothing was written."
                               << "Verified: the device holds this set; nothing was written";
    QTest::newRow("not verified")
        << false << int(FaultKind::StoreDifferent) << QStringList{} << noDisplay << 3
        << "not-verified"
        << "IN 1 numerator: device 41, file 40\nktr6ctl: not verified: after the write the "
           "device on COM1 (DIR/com1) holds another set than plan.json: 1 difference."
        << "NOT VERIFIED: IN 1 numerator: device 41, file 40";
    QTest::newRow("failed, silent device")
        << false << int(FaultKind::Silence) << QStringList{} << noDisplay << 1 << "failed"
        << "ktr6ctl: failed: reading the device: no complete reply from the device on COM1 "
           "(DIR/com1) after 3 attempts; check that it is connected and powered."
        << "NOT VERIFIED: reading the device: no complete reply from the device on COM1";
    QTest::newRow("failed, no device on the port")
        << false << none << QStringList{"--port", "20"} << noDisplay << 1 << "failed"
        << "ktr6ctl: failed: reading the device: COM20 (no device): COM20 maps to no device"
        << "NOT VERIFIED: reading the device: COM20 (no device): COM20 maps to no device";
}

void E2eCtlTest::commissionOutcomes() {
    QFETCH(bool, holdsPlan);
    QFETCH(int, fault);
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(int, exitCode);
    QFETCH(QString, outcome);
    QFETCH(QString, stderrText);
    QFETCH(QString, resultLine);
    ktr6sim::SimConfig config = deviceConfig();
    config.fault = {FaultKind(fault), 0};
    if (holdsPlan) {
        config.params.numerators[0] = 40;
        config.params.output = 7;
    }
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    const QString journal = rig.dir.filePath("site.jsonl");

    // No --record: the record takes a name of its own in the current folder.
    const CtlResult run = runCtlIn(
        dir, dir, QStringList{"commission", "plan.json", "--journal", journal} + kLabels + args,
        env);

    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    // The tool's own lines only: no message box, no word from Qt.
    QCOMPARE(QString::fromUtf8(run.err), QString(stderrText).replace("DIR", dir) + '\n');
    const QRegularExpression names(
        QStringLiteral("^(%1/ktr6-record-\\d{8}-\\d{6}-COM(1|20))\\.pdf\\n\\1\\.json\\n$")
            .arg(QRegularExpression::escape(dir)));
    const auto match = names.match(QString::fromUtf8(run.out));
    QVERIFY2(match.hasMatch(), run.out.constData());
    const QString pdf = match.captured(1) + ".pdf";
    const QString twinPath = match.captured(1) + ".json";

    const QString text = pdfText(pdf);
    for (const QString& wanted : {resultLine, QStringLiteral("Rozvodňa Žilina"),
                                  QStringLiteral("KTR6 č. 0042"), QStringLiteral("Name J. Kováč")})
        QVERIFY2(text.contains(wanted), qPrintable(text));
    QVERIFY2(text.contains(QRegularExpression("IN 1 plus 40 1 40 40 0 (plus (16|40) 1|— — —) IN 2 "
                                              "minus 1 4 -0.25 -0.25 0")),
             qPrintable(text));

    const QByteArray pdfBytes = readFile(pdf);
    const QJsonObject twin = QJsonDocument::fromJson(readFile(twinPath)).object();
    QCOMPARE(twin.value("outcome").toString(), outcome);
    QCOMPARE(twin.value("pdf").toString(), pdf);
    QCOMPARE(twin.value("pdf_sha256").toString(),
             QString::fromLatin1(
                 QCryptographicHash::hash(pdfBytes, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(twin.value("after").isNull(), exitCode == 1);
    if (exitCode != 1)
        QCOMPARE(twin.value("after").toObject().value("output").toInt(), 7);

    const QList<QByteArray> lines = readFile(journal).split('\n');
    QCOMPARE(lines.size(), 2);
    QVERIFY(lines[1].isEmpty());
    const QJsonObject entry = QJsonDocument::fromJson(lines[0]).object();
    QCOMPARE(entry.value("outcome").toString(), outcome);
    QCOMPARE(entry.value("pdf_sha256"), twin.value("pdf_sha256"));
    QCOMPARE(entry.value("site").toString(), QStringLiteral("Rozvodňa Žilina"));

    // The device saw one read when it held the plan, a read, a write and one
    // read back otherwise.
    const QByteArray received = rig.sim->receivedBytes();
    if (exitCode == 1)
        QVERIFY(!received.contains(','));
    else
        QCOMPARE(received.count('*'), holdsPlan ? 1 : 2);
    QCOMPARE(rig.sim->counters().writeBlocks, holdsPlan || exitCode == 1 ? 0 : 1);
}

void E2eCtlTest::commissionRefusesBeforeSending_data() {
    QTest::addColumn<QStringList>("args"); // after "commission"; RIG: the rig's folder
    QTest::addColumn<QString>("setup");    // "pdf", "json", "link": an entry at that
                                           // path first; "no settings"; "" nothing
    QTest::addColumn<QByteArray>("plan");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");

    const QStringList record = {"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/j.jsonl"};
    QByteArray badAmount = kPlanJson;
    badAmount.replace(R"("amount":0.25)", R"("amount":"1/0")");
    QTest::newRow("the PDF exists") << record << "pdf" << kPlanJson << 2
                                    << "ktr6ctl: RIG/r.pdf already exists, and a record never "
                                       "replaces a file; nothing was sent.\n";
    QTest::newRow("the twin exists")
        << record << "json" << kPlanJson << 2 << "ktr6ctl: RIG/r.json already exists";
    QTest::newRow("a dangling link at the PDF")
        << record << "link" << kPlanJson << 2 << "ktr6ctl: RIG/r.pdf already exists";
    QTest::newRow("the twin's name in other letters")
        << QStringList{"plan.json", "--record", "RIG/R.Pdf"} << "" << kPlanJson << 2
        << "ktr6ctl: RIG/R.json already exists";
    QTest::newRow("no folder for the record")
        << QStringList{"plan.json", "--record", "RIG/none/r.pdf"} << "" << kPlanJson << 2
        << "ktr6ctl: cannot create a file in RIG/none: No such file or directory; nothing was "
           "sent.";
    QTest::newRow("the journal a folder")
        << QStringList{"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG"} << "" << kPlanJson
        << 2 << "ktr6ctl: cannot open the journal RIG: Is a directory; nothing was sent.";
    QTest::newRow("the journal is the twin")
        << QStringList{"plan.json", "--record", "RIG/r.pdf", "--journal", "RIG/r.json"} << ""
        << kPlanJson << 2 << "would be the record itself";
    QTest::newRow("a bad amount") << record << "" << badAmount << 2
                                  << "ktr6ctl: plan.json: inputs[1] (IN 2) amount: \"1/0\" divides "
                                     "by zero; nothing was sent.";
    QTest::newRow("a site of 81 characters")
        << record + QStringList{"--site", QString(81, QChar(0x17D))} << "" << kPlanJson << 2
        << "--site is 81 characters long";
    QTest::newRow("a relay with a control character")
        << record + QStringList{"--relay", "KTR6\x1b[2J"} << "" << kPlanJson << 2
        << "--relay holds a control character (U+001B)";
    QTest::newRow("not a PDF") << QStringList{"plan.json", "--record", "RIG/r.txt"} << ""
                               << kPlanJson << 2 << "--record wants a file name ending in .pdf";
    QTest::newRow("no settings file") << record << "no settings" << kPlanJson << 1 << "not found";
}

void E2eCtlTest::commissionRefusesBeforeSending() {
    QFETCH(QStringList, args);
    QFETCH(QString, setup);
    QFETCH(QByteArray, plan);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), plan));
    if (setup == QLatin1String("pdf") || setup == QLatin1String("json"))
        QVERIFY(writeFile(rig.dir.filePath("r." + setup), "kept"));
    if (setup == QLatin1String("link"))
        QVERIFY(QFile::link(rig.dir.filePath("nowhere"), rig.dir.filePath("r.pdf")));
    if (setup == QLatin1String("no settings"))
        QVERIFY(QFile::remove(rig.dir.filePath("KTR.INI")));
    if (args.contains("RIG/R.Pdf"))
        QVERIFY(writeFile(rig.dir.filePath("R.json"), "kept"));
    QStringList before =
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);

    const CtlResult run =
        runCtlIn(dir, dir, QStringList{"commission"} + args.replaceInStrings("RIG", dir));

    QVERIFY2(run.exitCode == exitCode, run.err.constData());
    QVERIFY2(QString::fromUtf8(run.err).contains(QString(stderrText).replace("RIG", dir)),
             run.err.constData());
    QVERIFY2(run.out.isEmpty(), run.out.constData());
    QVERIFY2(rig.sim->receivedBytes().isEmpty(), rig.sim->receivedBytes().constData());
    // Nothing written: no record, no journal, no temporary file; what was
    // there is as it was.
    QCOMPARE(
        QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
        before);
    if (!setup.isEmpty() && setup != QLatin1String("link") && setup != QLatin1String("no settings"))
        QCOMPARE(readFile(rig.dir.filePath("r." + setup)), QByteArray("kept"));
}

void E2eCtlTest::commissionRecordNotWritten_data() {
    QTest::addColumn<QString>("appears"); // a file that takes this name during the run, or
                                          // "stdout": the output goes to a full disk
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<bool>("pdfWritten");
    QTest::addColumn<bool>("twinWritten");

    QTest::newRow("the PDF's name taken")
        << "r.pdf"
        << "ktr6ctl: DIR/r.pdf appeared while the run went on; it was left as it is; "
           "no record was written.\n"
        << false << false;
    QTest::newRow("the twin's name taken")
        << "r.json"
        << "ktr6ctl: DIR/r.json appeared while the run went on; it was left as it "
           "is; the record DIR/r.pdf has no twin.\n"
        << true << false;
    QTest::newRow("the paths not printed")
        << "stdout"
        << "ktr6ctl: cannot write the output: No space left on device\n"
        << true << true;
}

void E2eCtlTest::commissionRecordNotWritten() {
    QFETCH(QString, appears);
    QFETCH(QString, stderrText);
    QFETCH(bool, pdfWritten);
    QFETCH(bool, twinWritten);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kPlanJson));
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KTR6_PROGRAM_DIR", dir);
    ctl.setProcessEnvironment(env);
    ctl.setWorkingDirectory(dir);
    if (appears == QLatin1String("stdout"))
        ctl.setStandardOutputFile(QStringLiteral("/dev/full"));
    ctl.start(binary("ktr6ctl"),
              {"commission", "plan.json", "--record", "r.pdf", "--journal", "j.jsonl"});
    QTRY_VERIFY_WITH_TIMEOUT(rig.sim->receivedBytes().contains(','), 5000);
    if (appears != QLatin1String("stdout"))
        QVERIFY(writeFile(rig.dir.filePath(appears), "kept"));
    QVERIFY(ctl.waitForFinished(10000));

    QCOMPARE(ctl.exitCode(), 4);
    // The device's outcome first, then what became of the record.
    QCOMPARE(QString::fromUtf8(ctl.readAllStandardError()),
             QStringLiteral("ktr6ctl: verified: the device on COM1 (%1/com1) holds the set in "
                            "plan.json.\n")
                     .arg(dir) +
                 QString(stderrText).replace("DIR", dir));
    if (appears != QLatin1String("stdout"))
        QCOMPARE(readFile(rig.dir.filePath(appears)), QByteArray("kept"));
    if (appears != QLatin1String("r.pdf"))
        QCOMPARE(readFile(rig.dir.filePath("r.pdf")).startsWith("%PDF-"), pdfWritten);
    if (appears != QLatin1String("r.json"))
        QCOMPARE(QFile::exists(rig.dir.filePath("r.json")), twinWritten);
    // A journal line for each PDF written.
    QCOMPARE(readFile(rig.dir.filePath("j.jsonl")).count('\n'), pdfWritten ? 1 : 0);
    QCOMPARE(QDir(dir).entryList({".*.part"}, QDir::Files | QDir::Hidden), QStringList());
}

void E2eCtlTest::amountCheckedAlike_data() {
    QTest::addColumn<QByteArray>("amount"); // IN 2's "amount" as JSON
    QTest::addColumn<QString>("error");     // empty: accepted

    QTest::newRow("a quotient") << QByteArray(R"("40/160")") << "";
    QTest::newRow("a number") << QByteArray("0.25") << "";
    QTest::newRow("negative") << QByteArray(R"("-0.25")")
                              << "inputs[1] (IN 2) amount: \"-0.25\" is negative";
    QTest::newRow("a decimal comma")
        << QByteArray(R"("0,25")") << "inputs[1] (IN 2) amount: \"0,25\" has a decimal comma";
    QTest::newRow("a list") << QByteArray("[1]")
                            << "inputs[1] (IN 2) amount must be a text such as \"0.1\"";
}

void E2eCtlTest::amountCheckedAlike() {
    QFETCH(QByteArray, amount);
    QFETCH(QString, error);
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    // The device's own set: write changes nothing, diff finds it equal,
    // commission finds it held already.
    QByteArray plan = kDeviceJson;
    plan.replace(R"("minus":true)", R"("minus":true,"amount":)" + amount);
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), plan));
    const QString dir = rig.dir.path();
    QStringList messages; // what each command says
    for (const QStringList& args : {QStringList{"diff", "plan.json"},
                                    QStringList{"commission", "plan.json", "--record", "r.pdf"},
                                    QStringList{"write", "plan.json"}}) {
        const CtlResult run = runCtlIn(dir, dir, args);
        QVERIFY2(run.exitCode == (error.isEmpty() ? 0 : 2),
                 qPrintable(args.first() + ": " + run.err));
        if (!error.isEmpty())
            messages << QString::fromUtf8(run.err);
    }
    if (!error.isEmpty()) {
        QVERIFY2(messages[0].startsWith("ktr6ctl: plan.json: " + error), qPrintable(messages[0]));
        QVERIFY2(messages[0].endsWith("; nothing was sent.\n"), qPrintable(messages[0]));
        QCOMPARE(messages[1], messages[0]);
        QCOMPARE(messages[2], messages[0]);
    }
    QCOMPARE(rig.sim->counters().writeBlocks, error.isEmpty() ? 1 : 0);
    QCOMPARE(rig.sim->receivedBytes().isEmpty(), !error.isEmpty());
}

void E2eCtlTest::journalOfTwoRunsAtOnce() {
    ktr6sim::SimConfig config = deviceConfig();
    SimRig east(config);
    SimRig west(config);
    QVERIFY2(east.started && west.started, qPrintable(east.error + west.error));
    QTemporaryDir site;
    const QString journal = site.filePath("site.jsonl");
    // A run before was cut short by a full disk, mid-line.
    QVERIFY(writeFile(journal, R"({"time":"2024-05-17T14:03:07+02:00","site":"Rozv)"));
    QVERIFY(writeFile(site.filePath("plan.json"), kPlanJson));

    QList<QProcess*> runs;
    for (const QString& relay : {QStringLiteral("east"), QStringLiteral("west")}) {
        auto* process = new QProcess(this);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KTR6_PROGRAM_DIR", (relay == "east" ? east : west).dir.path());
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(site.path());
        process->start(binary("ktr6ctl"), {"commission", "plan.json", "--relay", relay, "--record",
                                           relay + ".pdf", "--journal", journal});
        runs << process;
    }
    for (QProcess* process : runs) {
        QVERIFY(process->waitForFinished(20000));
        QVERIFY2(process->exitCode() == 0, process->readAllStandardError().constData());
        delete process;
    }

    const QList<QByteArray> lines = readFile(journal).split('\n');
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[0], QByteArray(R"({"time":"2024-05-17T14:03:07+02:00","site":"Rozv)"));
    QStringList relays;
    for (const QByteArray& line : lines.mid(1, 2)) {
        QJsonParseError error;
        const QJsonObject entry = QJsonDocument::fromJson(line, &error).object();
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
        QCOMPARE(entry.value("outcome").toString(), QStringLiteral("verified"));
        relays << entry.value("relay").toString();
        QCOMPARE(entry.value("pdf").toString(), site.filePath(relays.last() + ".pdf"));
    }
    relays.sort();
    QCOMPARE(relays, (QStringList{"east", "west"}));
    QVERIFY(lines[3].isEmpty());
}

void E2eCtlTest::onlyCommissionLoadsAPlatformPlugin() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    const QString dir = rig.dir.path();
    QVERIFY(writeFile(rig.dir.filePath("plan.json"), kDeviceJson));
    // The dynamic linker names every library the program loads.
    for (const QStringList& args :
         {QStringList{"read"}, QStringList{"diff", "plan.json"}, QStringList{"coefficient", "0.1"},
          QStringList{"commission", "plan.json", "--record", "r.pdf"}}) {
        const QString log = rig.dir.filePath("ld-" + args.first());
        const CtlResult run =
            runCtlIn(dir, dir, args, {"LD_DEBUG=files", "LD_DEBUG_OUTPUT=" + log});
        QVERIFY2(run.exitCode == 0, run.err.constData());
        const QStringList logs = QDir(dir).entryList({"ld-" + args.first() + ".*"});
        QCOMPARE(logs.size(), 1);
        const QByteArray loaded = readFile(rig.dir.filePath(logs.first()));
        QVERIFY2(loaded.contains("libQt6Core"), loaded.left(2000).constData());
        QCOMPARE(loaded.contains("/platforms/libq"), args.first() == QLatin1String("commission"));
    }
}

void E2eCtlTest::monitorPrintsRecords() {
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

void E2eCtlTest::monitorStopsOnSigterm() {
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

void E2eCtlTest::monitorEndsWhenTheDeviceVanishes() {
    SimRig rig(deviceConfig());
    QVERIFY2(rig.started, qPrintable(rig.error));
    CtlProcess monitor(rig.dir.path(), {"monitor"});
    QVERIFY(monitor.watching());

    rig.sim->hangUp();
    QVERIFY(monitor.process.waitForFinished(5000));

    QCOMPARE(monitor.process.exitCode(), 1);
    QVERIFY(monitor.process.readAllStandardError().contains("COM - Port ERROR"));
}

void E2eCtlTest::stopSignalsCloseThePort_data() {
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

void E2eCtlTest::stopSignalsCloseThePort() {
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

void E2eCtlTest::scan_data() {
    QTest::addColumn<QString>("ports"); // ScanBench's "N:kind ..."
    // KTR.INI: "" none, five values (then " link": KTR.INI links to a file
    // of mode 0640 elsewhere, as a package installs it), or "damaged"
    QTest::addColumn<QString>("settings");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("stderrText");
    QTest::addColumn<QString>("saved"); // KTR.INI after it: five values, "" as before
    QTest::addColumn<int>("maxMs");     // the whole run's bound, 0 none

    const QString mixed = "1:relay 2:silent 3:held 4:garbage 5:relay3 6:short";
    QTest::newRow("table") << mixed << "2 0 9600 0 0" << QStringList{"scan"} << 0
                           << "ktr6ctl: 2 relays found, on COM1 and COM5.\n"
                           << "" << 0;
    QTest::newRow("--json, no settings file")
        << mixed << "" << QStringList{"scan", "--json"} << 0 << "no settings file "
        << "" << 0;
    QTest::newRow("--save, one relay, no settings file")
        << "2:silent 4:relay"
        << "" << QStringList{"scan", "--save"} << 0
        << "one relay found, on COM4; saved as the port in "
        << "4 0 9600 0 0" << 0;
    QTest::newRow("--save keeps the other lines")
        << "4:relay3 7:silent"
        << "1 2 19200 150 -7" << QStringList{"scan", "--save", "--json"} << 0
        << "saved as the port in "
        << "4 2 19200 150 -7" << 0;
    QTest::newRow("--save through a link")
        << "3:relay"
        << "1 0 9600 0 0 link" << QStringList{"scan", "--save"} << 0 << "saved as the port in "
        << "3 0 9600 0 0" << 0;
    QTest::newRow("--save, none found") << "1:silent 3:held"
                                        << "2 0 9600 0 0" << QStringList{"scan", "--save"} << 1
                                        << "no relay found on the 2 ports probed. COM3 is held by "
                                           "another program; close it and scan again to probe it "
                                           "too. The settings file was not changed."
                                        << "" << 0;
    QTest::newRow("--save, two found")
        << "2:relay 9:relay3"
        << "1 0 9600 0 0" << QStringList{"--save", "scan"} << 1
        << "2 relays found, on COM2 and COM9. --save needs exactly one"
        << "" << 0;
    QTest::newRow("no device at all")
        << ""
        << "1 0 9600 0 0" << QStringList{"scan", "--json"} << 1 << "nothing was probed"
        << "" << 0;
    QTest::newRow("damaged settings file")
        << "1:relay"
        << "damaged" << QStringList{"scan"} << 2 << "does not fit the handshaking mode"
        << "" << 0;
    // One exchange is 400 ms of pauses; one port after another would take 6 s.
    QString everyPort;
    for (int n = 1; n <= 15; ++n)
        everyPort += QStringLiteral("%1:relay ").arg(n);
    QTest::newRow("15 relays in about one exchange")
        << everyPort << "1 0 9600 0 0" << QStringList{"scan"} << 0
        << "15 relays found, on COM1, COM2, COM3"
        << "" << 3000;
}

void E2eCtlTest::scan() {
    QFETCH(QString, ports);
    QFETCH(QString, settings);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, stderrText);
    QFETCH(QString, saved);
    QFETCH(int, maxMs);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const bool linked = settings.endsWith(QLatin1String(" link"));
    settings.remove(QStringLiteral(" link"));
    const QString ini = linked ? dir.filePath("KTR.INI.target") : dir.filePath("KTR.INI");
    auto values = [](const QString& text) {
        const QStringList v = text.split(' ');
        return formatSettingsText({int16_t(v[0].toInt()), int16_t(v[1].toInt()),
                                   int16_t(v[2].toInt()), v[3].toInt(), int16_t(v[4].toInt())});
    };
    QByteArray before;
    if (!settings.isEmpty()) {
        before = settings == QLatin1String("damaged")
                     ? QByteArray("Port=1\r\nHandshaking =  7 \r\nBaudRate =  9600 \r\n"
                                  "WaitTime =  0 \r\nTimeDelay =  0 \r\n")
                     : values(settings);
        QFile file(ini);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        QVERIFY(!linked || QFile::link(ini, dir.filePath("KTR.INI")));
    }
    ScanBench bench(dir.path(), ports);
    QVERIFY2(bench.ok, qPrintable(bench.error));

    const CtlResult result = runCtl(dir.path(), args);

    QVERIFY2(result.exitCode == exitCode, result.err.constData());
    QVERIFY2(QString::fromUtf8(result.err).contains(stderrText), result.err.constData());
    if (maxMs > 0) {
        qInfo("ktr6ctl scan over %d relays: %lld ms from start to exit", int(bench.sims.size()),
              result.elapsedMs);
        QVERIFY2(result.elapsedMs < maxMs, qPrintable(QString::number(result.elapsedMs)));
    }
    // One row per port with a device, and only "*" sent to a port not held.
    const bool probed = exitCode != 2;
    QByteArray json = "[";
    QStringList rows;
    for (const auto& [n, kind] : bench.kinds) {
        const QString device = QStringLiteral("%1/com%2").arg(dir.path(), QString::number(n));
        const QString status = ScanBench::expected(kind);
        const bool found = status.startsWith(QLatin1String("found"));
        json +=
            QStringLiteral(R"(%1{"port":%2,"device":"%3","status":"%4"%5})")
                .arg(json.size() > 1 ? QStringLiteral(",") : QString(), QString::number(n), device,
                     found ? QStringLiteral("found") : status,
                     found ? QStringLiteral(R"(,"firmware":"%1")").arg(status.mid(6)) : QString())
                .toUtf8();
        rows << QStringLiteral("COM%1 %2 %3")
                    .arg(QString::number(n), device,
                         found ? QStringLiteral("found, firmware SW ") + status.mid(6) : status);
        const QByteArray sent = bench.sims.at(n)->receivedBytes();
        QVERIFY2(sent == (probed && kind != QLatin1String("held") ? "*" : ""),
                 qPrintable(QStringLiteral("COM%1: %2").arg(n).arg(sent.toHex(' '))));
        if (!bench.holders.count(n))
            QVERIFY2(!QFile::exists(lockFileFor(device)), qPrintable(device));
    }
    if (!probed)
        QVERIFY(result.out.isEmpty());
    else if (args.contains("--json"))
        QCOMPARE(result.out, json + "]\n");
    else
        QCOMPARE(QString::fromUtf8(result.out)
                     .split('\n', Qt::SkipEmptyParts)
                     .mid(1)
                     .replaceInStrings(QRegularExpression(" +"), " "),
                 rows);

    QFile after(ini);
    if (saved.isEmpty() && settings.isEmpty()) {
        QVERIFY(!after.exists());
    } else {
        QVERIFY(after.open(QIODevice::ReadOnly));
        QCOMPARE(after.readAll(), saved.isEmpty() ? before : values(saved));
        if (!settings.isEmpty()) // a rewrite keeps the mode (rw-r-----)
            QCOMPARE(int(after.permissions() & 0x0777), 0x0640);
    }
    QCOMPARE(QFileInfo(dir.filePath("KTR.INI")).isSymLink(), linked);
}

QTEST_GUILESS_MAIN(E2eCtlTest)
#include "test_e2e_ctl.moc"
