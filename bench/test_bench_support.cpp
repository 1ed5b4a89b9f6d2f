// The measuring tools must not lie: the copy of the first handler design has
// to lose exactly what that design lost, the relay-side tally has to see
// every record on the line, and the figures read back from totals, /proc and
// the event loop have to be right.

#include "BenchSupport.h"
#include "FirstRecordOnlyHandler.h"
#include "Report.h"

#include "core/Others.h"
#include "resources/Resources.h"
#include "support/ScriptedPort.h"
#include "views/Lamp.h"
#include "views/OnLine.h"

#include <QEventLoop>
#include <QLineEdit>
#include <QTest>
#include <QThread>
#include <QTimer>

using namespace bench;

namespace {

// Hands out one scripted chunk per Input call, as the line delivers them while
// the handler keeps reading; nothing once they are used up.
class ChunkPort : public ScriptedPort {
public:
    QList<QByteArray> chunks;
    int inputs = 0;
    QByteArray Input() override {
        ++inputs;
        return chunks.isEmpty() ? QByteArray() : chunks.takeFirst();
    }
};

void runLoop(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

using Counts = QList<qint64>;

} // namespace

class TestBenchSupport : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void firstRecordOnlyOneRun_data();
    void firstRecordOnlyOneRun();
    void firstRecordOnlyAccumulatesInText_data();
    void firstRecordOnlyAccumulatesInText();
    void firstRecordOnlyIgnoresOtherEvents();

    void tallyCountsRecordsOnTheLine_data();
    void tallyCountsRecordsOnTheLine();

    void recordsInTotal_data();
    void recordsInTotal();
    void lineLimit_data();
    void lineLimit();
    void median_data();
    void median();
    void statusField_data();
    void statusField();
    void grouped_data();
    void grouped();

    void stallProbeSeesABlockedLoop();
};

void TestBenchSupport::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
}

void TestBenchSupport::init() {
    Others::resetAll();
    // {sign, numerator, divisor}: IN 1 +1/4, IN 2 -1/4, IN 3 +1/3, IN 4 +1, IN 5 +1/65535,
    // IN 6 +7/10; outputs add 5.
    Others::ParamTable = {{{1, 1, 4}, {0, 1, 4}, {1, 1, 3}, {1, 1, 1}, {1, 1, 65535}, {1, 7, 10}}};
    Others::OutputParam = 5;
}

void TestBenchSupport::firstRecordOnlyOneRun_data() {
    QTest::addColumn<QList<QByteArray>>("chunks"); // what each Input of the run returns
    QTest::addColumn<int>("reads");
    QTest::addColumn<Counts>("counted");    // per channel IN 1..IN 6, V1, V2
    QTest::addColumn<QStringList>("boxes"); // texts afterwards

    const QStringList zeros(8, QStringLiteral("0"));
    auto boxes = [&](int k, const QString& text) {
        QStringList list = zeros;
        list[k] = text;
        return list;
    };
    auto one = [](int k) {
        Counts c(8, 0);
        c[k] = 1;
        return c;
    };
    QTest::newRow("record whole: one more read")
        << QList<QByteArray>{"3\r"} << 2 << one(2) << boxes(2, QStringLiteral("0.33"));
    QTest::newRow("CR in a later read")
        << QList<QByteArray>{"4", "", "\r"} << 3 << one(3) << boxes(3, QStringLiteral("1.0"));
    QTest::newRow("second record in the run is lost")
        << QList<QByteArray>{"2\r6\r"} << 2 << one(1) << boxes(1, QStringLiteral("-0.25"));
    QTest::newRow("record completed with the next one lost")
        << QList<QByteArray>{"1", "\r8\r"} << 2 << one(0) << boxes(0, QStringLiteral("0.25"));
    QTest::newRow("filler ignored")
        << QList<QByteArray>{"4ab\r"} << 2 << one(3) << boxes(3, QStringLiteral("1.0"));
    QTest::newRow("output V1") << QList<QByteArray>{"7\r"} << 2 << one(6)
                               << boxes(6, QStringLiteral("5"));
    QTest::newRow("output V2 leaves V1")
        << QList<QByteArray>{"8\r"} << 2 << one(7) << boxes(7, QStringLiteral("5"));
    QTest::newRow("CR left over from a cut record")
        << QList<QByteArray>{"\r5\r"} << 2 << Counts(8, 0) << zeros;
    QTest::newRow("no such channel") << QList<QByteArray>{"9\r"} << 2 << Counts(8, 0) << zeros;
}

void TestBenchSupport::firstRecordOnlyOneRun() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(int, reads);
    QFETCH(Counts, counted);
    QFETCH(QStringList, boxes);

    OnLine view;
    FirstRecordOnlyHandler handler(view);
    ChunkPort port;
    port.chunks = chunks;
    QObject::connect(&port, &MSComm::OnComm, [&] { handler.onComm(port); });
    port.raise(comm::kEvReceive);

    QCOMPARE(port.inputs, reads);
    QCOMPARE(handler.reads(), qint64(reads));
    QCOMPARE(handler.runs(), qint64(1));
    QCOMPARE(handler.abandoned(), qint64(0));
    for (int k = 0; k < kChannels; ++k) {
        QCOMPARE(handler.counted(k), counted[k]);
        QCOMPARE(view.Text1(k)->text(), boxes[k]);
        // The channel's indicator lights, and its timer runs, only for a counted record.
        QCOMPARE(view.Shape1(k)->fillColor() == OnLine::kRed, counted[k] == 1);
        QCOMPARE(view.Timer(k)->isActive(), counted[k] == 1);
    }
}

