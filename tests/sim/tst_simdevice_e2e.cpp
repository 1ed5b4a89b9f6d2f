// The simulator over a real pty, with this test acting as the PC side.

#include "PcPort.h"
#include "ReplyReader.h"
#include "SimDevice.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace ktr6sim;

Q_DECLARE_METATYPE(ktr6sim::FieldStyle)

namespace {

// The PC side reads whatever arrived 200 ms after sending "*".
constexpr int kReplyWindowMs = 200;

bool linkExists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool waitFor(int ms, const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > ms)
            return false;
        QThread::msleep(5);
    }
    return true;
}

// Sends "*" and returns what arrives within the PC side's window, done early at the CR LF.
QByteArray askParams(PcPort& port) {
    port.flushInput();
    port.write("*");
    return port.readUntil(kReplyWindowMs, [](const QByteArray& d) { return d.endsWith("\r\n"); });
}

int countCr(const QByteArray& data) {
    return int(data.count('\r'));
}

// The 26 octets of a parameter write: numerators, divisors (little-endian), sign mask, output.
QByteArray writeBlock(const QList<int>& numerators, const QList<int>& divisors, int signMask,
                      int output) {
    QByteArray block;
    for (const QList<int>& words : {numerators, divisors}) {
        for (int word : words) {
            block += char(word & 0xff);
            block += char(word >> 8);
        }
    }
    block += char(signMask);
    block += char(output);
    return block;
}

// CPU time a process has used, in ms.
qint64 cpuMs(qint64 pid) {
    QFile file(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!file.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray stat = file.readAll();
    // Fields after the command name, which may hold blanks: state is field 3, utime 14.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13)
        return -1;
    return (fields[11].toLongLong() + fields[12].toLongLong()) * 1000 / ::sysconf(_SC_CLK_TCK);
}

// The share of one core a process uses over ms.
double cpuShare(qint64 pid, int ms) {
    const qint64 before = cpuMs(pid);
    QThread::msleep(ms);
    const qint64 after = cpuMs(pid);
    return before < 0 || after < 0 ? 1.0 : double(after - before) / ms;
}

// Reads a process's stdout until it holds text.
QByteArray waitForOutput(QProcess& process, const QByteArray& text, int ms) {
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    while (!out.contains(text) && timer.elapsed() < ms) {
        process.waitForReadyRead(50);
        out += process.readAllStandardOutput();
    }
    return out;
}

} // namespace

class TestSimDeviceE2e : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answersReadWithinWindow_data();
    void answersReadWithinWindow();
    void portSurvivesCloseAndReopen();
    void nothingStaleAfterReopen();
    void requestedRecordsWaitForThePort();
    void requestsHoldRecordsBack_data();
    void requestsHoldRecordsBack();
    void requestedRecordsWaitBehindAReply();
    void programIdlesAndExitsCleanly();
    void storesBlockSentInPieces_data();
    void storesBlockSentInPieces();
    void recordsArriveWhole_data();
    void recordsArriveWhole();
    void unthrottledStreamLosesNothing();
    void replyTiming_data();
    void replyTiming();
    void hangup_data();
    void hangup();
    void linkLifecycle();

private:
    std::unique_ptr<QTemporaryDir> dir_;
};

void TestSimDeviceE2e::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void TestSimDeviceE2e::cleanup() {
    dir_.reset();
}

void TestSimDeviceE2e::answersReadWithinWindow_data() {
    QTest::addColumn<FieldStyle>("style");
    QTest::addColumn<char>("variant");
    QTest::newRow("zero, 6") << FieldStyle::Zero << '6';
    QTest::newRow("plain, 3") << FieldStyle::Plain << '3';
    QTest::newRow("blank, 6") << FieldStyle::Blank << '6';
}

void TestSimDeviceE2e::answersReadWithinWindow() {
    QFETCH(FieldStyle, style);
    QFETCH(char, variant);
    SimConfig config;
    config.params = *parseParamList(QStringLiteral("16/1,1/4,-1/3,256/65300,1/1,1/1"), {});
    config.params.output = 5;
    config.reply = ReplyStyle{style, variant, 56};
    SimDevice device(config);
    QString error;
    QVERIFY2(device.start(dir_->path(), QStringLiteral("com1"), &error), qPrintable(error));

    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    const QByteArray reply = askParams(port);
    QCOMPARE(reply, formatReply(config.params, config.reply));
    QCOMPARE(port.readFor(50), QByteArray());
    QCOMPARE(device.counters().readRequests, 1);
    QCOMPARE(device.receivedBytes(), QByteArray("*"));
}

