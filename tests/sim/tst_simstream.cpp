// Which on-line records go out when, and in what order bytes reach the pty.

#include "OutputQueue.h"
#include "Records.h"
#include "RelayModel.h"
#include "Reply.h"
#include "SimSettings.h"

#include <QTest>

using namespace ktr6sim;

namespace {

// Runs a scheduler over simulated time and counts records per channel.
std::map<int, int> runFor(RecordScheduler& scheduler, qint64 fromMs, qint64 toMs, qint64 stepMs) {
    std::map<int, int> counts;
    for (qint64 t = fromMs; t <= toMs; t += stepMs) {
        for (int channel : scheduler.take(t, 0))
            ++counts[channel];
    }
    return counts;
}

// A pty stand-in that takes at most `room` bytes, then refuses.
struct FakePty {
    QByteArray taken;
    qsizetype room = 1 << 20;

    OutputQueue::Writer writer() {
        return [this](const char* data, qsizetype len) {
            const qsizetype n = qMin(len, room);
            taken.append(data, n);
            room -= n;
            return n;
        };
    }
};

// A relay model on a line whose PC side has the port open, driven on a virtual clock.
struct ModelRig {
    SimSettings settings;
    TraceLog trace;
    RelayModel model{settings, trace};
    FakePty pty;
    std::map<qint64, QByteArray> written; // what reached the line, by the moment it did

    explicit ModelRig(const SimConfig& config = {}) : settings(config) {
        model.plugged();
        model.portOpened();
    }
    // One turn of the I/O loop at t.
    void step(qint64 t) {
        model.advance(t);
        if (!model.wantsToSend(t))
            return;
        const QByteArray bytes = model.send(t, pty.writer());
        if (!bytes.isEmpty())
            written[t] += bytes;
    }
};

} // namespace

class TestSimStream : public QObject {
    Q_OBJECT

private slots:
    void rates_data();
    void rates();
    void burstsCycleThePattern();
    void countLimitStopsTheStream();
    void unthrottledChannelsTakeTurns();
    void absurdRatesCostNoMemory();
    void rateAndBurstParsing_data();
    void rateAndBurstParsing();
    void splitRecordPauses();
    void replyOvertakesWaitingRecords();
    void recordLimitDropsOnlyWhenFull();
    void holdLetsOnlyRepliesStart();
    void closedPortDropsAllButRequested_data();
    void closedPortDropsAllButRequested();
    void readAnsweredAfterItsDelay_data();
    void readAnsweredAfterItsDelay();
    void recordsHeldAroundRequest_data();
    void recordsHeldAroundRequest();
};

void TestSimStream::rates_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("durationMs");
    QTest::addColumn<QList<int>>("channels");
    QTest::addColumn<QList<int>>("counts");

    QTest::newRow("1:5,3:20 for a second")
        << "1:5,3:20" << 1000 << QList<int>{1, 3} << QList<int>{5, 20};
    QTest::newRow("half a record per second") << "2:0.5" << 4000 << QList<int>{2} << QList<int>{2};
    QTest::newRow("V1 and V2 at 100/s")
        << "7:100,8:100" << 500 << QList<int>{7, 8} << QList<int>{50, 50};
}

void TestSimStream::rates() {
    QFETCH(QString, text);
    QFETCH(int, durationMs);
    QFETCH(QList<int>, channels);
    QFETCH(QList<int>, counts);

    StreamConfig config;
    config.rates = *parseRates(text);
    RecordScheduler scheduler;
    scheduler.start(config, 1000);
    const std::map<int, int> seen = runFor(scheduler, 1000, 1000 + durationMs, 5);
    QCOMPARE(seen.size(), size_t(channels.size()));
    for (qsizetype i = 0; i < channels.size(); ++i)
        QCOMPARE(seen.at(channels[i]), counts[i]);
}