void TestBenchSupport::firstRecordOnlyAccumulatesInText_data() {
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("start"); // the box's text before the first record
    QTest::addColumn<QStringList>("shown");

    QTest::newRow("quarter up") << 0 << QStringLiteral("0")
                                << QStringList{"0.25", "0.5", "0.75", "1.0"};
    QTest::newRow("quarter down") << 1 << QStringLiteral("0")
                                  << QStringList{"-0.25", "-0.5", "-0.75", "-1.0"};
    // The total is the rounded text, so thirds drift: 0.99 + 0.33, never 1.0.
    QTest::newRow("thirds drift") << 2 << QStringLiteral("0")
                                  << QStringList{"0.33", "0.66", "0.99", "1.32", "1.65"};
    QTest::newRow("too small to show")
        << 4 << QStringLiteral("0") << QStringList{"0.0", "0.0", "0.0"};
    QTest::newRow("typed start") << 5 << QStringLiteral("100") << QStringList{"100.7", "101.4"};
    QTest::newRow("output") << 6 << QStringLiteral("0") << QStringList{"5", "10", "15"};
}

void TestBenchSupport::firstRecordOnlyAccumulatesInText() {
    QFETCH(int, channel);
    QFETCH(QString, start);
    QFETCH(QStringList, shown);

    OnLine view;
    view.Text1(channel)->setText(start);
    FirstRecordOnlyHandler handler(view);
    ChunkPort port;
    QObject::connect(&port, &MSComm::OnComm, [&] { handler.onComm(port); });
    for (const QString& expected : shown) {
        port.chunks = {QByteArray(1, char('1' + channel)) + '\r'};
        port.raise(comm::kEvReceive);
        QCOMPARE(view.Text1(channel)->text(), expected);
    }
    QCOMPARE(handler.countedTotal(), qint64(shown.size()));
}

void TestBenchSupport::firstRecordOnlyIgnoresOtherEvents() {
    OnLine view;
    FirstRecordOnlyHandler handler(view);
    ChunkPort port;
    port.chunks = {"1\r"};
    QObject::connect(&port, &MSComm::OnComm, [&] { handler.onComm(port); });
    for (const int16_t event : {comm::kErFrame, comm::kEvCTS, comm::kErDeviceLost})
        port.raise(event);
    QCOMPARE(port.inputs, 0);
    QCOMPARE(handler.runs(), qint64(0));
    QCOMPARE(view.Text1(0)->text(), QStringLiteral("0"));
    QCOMPARE(view.Shape1(0)->fillColor(), OnLine::kLightPeach);
}

void TestBenchSupport::tallyCountsRecordsOnTheLine_data() {
    QTest::addColumn<QList<QByteArray>>("before"); // written before counting starts
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<Counts>("counted");

    QTest::newRow("records in one chunk")
        << QList<QByteArray>{} << QList<QByteArray>{"1\r2\r2\r8\r"}
        << Counts{1, 2, 0, 0, 0, 0, 0, 1};
    QTest::newRow("record cut across chunks")
        << QList<QByteArray>{} << QList<QByteArray>{"3", "ab", "\r4", "\r"}
        << Counts{0, 0, 1, 1, 0, 0, 0, 0};
    QTest::newRow("reply before the records")
        << QList<QByteArray>{} << QList<QByteArray>{"K6:001,000,\r\n", "5\r"}
        << Counts{0, 0, 0, 0, 1, 0, 0, 0};
    QTest::newRow("not channels") << QList<QByteArray>{} << QList<QByteArray>{"0\r9\rx\r\r"}
                                  << Counts(8, 0);
    QTest::newRow("only after start") << QList<QByteArray>{"1\r1\r"} << QList<QByteArray>{"1\r"}
                                      << Counts{1, 0, 0, 0, 0, 0, 0, 0};
    QTest::newRow("record begun before start counts when it ends")
        << QList<QByteArray>{"6"} << QList<QByteArray>{"\r7\r"} << Counts{0, 0, 0, 0, 0, 1, 1, 0};
}

void TestBenchSupport::tallyCountsRecordsOnTheLine() {
    QFETCH(QList<QByteArray>, before);
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(Counts, counted);

    DeviceTally tally;
    for (const QByteArray& chunk : before)
        tally.feed(chunk.constData(), chunk.size());
    tally.start();
    for (const QByteArray& chunk : chunks)
        tally.feed(chunk.constData(), chunk.size());
    qint64 total = 0;
    for (int k = 0; k < kChannels; ++k) {
        QCOMPARE(tally.records(k), counted[k]);
        total += counted[k];
    }
    QCOMPARE(tally.total(), total);
    tally.stop();
    tally.feed("1\r", 2);
    QCOMPARE(tally.total(), total);
}