void TestSimDeviceE2e::portSurvivesCloseAndReopen() {
    SimDevice device;
    QVERIFY(device.start(dir_->path()));
    QVERIFY(!device.pcSideOpen());
    // The PC side opens and closes the port for every transaction. Records asked for while it
    // is closed wait, and come, all of them and nothing else, as soon as it opens again.
    for (int round = 0; round < 3; ++round) {
        PcPort port;
        QVERIFY(port.open(device.linkPath()));
        if (round > 0) {
            const QByteArray records =
                port.readUntil(3000, [](const QByteArray& d) { return countCr(d) >= 3000; });
            QCOMPARE(records, QByteArray("2\r").repeated(3000));
        }
        QVERIFY(waitFor(50, [&] { return device.pcSideOpen(); }));
        QVERIFY(readReply(askParams(port)));
        port.close();
        QVERIFY(waitFor(100, [&] { return !device.pcSideOpen(); }));
        device.sendRecords(2, 3000);
        QThread::msleep(20);
    }
    QVERIFY(device.isConnected());
    const SimCounters counters = device.counters();
    QCOMPARE(counters.hangups, 0);
    QCOMPARE(counters.portOpens, 3);
    QCOMPARE(counters.recordsSent, 6000); // the last 3000 still wait
    QCOMPARE(counters.recordsDropped, 0);
}

void TestSimDeviceE2e::nothingStaleAfterReopen() {
    SimConfig config;
    config.records.filler = "before";
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    StreamConfig stream;
    stream.rates = {{1, 50.0}};
    device.startStream(stream);

    // Records go out while the port is open, but this PC side reads none of them.
    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    QVERIFY(waitFor(1000, [&] { return device.counters().recordsSent >= 3; }));
    port.close();
    QVERIFY(waitFor(100, [&] { return !device.pcSideOpen(); }));
    device.setRecordStyle({"stale", 0});
    const SimCounters closed = device.counters();
    QThread::msleep(300);
    device.setRecordStyle({"fresh", 0});
    const SimCounters reopening = device.counters();
    QCOMPARE(reopening.recordsSent, closed.recordsSent);
    QVERIFY2(reopening.recordsDropped - closed.recordsDropped >= 12, // 300 ms at 50/s
             qPrintable(QString::number(reopening.recordsDropped - closed.recordsDropped)));
    // Every one lost meanwhile is told apart as lost to the closed port, none to a request.
    QCOMPARE(reopening.recordsWhileClosed - closed.recordsWhileClosed,
             reopening.recordsDropped - closed.recordsDropped);
    QCOMPARE(reopening.recordsWhileQuiet, closed.recordsWhileQuiet);

    QVERIFY(port.open(device.linkPath()));
    const QByteArray first = port.readFor(30);
    QVERIFY2(countCr(first) <= 2, first.constData()); // at most what fell due since the open
    const QByteArray data = first + port.readFor(200);
    QList<QByteArray> records = data.split('\r');
    QVERIFY(records.takeLast().isEmpty());
    QVERIFY2(records.size() >= 8, data.constData()); // the stream goes on at once
    for (const QByteArray& record : records)
        QCOMPARE(record, QByteArray("1fresh"));
    // Whatever arrived was sent after the port opened again.
    QVERIFY(records.size() <= device.counters().recordsSent - reopening.recordsSent);
    QCOMPARE(device.counters().portOpens, 2);
}