void TestSimStream::burstsCycleThePattern() {
    StreamConfig config;
    QVERIFY(parseBurst(QStringLiteral("5:127"), &config));
    config.burstIntervalMs = 100;
    RecordScheduler scheduler;
    scheduler.start(config, 0);

    QCOMPARE(scheduler.take(0, 0), (QList<int>{1, 2, 7, 1, 2}));
    QCOMPARE(scheduler.take(99, 0), QList<int>{});
    QCOMPARE(scheduler.nextDueMs(), 100);
    QCOMPARE(scheduler.take(100, 0), (QList<int>{1, 2, 7, 1, 2}));

    config.burstIntervalMs = 0; // a single burst, then the stream is over
    scheduler.start(config, 0);
    QCOMPARE(scheduler.take(0, 0).size(), 5);
    QVERIFY(!scheduler.active());
    QCOMPARE(scheduler.take(5000, 0), QList<int>{});
}

void TestSimStream::countLimitStopsTheStream() {
    StreamConfig config;
    config.rates = {{1, 1000.0}};
    config.burstSize = 4;
    config.burstPattern = "3";
    config.burstIntervalMs = 0;
    config.countLimit = 7;
    RecordScheduler scheduler;
    scheduler.start(config, 0);

    const std::map<int, int> seen = runFor(scheduler, 0, 1000, 1);
    QCOMPARE(seen.at(3), 4);
    QCOMPARE(seen.at(1), 3);
    QCOMPARE(scheduler.produced(), 7);
    QVERIFY(!scheduler.active());

    config.countLimit = 0;
    scheduler.start(config, 0);
    QCOMPARE(scheduler.take(0, 10), QList<int>{});
}

void TestSimStream::unthrottledChannelsTakeTurns() {
    StreamConfig config;
    config.rates = {{1, 0.0}, {2, 0.0}};
    RecordScheduler scheduler;
    scheduler.start(config, 0);
    QVERIFY(scheduler.unthrottled());
    QCOMPARE(scheduler.take(0, 0), QList<int>{});
    QCOMPARE(scheduler.take(0, 5), (QList<int>{1, 2, 1, 2, 1}));
    QCOMPARE(scheduler.take(0, 2), (QList<int>{2, 1}));
}

void TestSimStream::absurdRatesCostNoMemory() {
    StreamConfig config;
    config.rates = {{1, 1048576.0}}; // 2^20 records/s: the periods add up exactly
    RecordScheduler scheduler;
    scheduler.start(config, 0);
    // A second's records at once, more than any queue takes: only a batch is listed.
    QCOMPARE(scheduler.take(1000, 0).size(), RecordScheduler::kTimedBatch);

    // Nobody reads: records fall due and are counted, none is kept.
    qint64 lost = -1;
    QCOMPARE(scheduler.take(2000, 0, 100, &lost).size(), 100);
    QCOMPARE(lost, 1048576 - 100);
    QCOMPARE(scheduler.take(3000, 0, 0, &lost), QList<int>{});
    QCOMPARE(lost, 1048576);
    QCOMPARE(scheduler.produced(), 3 * 1048576);

    // A rate no number can space out still ends its take at once and waits for the clock.
    config.rates = {{1, 1e308}};
    scheduler.start(config, 0);
    QCOMPARE(scheduler.take(1000, 0, 10, &lost).size(), 10);
    QVERIFY(lost > 0);
    QVERIFY(scheduler.nextDueMs() > 1000);
}

void TestSimStream::rateAndBurstParsing_data() {
    QTest::addColumn<QString>("rate");
    QTest::addColumn<QString>("burst");
    QTest::addColumn<bool>("valid");

    QTest::newRow("good") << "1:5,3:20"
                          << "10:1278" << true;
    QTest::newRow("rate 0 is as fast as possible") << "8:0"
                                                   << "1" << true;
    QTest::newRow("channel 9") << "9:1"
                               << "1" << false;
    QTest::newRow("negative rate") << "1:-1"
                                   << "1" << false;
    QTest::newRow("empty rate") << ""
                                << "1" << false;
    QTest::newRow("more than a 32767 Bd line carries") << "1:1e9"
                                                       << "1" << false;
    QTest::newRow("together more than a line carries") << "1:1000,2:700"
                                                       << "1" << false;
    QTest::newRow("not a number") << "1:nan"
                                  << "1" << false;
    QTest::newRow("eight channels sharing the line") << "1:204.79375,2:204.79375,3:204.79375,"
                                                        "4:204.79375,5:204.79375,6:204.79375,"
                                                        "7:204.79375,8:204.79375"
                                                     << "1" << true;
    QTest::newRow("burst of 0") << "1:1"
                                << "0" << false;
    QTest::newRow("burst pattern with 9") << "1:1"
                                          << "3:129" << false;
}