void TestBenchSupport::recordsInTotal_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("amount");
    QTest::addColumn<qint64>("records"); // -1: the text is no whole number of records

    QTest::newRow("quarters") << QStringLiteral("6250.0") << 0.25 << qint64(25000);
    QTest::newRow("counting down") << QStringLiteral("-12500.0") << -0.5 << qint64(25000);
    QTest::newRow("output") << QStringLiteral("125000") << 5.0 << qint64(25000);
    QTest::newRow("output zero is empty") << QString() << 5.0 << qint64(0);
    QTest::newRow("thirds within rounding")
        << QStringLiteral("41666.67") << 1.0 / 3 << qint64(125000);
    QTest::newRow("between two counts") << QStringLiteral("0.3") << 0.25 << qint64(-1);
    QTest::newRow("wrong sign") << QStringLiteral("-1.0") << 0.25 << qint64(-1);
    QTest::newRow("not a number") << QStringLiteral("abc") << 1.0 << qint64(-1);
}

void TestBenchSupport::recordsInTotal() {
    QFETCH(QString, text);
    QFETCH(double, amount);
    QFETCH(qint64, records);
    QCOMPARE(bench::recordsInTotal(text, amount, QLocale::c()).value_or(-1), records);
}

void TestBenchSupport::lineLimit_data() {
    QTest::addColumn<int>("baud");
    QTest::addColumn<double>("recordsPerSecond");
    QTest::newRow("9600") << 9600 << 480.0;
    QTest::newRow("32767") << 32767 << 1638.35;
    QTest::newRow("1200") << 1200 << 60.0;
    QTest::newRow("none") << 0 << 0.0;
}

void TestBenchSupport::lineLimit() {
    QFETCH(int, baud);
    QFETCH(double, recordsPerSecond);
    QCOMPARE(lineRecordsPerSecond(baud), recordsPerSecond);
}

void TestBenchSupport::median_data() {
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<double>("median");
    QTest::addColumn<double>("maximum");
    QTest::newRow("odd, unsorted") << QList<double>{402, 400, 431} << 402.0 << 431.0;
    QTest::newRow("even") << QList<double>{2125, 2121, 2123, 2140} << 2124.0 << 2140.0;
    QTest::newRow("one") << QList<double>{7} << 7.0 << 7.0;
    QTest::newRow("none") << QList<double>{} << 0.0 << 0.0;
}

void TestBenchSupport::median() {
    QFETCH(QList<double>, values);
    QFETCH(double, median);
    QFETCH(double, maximum);
    QCOMPARE(bench::median(values), median);
    QCOMPARE(bench::maximum(values), maximum);
}

void TestBenchSupport::statusField_data() {
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<qint64>("kb"); // -1: not found

    QTest::newRow("peak") << QByteArray("VmHWM") << qint64(81234);
    QTest::newRow("resident") << QByteArray("VmRSS") << qint64(80100);
    QTest::newRow("prefix of another key") << QByteArray("Vm") << qint64(-1);
    QTest::newRow("no unit") << QByteArray("Threads") << qint64(-1);
    QTest::newRow("missing") << QByteArray("VmSwap") << qint64(-1);
}

void TestBenchSupport::statusField() {
    QFETCH(QByteArray, key);
    QFETCH(qint64, kb);
    const QByteArray status = "Name:\tktr6\nVmPeak:\t  300000 kB\nVmHWM:\t   81234 kB\n"
                              "VmRSS:\t   80100 kB\nThreads:\t3\n";
    QCOMPARE(statusFieldKb(status, key).value_or(-1), kb);
}

void TestBenchSupport::grouped_data() {
    QTest::addColumn<qint64>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("small") << qint64(999) << QStringLiteral("999");
    QTest::newRow("thousand") << qint64(1000) << QStringLiteral("1,000");
    QTest::newRow("millions") << qint64(10263808) << QStringLiteral("10,263,808");
    QTest::newRow("six digits") << qint64(200000) << QStringLiteral("200,000");
    QTest::newRow("negative") << qint64(-1260) << QStringLiteral("-1,260");
    QTest::newRow("zero") << qint64(0) << QStringLiteral("0");
}

void TestBenchSupport::grouped() {
    QFETCH(qint64, value);
    QFETCH(QString, text);
    QCOMPARE(bench::grouped(value), text);
}

void TestBenchSupport::stallProbeSeesABlockedLoop() {
    StallProbe probe;
    probe.start();
    runLoop(50);
    QVERIFY(probe.ticks() >= 2);
    QThread::msleep(150); // a handler that does not return
    runLoop(50);
    probe.stop();
    QVERIFY2(probe.worstLatenessMs() >= 130, qPrintable(QString::number(probe.worstLatenessMs())));
    QVERIFY(probe.worstLatenessMs() < 1000);
    QVERIFY(ownStatusKb("VmHWM") > 0);
}

QTEST_MAIN(TestBenchSupport)
#include "test_bench_support.moc"