void TestSimDeviceE2e::requestedRecordsWaitForThePort() {
    SimDevice device;
    QVERIFY(device.start(dir_->path()));
    device.sendRecords(3, 5);
    device.sendBurst(4, "78");
    QThread::msleep(100);
    QCOMPARE(device.counters().recordsSent, 0);
    QCOMPARE(device.counters().recordsDropped, 0);

    PcPort port;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(port.open(device.linkPath()));
    const QByteArray data =
        port.readUntil(1000, [](const QByteArray& d) { return countCr(d) >= 9; });
    QVERIFY2(timer.elapsed() < 100, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(data + port.readFor(50), QByteArray("3\r3\r3\r3\r3\r7\r8\r7\r8\r"));
    QCOMPARE(device.counters().recordsSent, 9);

    // More than the pty holds, and the PC side closes the port after a few: what it had not
    // read is gone with it, the rest comes when it opens again, no more and no less.
    constexpr int kMany = 20000;
    device.sendRecords(4, kMany);
    QVERIFY(countCr(port.readUntil(1000, [](const QByteArray& d) { return countCr(d) >= 100; })) >=
            100);
    QThread::msleep(50); // the pty fills up again and more records queue in the device
    port.close();
    QVERIFY(waitFor(100, [&] { return !device.pcSideOpen(); }));
    const qint64 sentBeforeClose = device.counters().recordsSent - 9;
    QVERIFY2(sentBeforeClose < kMany, qPrintable(QString::number(sentBeforeClose)));
    QThread::msleep(50);
    QCOMPARE(device.counters().recordsSent - 9, sentBeforeClose);
    QVERIFY(port.open(device.linkPath()));
    const qint64 rest = kMany - sentBeforeClose;
    const QByteArray remaining =
        port.readUntil(5000, [&](const QByteArray& d) { return countCr(d) >= rest; });
    QCOMPARE(remaining + port.readFor(50), QByteArray("4\r").repeated(rest));
    QCOMPARE(device.counters().recordsSent, 9 + kMany);
    QCOMPARE(device.counters().recordsDropped, 0);

    // An unplugged device has no port to wait for: those are lost.
    device.hangUp();
    device.sendRecords(1, 4);
    QCOMPARE(device.counters().recordsDropped, 4);
}

void TestSimDeviceE2e::requestsHoldRecordsBack_data() {
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("octetGapMs"); // the write block goes one octet at a time
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("replyWindow"); // in which 200 ms window the reply comes; 0: none
    QTest::addColumn<int>("rounds");

    QTest::newRow("read") << QByteArray("*") << 0 << "none" << 1 << 5;
    // Quiet from the request until 250 ms after the reply, however late that is.
    QTest::newRow("read, reply 300 ms late") << QByteArray("*") << 0 << "late=300" << 2 << 2;
    QTest::newRow("write") << ("," +
                               writeBlock({40, 2, 3, 4, 5, 6}, {1, 2, 3, 4, 5, 65535}, 0x2D, 250))
                           << 20 << "none" << 0 << 1;
}

void TestSimDeviceE2e::requestsHoldRecordsBack() {
    QFETCH(QByteArray, request);
    QFETCH(int, octetGapMs);
    QFETCH(QString, fault);
    QFETCH(int, replyWindow);
    QFETCH(int, rounds);
    SimConfig config;
    config.params.output = 7;
    config.fault = *parseFault(fault);
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    StreamConfig stream;
    stream.rates = {{1, 200.0}, {2, 200.0}};
    device.startStream(stream);
    const QByteArray answer = formatReply(config.params, config.reply);

    for (int round = 0; round < rounds; ++round) {
        PcPort port;
        QVERIFY(port.open(device.linkPath()));
        // The stream runs into the open port; the PC side discards it and asks. It does so
        // right after a record came, when the other record of the pair may be on its way: that
        // one must not end up in front of the reply either.
        QVERIFY(
            !port.readUntil(500, [](const QByteArray& d) { return d.endsWith('\r'); }).isEmpty());
        port.flushInput();
        QVERIFY(port.writeSlowly(request, octetGapMs));
        for (int window = 1; window <= std::max(replyWindow, 1); ++window) {
            QThread::msleep(kReplyWindowMs);
            const QByteArray inWindow = port.readFor(5);
            if (window != replyWindow) {
                QCOMPARE(inWindow, QByteArray());
                continue;
            }
            QVERIFY2(inWindow.startsWith('K'), inWindow.toHex(' ').constData());
            QCOMPARE(inWindow, answer);
            QVERIFY(readReply(inWindow));
        }
        // Quiet until 250 ms after the request; then the stream goes on.
        const QByteArray resumed =
            port.readUntil(400, [](const QByteArray& d) { return d.contains('\r'); });
        QVERIFY2(resumed.startsWith('1') || resumed.startsWith('2'), resumed.constData());
    }
    const SimCounters counters = device.counters();
    if (replyWindow > 0) {
        QCOMPARE(counters.readRequests, rounds);
    } else {
        QCOMPARE(counters.writeBlocks, rounds);
        QCOMPARE(device.storedParams().output, quint8(250));
    }
    // 400 records/s fell due during every quiet spell and went nowhere.
    QVERIFY2(counters.recordsDropped >= rounds * 40,
             qPrintable(QString::number(counters.recordsDropped)));
    QVERIFY2(counters.recordsWhileQuiet >= rounds * 40,
             qPrintable(QString::number(counters.recordsWhileQuiet)));
}

void TestSimDeviceE2e::requestedRecordsWaitBehindAReply() {
    SimConfig config;
    config.records = RecordStyle{"x", 100};
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    QVERIFY(waitFor(100, [&] { return device.pcSideOpen(); }));

    // The first record is on the wire (its digit out, the rest 100 ms later) and two more
    // wait when the PC side asks: the record is finished, then the reply goes, and the two
    // wait until the device is done with the request.
    device.sendRecords(5, 3);
    QCOMPARE(port.readUntil(500, [](const QByteArray& d) { return !d.isEmpty(); }),
             QByteArray("5"));
    QElapsedTimer timer;
    timer.start();
    port.write("*");
    QThread::msleep(kReplyWindowMs);
    QCOMPARE(port.readFor(5), "x\r" + formatReply(config.params, config.reply));
    const QByteArray next = port.readUntil(1000, [](const QByteArray& d) { return !d.isEmpty(); });
    QCOMPARE(next, QByteArray("5"));
    QVERIFY2(timer.elapsed() >= 300, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(next + port.readUntil(1000, [](const QByteArray& d) { return countCr(d) >= 2; }),
             QByteArray("5x\r5x\r"));
    QCOMPARE(device.counters().recordsSent, 3);
}

void TestSimDeviceE2e::programIdlesAndExitsCleanly() {
    QString program = qEnvironmentVariable("KTR6_SIM_BINARY");
    if (program.isEmpty())
        program = QCoreApplication::applicationDirPath() + QStringLiteral("/ktr6-sim");
    QVERIFY2(QFile::exists(program), qPrintable(program));
    QProcess sim;
    sim.start(program, {"--dir", dir_->path(), "--name", "com3", "--rate", "1:50,2:0"});
    QVERIFY(sim.waitForStarted(5000));
    QVERIFY(waitForOutput(sim, "listening on", 5000).contains("listening on"));
    const QString link = dir_->filePath(QStringLiteral("com3"));
    QVERIFY(linkExists(link));
    sim.write("rec 3 100\n");
    QVERIFY(waitForOutput(sim, "ok", 2000).contains("ok"));

    // Nobody has the port open: a timed and an as-fast-as-possible stream plus records that
    // wait must not keep a core busy.
    const double neverOpened = cpuShare(sim.processId(), 2000);
    qInfo("CPU while the port was never opened: %.1f %%", neverOpened * 100);
    QVERIFY2(neverOpened < 0.05, qPrintable(QString::number(neverOpened)));

    PcPort port;
    QVERIFY(port.open(link));
    const QByteArray data =
        port.readUntil(3000, [](const QByteArray& d) { return d.count("3\r") >= 100; });
    QCOMPARE(data.count("3\r"), 100);
    port.close();

    const double closedAgain = cpuShare(sim.processId(), 2000);
    qInfo("CPU after the port was closed: %.1f %%", closedAgain * 100);
    QVERIFY2(closedAgain < 0.05, qPrintable(QString::number(closedAgain)));
    sim.write("stats\n");
    const QByteArray stats = waitForOutput(sim, "streaming=", 2000);
    QVERIFY2(stats.contains(" opens=1 ") && stats.contains(" portopen=0 "), stats.constData());

    ::kill(pid_t(sim.processId()), SIGTERM);
    QVERIFY(sim.waitForFinished(3000));
    QCOMPARE(sim.exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.exitCode(), 0);
    QVERIFY(!linkExists(link));
}

void TestSimDeviceE2e::storesBlockSentInPieces_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("gapMs");
    QTest::addColumn<int>("numeratorShift");
    QTest::newRow("20 ms apart") << "none" << 20 << 0;
    QTest::newRow("store-different") << "store-different" << 2 << 1;
}

void TestSimDeviceE2e::storesBlockSentInPieces() {
    QFETCH(QString, fault);
    QFETCH(int, gapMs);
    QFETCH(int, numeratorShift);
    SimConfig config;
    config.fault = *parseFault(fault);
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));

    // IN 1 numerator 0x2A2C carries "*" and ",", which inside a block are only data.
    const QList<int> numerators{0x2A2C, 300, 65535, 0, 7, 256};
    const QList<int> divisors{1, 0x2C2A, 4, 65300, 1, 2};
    const QByteArray block = writeBlock(numerators, divisors, 0b010101, 200);

    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    QVERIFY(port.writeSlowly("," + block, gapMs));
    QVERIFY(waitFor(500, [&] { return device.counters().writeBlocks == 1; }));
    QCOMPARE(port.readFor(50), QByteArray()); // a write is not answered

    const std::optional<ReadReply> read = readReply(askParams(port));
    QVERIFY(read);
    QCOMPARE(read->numerator(1), (numerators[0] + numeratorShift) & 0xffff);
    for (int input = 2; input <= 6; ++input)
        QCOMPARE(read->numerator(input), numerators[input - 1]);
    for (int input = 1; input <= 6; ++input)
        QCOMPARE(read->divisor(input), divisors[input - 1]);
    QCOMPARE(read->number(25), 0b010101);
    QCOMPARE(read->output.toInt(), 200);
    QCOMPARE(int(device.storedParams().numerators[0]), numerators[0] + numeratorShift);
}