void TestSimStream::rateAndBurstParsing() {
    QFETCH(QString, rate);
    QFETCH(QString, burst);
    QFETCH(bool, valid);
    StreamConfig config;
    QString error;
    const bool ok = parseRates(rate, &error).has_value() && parseBurst(burst, &config, &error);
    QCOMPARE(ok, valid);
    QCOMPARE(error.isEmpty(), valid);
}

void TestSimStream::splitRecordPauses() {
    OutputQueue queue;
    FakePty pty;
    QVERIFY(queue.pushRecord("3ab\r", 1, 30));
    QVERIFY(queue.pushRecord("4\r"));

    OutputQueue::Progress progress = queue.drain(0, pty.writer());
    QCOMPARE(progress.written, QByteArray("3"));
    QCOMPARE(progress.recordsCompleted, 0);
    QVERIFY(!queue.writable(29));
    QCOMPARE(queue.resumeAtMs(), 30);

    // A reply asked for during the pause waits for the record to finish.
    queue.pushReply("R");
    QCOMPARE(queue.drain(29, pty.writer()).written, QByteArray());
    progress = queue.drain(30, pty.writer());
    QCOMPARE(progress.written, QByteArray("ab\rR4\r"));
    QCOMPARE(progress.recordsCompleted, 2);
    QVERIFY(queue.empty());
}

void TestSimStream::replyOvertakesWaitingRecords() {
    OutputQueue queue;
    FakePty pty;
    queue.pushRecord("1xx\r");
    queue.pushRecord("2xx\r");
    pty.room = 2;
    OutputQueue::Progress progress = queue.drain(0, pty.writer());
    QVERIFY(progress.blocked);
    QCOMPARE(progress.written, QByteArray("1x"));

    queue.pushReply("A");
    queue.pushReply("B");
    pty.room = 100;
    progress = queue.drain(0, pty.writer());
    QCOMPARE(pty.taken, QByteArray("1xx\rAB2xx\r"));
    QCOMPARE(progress.recordsCompleted, 2);
    QVERIFY(!progress.blocked);
}

void TestSimStream::recordLimitDropsOnlyWhenFull() {
    OutputQueue queue;
    FakePty pty;
    queue.setRecordLimit(8);
    for (int i = 0; i < 4; ++i)
        QVERIFY(queue.pushRecord("1\r"));
    QVERIFY(!queue.pushRecord("1\r"));
    queue.pushReply(QByteArray(100, 'g')); // replies are never refused
    QCOMPARE(queue.recordBytes(), 8);
    queue.drain(0, pty.writer());
    QCOMPARE(queue.recordBytes(), 0);
    QVERIFY(queue.pushRecord("1\r"));
    QCOMPARE(pty.taken.size(), 108);
}

