// The simulator over a real pty, with this test acting as the PC side.

#include "PcPort.h"
#include "ReplyReader.h"
#include "SimDevice.h"

#include <QTemporaryDir>
#include <QTest>

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

} // namespace

class TestSimDeviceE2e : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void answersReadWithinWindow_data();
    void answersReadWithinWindow();
    void portSurvivesCloseAndReopen();
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
    // The PC side opens and closes the port for every transaction; records sent meanwhile
    // pile up unread and must not stall the device.
    for (int round = 0; round < 3; ++round) {
        PcPort port;
        QVERIFY(port.open(device.linkPath()));
        QVERIFY(readReply(askParams(port)));
        port.close();
        device.sendRecords(2, 3000);
        QThread::msleep(20);
    }
    QVERIFY(device.isConnected());
    QCOMPARE(device.counters().hangups, 0);
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
    QByteArray block;
    for (const QList<int>& words : {numerators, divisors}) {
        for (int word : words) {
            block += char(word & 0xff);
            block += char(word >> 8);
        }
    }
    block += char(0b010101);
    block += char(200);

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