void TestSimDeviceE2e::recordsArriveWhole_data() {
    QTest::addColumn<QByteArray>("pattern");
    QTest::addColumn<int>("count");
    QTest::addColumn<QByteArray>("filler");
    QTest::addColumn<int>("splitMs");
    QTest::newRow("burst of 200 over four channels")
        << QByteArray("1278") << 200 << QByteArray() << 0;
    QTest::newRow("filler") << QByteArray("36") << 20 << QByteArray("ab 9") << 0;
    QTest::newRow("split 30 ms") << QByteArray("5") << 3 << QByteArray("x") << 30;
}

void TestSimDeviceE2e::recordsArriveWhole() {
    QFETCH(QByteArray, pattern);
    QFETCH(int, count);
    QFETCH(QByteArray, filler);
    QFETCH(int, splitMs);
    SimConfig config;
    config.records = RecordStyle{filler, splitMs};
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    port.flushInput();

    QElapsedTimer timer;
    timer.start();
    device.sendBurst(count, pattern);
    QByteArray data;
    if (splitMs > 0) {
        // The digit comes alone; the rest only after the pause.
        data = port.readUntil(500, [](const QByteArray& d) { return !d.isEmpty(); });
        QCOMPARE(data, pattern.left(1));
    }
    data += port.readUntil(3000, [&](const QByteArray& d) { return countCr(d) >= count; });
    if (splitMs > 0)
        QVERIFY2(timer.elapsed() >= count * splitMs - 5,
                 qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(countCr(data + port.readFor(splitMs + 50)), count);

    const QList<QByteArray> records = data.split('\r');
    QCOMPARE(records.size(), count + 1);
    QVERIFY(records.last().isEmpty());
    for (int i = 0; i < count; ++i) {
        const char channel = pattern[i % pattern.size()];
        QCOMPARE(records[i], QByteArray(1, channel) + filler);
    }
}

void TestSimDeviceE2e::unthrottledStreamLosesNothing() {
    SimDevice device;
    QVERIFY(device.start(dir_->path()));
    PcPort port;
    QVERIFY(port.open(device.linkPath()));
    port.flushInput();

    StreamConfig stream;
    stream.rates = {{1, 0.0}, {8, 0.0}};
    stream.countLimit = 20000;
    device.startStream(stream);
    // Read slowly at first, so the pty fills up and the device has to wait for room.
    QThread::msleep(200);
    const QByteArray data =
        port.readUntil(5000, [](const QByteArray& d) { return countCr(d) >= 20000; });
    QCOMPARE(countCr(data + port.readFor(100)), 20000);
    QCOMPARE(data.count("1\r"), 10000);
    QCOMPARE(data.count("8\r"), 10000);
    QCOMPARE(device.counters().recordsSent, 20000);
    QCOMPARE(device.counters().recordsDropped, 0);
    QVERIFY(!device.streaming());
}

void TestSimDeviceE2e::replyTiming_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<bool>("answersLater");
    QTest::newRow("silence") << "silence" << false;
    QTest::newRow("late=300") << "late=300" << true;
}