void TestSimStream::holdLetsOnlyRepliesStart() {
    OutputQueue queue;
    FakePty pty;
    QVERIFY(queue.pushRecord("1ab\r", 1, 30));
    QCOMPARE(queue.drain(0, pty.writer()).written, QByteArray("1"));
    QVERIFY(queue.pushRecord("2\r"));
    queue.pushReply("K");
    QVERIFY(queue.replyPending());

    // While held, the record already on the wire is finished and the reply goes out, but the
    // next record does not start.
    QVERIFY(!queue.writable(29, true));
    OutputQueue::Progress progress = queue.drain(30, pty.writer(), true);
    QCOMPARE(progress.written, QByteArray("ab\rK"));
    QCOMPARE(progress.recordsCompleted, 1);
    QCOMPARE(progress.repliesCompleted, 1);
    QVERIFY(!progress.blocked); // held is not full: the device must not wait for POLLOUT
    QVERIFY(!queue.replyPending());
    QVERIFY(!queue.writable(30, true));
    QVERIFY(queue.writable(30, false));
    QCOMPARE(queue.drain(30, pty.writer(), true).written, QByteArray());

    progress = queue.drain(31, pty.writer());
    QCOMPARE(progress.written, QByteArray("2\r"));
    QCOMPARE(progress.repliesCompleted, 0);
    QVERIFY(queue.empty());
}

void TestSimStream::closedPortDropsAllButRequested_data() {
    // Each record starts with its origin: "s" stream, "r" requested.
    QTest::addColumn<QList<QByteArray>>("records");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("splitMs"); // records pause after their digit
    QTest::addColumn<int>("room");    // bytes the PC side took before it closed the port
    QTest::addColumn<int>("droppedRecords");
    QTest::addColumn<int>("droppedReplies");
    QTest::addColumn<QByteArray>("after"); // written after it opens again, "|" at the pause

    QTest::newRow("stream records are lost")
        << QList<QByteArray>{"s1\r", "s2\r"} << QByteArray() << 0 << 0 << 2 << 0 << QByteArray("|");
    QTest::newRow("requested records wait, the reply is lost")
        << QList<QByteArray>{"r3\r", "s1\r", "r4\r"} << QByteArray("K6:") << 0 << 0 << 1 << 1
        << QByteArray("3\r4\r|");
    QTest::newRow("stream record cut short is lost")
        << QList<QByteArray>{"s1abc\r", "r5\r"} << QByteArray() << 0 << 2 << 1 << 0
        << QByteArray("5\r|");
    QTest::newRow("requested record cut short starts over")
        << QList<QByteArray>{"r6abc\r", "s1\r"} << QByteArray() << 0 << 3 << 1 << 0
        << QByteArray("6abc\r|");
    QTest::newRow("split requested record starts over with its pause")
        << QList<QByteArray>{"r6ab\r"} << QByteArray() << 10 << 1 << 0 << 0 << QByteArray("6|ab\r");
    QTest::newRow("reply on the wire is lost") << QList<QByteArray>{"r7\r"} << QByteArray("K6:012,")
                                               << 0 << 3 << 0 << 1 << QByteArray("7\r|");
}

void TestSimStream::closedPortDropsAllButRequested() {
    QFETCH(QList<QByteArray>, records);
    QFETCH(QByteArray, reply);
    QFETCH(int, splitMs);
    QFETCH(int, room);
    QFETCH(int, droppedRecords);
    QFETCH(int, droppedReplies);
    QFETCH(QByteArray, after);

    OutputQueue queue;
    qsizetype requestedBytes = 0;
    for (const QByteArray& record : records) {
        const bool requested = record.startsWith('r');
        QVERIFY(queue.pushRecord(record.mid(1), 1, splitMs,
                                 requested ? RecordOrigin::Requested : RecordOrigin::Stream));
        if (requested)
            requestedBytes += record.size() - 1;
    }
    if (!reply.isEmpty())
        queue.pushReply(reply);
    FakePty pty;
    pty.room = room;
    queue.drain(0, pty.writer());

    const OutputQueue::Dropped dropped = queue.dropForClosedPort();
    QCOMPARE(dropped.streamRecords, droppedRecords);
    QCOMPARE(dropped.replies, droppedReplies);
    QVERIFY(!queue.replyPending());
    QCOMPARE(queue.recordBytes(), requestedBytes);

    FakePty reopened;
    const QByteArray first = queue.drain(1000, reopened.writer()).written;
    const QByteArray second = queue.drain(1000 + splitMs, reopened.writer()).written;
    QCOMPARE(first + '|' + second, after);
    QVERIFY(queue.empty());
    QCOMPARE(queue.recordBytes(), 0);
}

