// A million on-line records at the relay's full speed, over a pty, through the
// real port object and the on-line view opened from the main window: at the
// end every total must be exact, and the memory the program holds must not
// grow with the number of records.
//
// KTR6_SOAK_RECORDS (a multiple of 8) shortens the run while working on it.

#include "BenchSupport.h"
#include "OnlineRig.h"

#include "resources/Resources.h"
#include "serial/QtSerialComm.h"
#include "views/OnLine.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>

using namespace bench;

namespace {

constexpr qint64 kDefaultRecords = 1000000;
constexpr qint64 kEarlySample = 100000;
constexpr qint64 kPeakLimitKb = 300 * 1024;
constexpr qint64 kGrowthLimitKb = 20 * 1024;
constexpr double kStallLimitMs = 1000;

// {sign, numerator, divisor}: thirds and tenths whose sums a float would get
// wrong, an amount too small to show for thousands of records, a large one.
constexpr std::array<std::array<int, 3>, 6> kRows = {{
    {1, 1, 3},     // IN 1 +1/3
    {0, 7, 10},    // IN 2 -7/10
    {1, 1, 4},     // IN 3 +1/4
    {0, 3, 4},     // IN 4 -3/4
    {1, 1, 65535}, // IN 5 +1/65535
    {1, 255, 1},   // IN 6 +255
}};
constexpr int kOutput = 5;

// The exact total of n records as the box must show it: hundredths, halves
// away from zero, the second decimal left out when it is 0. Integer arithmetic
// only, so it shares nothing with the program's own formatting.
QString expectedInputText(qint64 n, const std::array<int, 3>& row) {
    const qint64 scaled = n * row[1] * 100;
    const qint64 hundredths = (2 * scaled + row[2]) / (2 * row[2]);
    const bool negative = row[0] != 1 && hundredths != 0;
    QString text = QString::number(hundredths / 100) + QLatin1Char('.') +
                   QString::number(hundredths % 100 / 10);
    if (hundredths % 10 != 0)
        text += QString::number(hundredths % 10);
    return negative ? QLatin1Char('-') + text : text;
}

} // namespace

class TestSoakOnline : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void millionRecordsExactAndFlat();
};

void TestSoakOnline::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
    // The oracle itself, on sums worked out by hand.
    QCOMPARE(expectedInputText(125000, kRows[0]), QStringLiteral("41666.67"));
    QCOMPARE(expectedInputText(125000, kRows[1]), QStringLiteral("-87500.0"));
    QCOMPARE(expectedInputText(125000, kRows[4]), QStringLiteral("1.91"));
    QCOMPARE(expectedInputText(5, kRows[0]), QStringLiteral("1.67"));
    QCOMPARE(expectedInputText(1, kRows[4]), QStringLiteral("0.0"));
}

void TestSoakOnline::millionRecordsExactAndFlat() {
    qint64 records = kDefaultRecords;
    if (qEnvironmentVariableIsSet("KTR6_SOAK_RECORDS"))
        records = qEnvironmentVariable("KTR6_SOAK_RECORDS").toLongLong();
    QVERIFY2(records > kEarlySample && records % kChannels == 0,
             "KTR6_SOAK_RECORDS must be a multiple of 8 above 100000");
    const qint64 perChannel = records / kChannels;
    QStringList expected;
    for (int k = 0; k < 6; ++k)
        expected << expectedInputText(perChannel, kRows[k]);
    expected << QString::number(perChannel * kOutput) << QString::number(perChannel * kOutput);

    OnlineRig rig;
    QString error;
    QVERIFY2(rig.start(relayParams(kRows, kOutput), 9600, &error), qPrintable(error));

    qint64 earlyRssKb = -1;
    qint64 endRssKb = -1;
    double seconds = 0;
    double worstStallMs = 0;
    qint64 droppedByRelay = -1;
    QStringList finalTexts;
    const bool shown = rig.withStatusView([&](OnLine& view) {
        // The relay keeps quiet for a moment after answering the view's read.
        OnlineRig::runUntil([] { return false; }, 400);
        const qint64 droppedBefore = rig.sim().counters().recordsDropped;
        StallProbe probe;
        QElapsedTimer clock;
        rig.tally().start();
        probe.start();
        clock.start();
        ktr6sim::StreamConfig stream;
        for (int channel = 1; channel <= kChannels; ++channel)
            stream.rates[channel] = 0.0; // as fast as the pty takes them
        stream.countLimit = records;
        rig.sim().startStream(stream);

        // Done when the relay has written everything and the view has caught up: the totals
        // read as expected, or stay put for a second (then they are compared below).
        QStringList lastTexts;
        qint64 steadySince = 0;
        const auto settled = [&] {
            if (earlyRssKb < 0 && rig.tally().total() >= kEarlySample)
                earlyRssKb = ownStatusKb("VmRSS");
            QStringList texts;
            for (int k = 0; k < kChannels; ++k)
                texts << view.Text1(k)->text();
            if (texts != lastTexts) {
                lastTexts = texts;
                steadySince = clock.elapsed();
            }
            if (rig.tally().total() < records)
                return false;
            return texts == expected || clock.elapsed() - steadySince > 1000;
        };
        const bool done = OnlineRig::runUntil(settled, 600000, 20);
        seconds = clock.elapsed() / 1000.0;
        probe.stop();
        worstStallMs = probe.worstLatenessMs();
        endRssKb = ownStatusKb("VmRSS");
        droppedByRelay = rig.sim().counters().recordsDropped - droppedBefore;
        QVERIFY2(done, qPrintable(QStringLiteral("after %1 s the relay had written %2 records")
                                      .arg(seconds)
                                      .arg(rig.tally().total())));
        finalTexts = lastTexts;
    });
    QVERIFY(!QTest::currentTestFailed());
    QVERIFY2(shown, qPrintable(rig.messages().join(QLatin1Char('\n'))));

    const qint64 peakKb = ownStatusKb("VmHWM");
    qInfo("%lld records in %.1f s (%.0f records/s); worst event-loop stall %.1f ms", records,
          seconds, records / seconds, worstStallMs);
    qInfo("VmRSS after %lld records %.1f MB, at the end %.1f MB; peak (VmHWM) %.1f MB",
          kEarlySample, earlyRssKb / 1024.0, endRssKb / 1024.0, peakKb / 1024.0);

    // Every total exact, and every record the relay wrote was on its own channel.
    for (int k = 0; k < kChannels; ++k)
        QCOMPARE(finalTexts.value(k), expected[k]);
    for (int k = 0; k < kChannels; ++k)
        QCOMPARE(rig.tally().records(k), perChannel);
    QCOMPARE(droppedByRelay, qint64(0));
    QVERIFY2(rig.messages().isEmpty(), qPrintable(rig.messages().join(QLatin1Char('\n'))));
    QVERIFY(!rig.port().PortOpen());

    QVERIFY(earlyRssKb > 0 && endRssKb > 0 && peakKb > 0);
    QVERIFY2(peakKb < kPeakLimitKb, qPrintable(QStringLiteral("peak %1 kB").arg(peakKb)));
    QVERIFY2(endRssKb - earlyRssKb < kGrowthLimitKb,
             qPrintable(QStringLiteral("grew by %1 kB").arg(endRssKb - earlyRssKb)));
    QVERIFY2(worstStallMs < kStallLimitMs,
             qPrintable(QStringLiteral("event loop held up %1 ms").arg(worstStallMs)));
}

QTEST_MAIN(TestSoakOnline)
#include "test_soak_online.moc"