void TestSimDeviceE2e::replyTiming() {
    QFETCH(QString, fault);
    QFETCH(bool, answersLater);
    SimConfig config;
    config.fault = *parseFault(fault);
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    PcPort port;
    QVERIFY(port.open(device.linkPath()));

    QCOMPARE(askParams(port), QByteArray());
    const QByteArray later =
        port.readUntil(250, [](const QByteArray& d) { return d.endsWith("\r\n"); });
    QCOMPARE(readReply(later).has_value(), answersLater);

    device.setFault({});
    QVERIFY(readReply(askParams(port)));
}

void TestSimDeviceE2e::hangup_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("reopenMs");
    QTest::newRow("on *, stays away") << "hangup" << -1;
    QTest::newRow("on *, re-plugged") << "hangup" << 100;
    QTest::newRow("after 3 bytes") << "hangup=3" << -1;
}

void TestSimDeviceE2e::hangup() {
    QFETCH(QString, fault);
    QFETCH(int, reopenMs);
    SimConfig config;
    config.fault = *parseFault(fault);
    config.reopenMs = reopenMs;
    SimDevice device(config);
    QVERIFY(device.start(dir_->path()));
    const QString oldSlave = device.slavePath();
    PcPort port;
    QVERIFY(port.open(device.linkPath()));

    if (fault == QLatin1String("hangup=3")) {
        // Two bytes still get answers; the third is the last thing the device hears.
        port.write("**");
        const QByteArray replies =
            port.readUntil(500, [](const QByteArray& d) { return d.count("\r\n") == 2; });
        QCOMPARE(replies.count("\r\n"), 2);
        QVERIFY(linkExists(device.linkPath()));
        port.write("x");
    } else {
        port.write("*");
    }
    QVERIFY(waitFor(500, [&] { return !linkExists(device.linkPath()); }));
    QVERIFY(waitFor(500, [&] { return port.hungUp(); }));
    QCOMPARE(device.counters().hangups, 1);

    if (reopenMs < 0) {
        QThread::msleep(150);
        QVERIFY(!linkExists(device.linkPath()));
        return;
    }
    QVERIFY(waitFor(1000, [&] { return linkExists(device.linkPath()); }));
    QVERIFY(device.slavePath() != oldSlave);
    PcPort replugged;
    QVERIFY(replugged.open(device.linkPath()));
    QVERIFY(readReply(askParams(replugged))); // the fault was used up by the hang-up
}

void TestSimDeviceE2e::linkLifecycle() {
    const QString stale = dir_->filePath(QStringLiteral("com1"));
    QVERIFY(QFile::link(QStringLiteral("/nonexistent/pts/99"), stale));
    const QString regular = dir_->filePath(QStringLiteral("com2"));
    {
        QFile file(regular);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    }

    SimDevice taken;
    QString error;
    QVERIFY(!taken.start(dir_->path(), QStringLiteral("com2"), &error));
    QVERIFY(!error.isEmpty());
    QFile file(regular);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("keep me"));

    SimDevice device;
    QVERIFY(device.start(dir_->path(), QStringLiteral("com1")));
    QCOMPARE(device.linkPath(), stale);
    QCOMPARE(QFile::symLinkTarget(stale), device.slavePath());
    device.stop();
    QVERIFY(!linkExists(stale));
}

QTEST_GUILESS_MAIN(TestSimDeviceE2e)
#include "tst_simdevice_e2e.moc"