void TestSimStream::readAnsweredAfterItsDelay_data() {
    QTest::addColumn<QString>("fault");
    QTest::addColumn<int>("delayMs"); // -1: never answered

    QTest::newRow("at once") << "none" << 0;
    QTest::newRow("short, at once") << "short=20" << 0;
    QTest::newRow("late=1") << "late=1" << 1;
    QTest::newRow("late=300") << "late=300" << 300;
    QTest::newRow("silence") << "silence" << -1;
}

void TestSimStream::readAnsweredAfterItsDelay() {
    QFETCH(QString, fault);
    QFETCH(int, delayMs);
    SimConfig config;
    config.fault = *parseFault(fault);
    ModelRig rig(config);
    const qint64 due = delayMs < 0 ? -1 : 1000 + delayMs;

    QVERIFY(rig.model.receive("*", 1000) == RelayModel::HangUp::No);
    for (qint64 t = 1000; t <= 2000 && rig.written.empty(); ++t) {
        // The I/O loop wakes for output it may write (POLLOUT) or at the next event: never
        // past the answer.
        if (due >= 0 && !rig.model.wantsToSend(t)) {
            const qint64 next = rig.model.nextEventMs(t);
            QVERIFY2(next >= t && next <= due, qPrintable(QString::number(next)));
        }
        rig.step(t);
    }
    const std::map<qint64, QByteArray> expected =
        due < 0 ? std::map<qint64, QByteArray>{}
                : std::map<qint64, QByteArray>{
                      {due, formatReply(config.params, config.reply, config.fault)}};
    QCOMPARE(rig.written, expected);
    QCOMPARE(rig.model.counters().readRequests, 1);
}

void TestSimStream::recordsHeldAroundRequest_data() {
    QTest::addColumn<QByteArray>("input"); // from the PC side at 1000 ms; empty: it discards
    QTest::addColumn<bool>("answered");
    QTest::addColumn<int>("releaseMs");

    const QByteArray block(26, '\1');
    QTest::newRow("read: 250 ms after the reply") << QByteArray("*") << true << 1250;
    QTest::newRow("write: 250 ms after the block") << "," + block << false << 1250;
    QTest::newRow("discard: 50 ms") << QByteArray() << false << 1050;
    QTest::newRow("write that stops coming: 1 s") << "," + block.left(10) << false << 2000;
}

void TestSimStream::recordsHeldAroundRequest() {
    QFETCH(QByteArray, input);
    QFETCH(bool, answered);
    QFETCH(int, releaseMs);
    ModelRig rig;
    StreamConfig stream;
    stream.rates = {{8, 100.0}}; // due every 10 ms from 1010 ms
    rig.model.startStream(stream, 1000);
    if (input.isEmpty())
        rig.model.pcSideDiscarded(1000);
    else
        QVERIFY(rig.model.receive(input, 1000) == RelayModel::HangUp::No);
    QVERIFY(rig.model.sendBurst(2, "12"));

    for (qint64 t = 1000; t <= releaseMs; ++t)
        rig.step(t);

    // Nothing but the reply before the release; then the records asked for, which waited, and
    // the stream record due then. Stream records due meanwhile are lost.
    QCOMPARE(rig.written.size(), size_t(answered ? 2 : 1));
    if (answered)
        QCOMPARE(rig.written.begin()->second, formatReply(ParamSet{}, ReplyStyle{}));
    QCOMPARE(rig.written.rbegin()->first, qint64(releaseMs));
    const QByteArray released = rig.written.rbegin()->second;
    QVERIFY2(released.contains("1\r2\r") && released.count('8') == 1, released.constData());
    QCOMPARE(rig.model.counters().recordsDropped, (releaseMs - 1010) / 10);
}

QTEST_GUILESS_MAIN(TestSimStream)
#include "tst_simstream.moc"
