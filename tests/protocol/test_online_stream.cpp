// Record framing and running totals of the on-line stream, fed straight with
// bytes: no port, no window.

#include "core/Others.h"
#include "protocol/OnlineStream.h"
#include "support/TestLocale.h"

#include <QLocale>
#include <QRandomGenerator>
#include <QTest>

namespace {

// Channel codes ("1".."8") of the records a feed completed.
QString codes(const std::vector<int>& channels) {
    QString text;
    for (const int k : channels)
        text += QChar(u'1' + k);
    return text;
}

// The framing as the device describes it, written independently of the
// assembler: everything up to a CR is one record, its first character (line
// feeds left over from a CR LF line end do not count) is the channel code.
// Gives each record's code and the position of its CR.
QList<std::pair<QChar, qsizetype>> referenceRecords(const QByteArray& stream) {
    QList<std::pair<QChar, qsizetype>> records;
    qsizetype start = 0;
    for (qsizetype end = stream.indexOf('\r'); end >= 0; end = stream.indexOf('\r', start)) {
        QByteArray record = stream.mid(start, end - start);
        while (record.startsWith('\n'))
            record.remove(0, 1);
        if (!record.isEmpty() && record[0] >= '1' && record[0] <= '8')
            records.append({QChar(record[0]), end});
        start = end + 1;
    }
    return records;
}

void setInput(int row, int sign, int numerator, int divisor) {
    Others::ParamTable[row] = {sign, numerator, divisor};
}

} // namespace

class TestOnlineStream : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void init() { Others::resetAll(); }

    void framing_data();
    void framing();
    void resetDropsPartialRecord();
    void randomChunksMatchReference();

    void totals_data();
    void totals();
    void totalsAfterMany_data();
    void totalsAfterMany();
    void everyInputBothSigns();
    void typedBase_data();
    void typedBase();
    void divisorZeroIsNotCounted();
    void clearStartsFromZero();
};

void TestOnlineStream::framing_data() {
    QTest::addColumn<QByteArrayList>("chunks");
    QTest::addColumn<QStringList>("expected"); // codes completed by each chunk

    QTest::newRow("one record") << QByteArrayList{"3\r"} << QStringList{"3"};
    QTest::newRow("split over two feeds") << QByteArrayList{"5", "\r"} << QStringList{"", "5"};
    QTest::newRow("split inside filler")
        << QByteArrayList{"4a", "b", "\r"} << QStringList{"", "", "4"};
    QTest::newRow("split right after CR") << QByteArrayList{"2\r6", "\r"} << QStringList{"2", "6"};
    QTest::newRow("two in one feed") << QByteArrayList{"2\r6\r"} << QStringList{"26"};
    QTest::newRow("ten in one feed")
        << QByteArrayList{"1\r2\r3\r4\r5\r6\r7\r8\r1\r2\r"} << QStringList{"1234567812"};
    QTest::newRow("filler letters") << QByteArrayList{"4xy\r"} << QStringList{"4"};
    QTest::newRow("filler digits do not count") << QByteArrayList{"1 23\r"} << QStringList{"1"};
    QTest::newRow("stray CR before a record") << QByteArrayList{"\r3\r"} << QStringList{"3"};
    QTest::newRow("only CRs") << QByteArrayList{"\r\r", "\r"} << QStringList{"", ""};
    QTest::newRow("0 9 and letters skipped") << QByteArrayList{"0\r9\rA\r7\r"} << QStringList{"7"};
    QTest::newRow("bad code then good") << QByteArrayList{"x", "5\r8\r"} << QStringList{"", "8"};
    QTest::newRow("CR LF line ends")
        << QByteArrayList{"5\r\n6\r\n", "7\r\n"} << QStringList{"56", "7"};
    QTest::newRow("no CR yet") << QByteArrayList{"1", "2", "3"} << QStringList{"", "", ""};
    QTest::newRow("empty feeds") << QByteArrayList{"", "8", "", "\r"}
                                 << QStringList{"", "", "", "8"};
}

void TestOnlineStream::framing() {
    QFETCH(QByteArrayList, chunks);
    QFETCH(QStringList, expected);
    RecordAssembler assembler;
    for (qsizetype i = 0; i < chunks.size(); ++i)
        QCOMPARE(codes(assembler.feed(chunks[i])), expected[i]);
}

void TestOnlineStream::resetDropsPartialRecord() {
    RecordAssembler assembler;
    QCOMPARE(codes(assembler.feed("3ab")), QString());
    QVERIFY(assembler.hasPartialRecord());
    assembler.reset();
    QVERIFY(!assembler.hasPartialRecord());
    // The CR of the forgotten record ends nothing; the next record counts.
    QCOMPARE(codes(assembler.feed("\r4\r")), QStringLiteral("4"));
}

void TestOnlineStream::randomChunksMatchReference() {
    // Many records in random chunks: a record is reported exactly when its
    // CR arrives, never earlier, never twice, never lost.
    QRandomGenerator random(20240611);
    const QByteArray alphabet = "123456789\r\r\r\r0aZ \n";
    for (int round = 0; round < 20; ++round) {
        QByteArray stream;
        const int length = 20000 + int(random.bounded(20000));
        for (int i = 0; i < length; ++i)
            stream += alphabet[random.bounded(int(alphabet.size()))];

        const QList<std::pair<QChar, qsizetype>> reference = referenceRecords(stream);
        RecordAssembler assembler;
        QString counted;
        qsizetype fed = 0;
        qsizetype due = 0; // records whose CR has been fed
        while (fed < stream.size()) {
            const qsizetype size = std::min<qsizetype>(1 + random.bounded(40), stream.size() - fed);
            counted += codes(assembler.feed(stream.mid(fed, size)));
            fed += size;
            while (due < reference.size() && reference[due].second < fed)
                ++due;
            // After each chunk exactly the records completed so far.
            if (counted.size() != due)
                QFAIL(qPrintable(QStringLiteral("round %1: %2 records after %3 bytes, expected %4")
                                     .arg(round)
                                     .arg(counted.size())
                                     .arg(fed)
                                     .arg(due)));
        }
        QString expected;
        for (const auto& record : reference)
            expected += record.first;
        QCOMPARE(counted, expected);
        QVERIFY(counted.size() > 1000);
    }
}

void TestOnlineStream::totals_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("sign");
    QTest::addColumn<int>("numerator");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<int>("output");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QStringList>("expected"); // text after each record

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("quarter adds") << 1 << 1 << 1 << 4 << 0 << c
                                  << QStringList{"0.25", "0.5", "0.75", "1.0"};
    QTest::newRow("quarter subtracts")
        << 1 << 0 << 1 << 4 << 0 << c << QStringList{"-0.25", "-0.5", "-0.75", "-1.0"};
    QTest::newRow("thirds stay exact")
        << 2 << 1 << 1 << 3 << 0 << c << QStringList{"0.33", "0.67", "1.0", "1.33", "1.67", "2.0"};
    QTest::newRow("whole amounts") << 6 << 1 << 256 << 1 << 0 << c << QStringList{"256.0", "512.0"};
    QTest::newRow("tiny amount shows 0.0")
        << 3 << 1 << 1 << 65535 << 0 << c << QStringList{"0.0", "0.0"};
    QTest::newRow("halves away from zero")
        << 4 << 1 << 1 << 8 << 0 << c << QStringList{"0.13", "0.25", "0.38"};
    QTest::newRow("V1 adds the output value")
        << 7 << 1 << 1 << 1 << 5 << c << QStringList{"5", "10", "15"};
    QTest::newRow("V2 adds the output value")
        << 8 << 1 << 1 << 1 << 255 << c << QStringList{"255", "510"};
    QTest::newRow("output value 0 shows empty")
        << 7 << 1 << 1 << 1 << 0 << c << QStringList{"", ""};
    QTest::newRow("comma locale adds")
        << 1 << 1 << 1 << 4 << 0 << german << QStringList{"0,25", "0,5", "0,75", "1,0"};
    QTest::newRow("comma locale subtracts")
        << 5 << 0 << 3 << 2 << 0 << german << QStringList{"-1,5", "-3,0"};
    QTest::newRow("comma locale output")
        << 8 << 1 << 1 << 1 << 200 << german << QStringList{"200", "400"};
}

void TestOnlineStream::totals() {
    QFETCH(int, code);
    QFETCH(int, sign);
    QFETCH(int, numerator);
    QFETCH(int, divisor);
    QFETCH(int, output);
    QFETCH(QLocale, locale);
    QFETCH(QStringList, expected);

    const int channel = code - 1;
    if (channel < Others::kInputs)
        setInput(channel, sign, numerator, divisor);
    Others::OutputParam = uint8_t(output);

    ChannelTotals totals;
    RecordAssembler assembler;
    for (const QString& text : expected) {
        const std::vector<int> records = assembler.feed(QByteArray::number(code) + "\r");
        QCOMPARE(records.size(), size_t(1));
        QVERIFY(totals.count(records[0]));
        QCOMPARE(totals.text(channel, locale), text);
    }
    QCOMPARE(totals.records(channel), int64_t(expected.size()));
    for (int k = 0; k < kChannels; ++k) {
        if (k != channel)
            QCOMPARE(totals.records(k), int64_t(0));
    }
}

void TestOnlineStream::totalsAfterMany_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("sign");
    QTest::addColumn<int>("numerator");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<int>("output");
    QTest::addColumn<int>("records");
    QTest::addColumn<QString>("expected");

    QTest::newRow("3 x 1/3") << 1 << 1 << 1 << 3 << 0 << 3 << "1.0";
    QTest::newRow("300 x 1/3") << 1 << 1 << 1 << 3 << 0 << 300 << "100.0";
    QTest::newRow("65535 x 1/65535") << 2 << 1 << 1 << 65535 << 0 << 65535 << "1.0";
    QTest::newRow("65535 x -1/65535") << 2 << 0 << 1 << 65535 << 0 << 65535 << "-1.0";
    QTest::newRow("100000 x 7/10") << 6 << 1 << 7 << 10 << 0 << 100000 << "70000.0";
    QTest::newRow("1000000 x 1/3 subtracts") << 3 << 0 << 1 << 3 << 0 << 1000000 << "-333333.33";
    QTest::newRow("100000 x 255 on V2") << 8 << 1 << 1 << 1 << 255 << 100000 << "25500000";
}

void TestOnlineStream::totalsAfterMany() {
    QFETCH(int, code);
    QFETCH(int, sign);
    QFETCH(int, numerator);
    QFETCH(int, divisor);
    QFETCH(int, output);
    QFETCH(int, records);
    QFETCH(QString, expected);

    const int channel = code - 1;
    if (channel < Others::kInputs)
        setInput(channel, sign, numerator, divisor);
    Others::OutputParam = uint8_t(output);

    // All records in one feed, as a burst arrives.
    RecordAssembler assembler;
    const QByteArray record = QByteArray::number(code) + "-\r";
    const std::vector<int> channels = assembler.feed(record.repeated(records));
    QCOMPARE(channels.size(), size_t(records));
    ChannelTotals totals;
    for (const int k : channels)
        totals.count(k);
    QCOMPARE(totals.text(channel, QLocale::c()), expected);
}

void TestOnlineStream::everyInputBothSigns() {
    // Each input reads its own row of the table: a mix-up of rows shows.
    for (int row = 0; row < Others::kInputs; ++row)
        setInput(row, row % 2, row + 1, 4);
    ChannelTotals totals;
    RecordAssembler assembler;
    for (const int k : assembler.feed("1\r2\r3\r4\r5\r6\r1\r2\r3\r4\r5\r6\r"))
        QVERIFY(totals.count(k));
    const QStringList expected = {"-0.5", "1.0", "-1.5", "2.0", "-2.5", "3.0"};
    for (int row = 0; row < Others::kInputs; ++row)
        QCOMPARE(totals.text(row, QLocale::c()), expected[row]);
}

void TestOnlineStream::typedBase_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("sign");
    QTest::addColumn<int>("numerator");
    QTest::addColumn<int>("divisor");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QLocale>("locale");
    QTest::addColumn<QString>("expected"); // after one record

    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    QTest::newRow("100 then +0.5") << 1 << 1 << 1 << 2 << "100" << c << "100.5";
    QTest::newRow("blanks around") << 1 << 1 << 1 << 2 << "  100 " << c << "100.5";
    QTest::newRow("negative base subtracts") << 2 << 0 << 1 << 2 << "-3" << c << "-3.5";
    QTest::newRow("fraction base") << 3 << 1 << 1 << 4 << "1.25" << c << "1.5";
    QTest::newRow("not a number counts 0") << 4 << 1 << 1 << 2 << "abc" << c << "0.5";
    QTest::newRow("empty counts 0") << 4 << 1 << 1 << 2 << "" << c << "0.5";
    QTest::newRow("comma locale base") << 5 << 1 << 1 << 4 << "100,5" << german << "100,75";
    QTest::newRow("output base") << 7 << 1 << 1 << 1 << "10" << c << "15";
    QTest::newRow("output empty base") << 8 << 1 << 1 << 1 << "" << c << "5";
    QTest::newRow("a half on a large total")
        << 1 << 1 << 1 << 2 << "3000000000002" << c << "3000000000002.5";
    QTest::newRow("a large total in a comma locale")
        << 2 << 0 << 1 << 4 << "9999999999999,5" << german << "9999999999999,25";
    // Beyond 10^17 a double holds no hundredths, and a total is still shown
    // as the number it is.
    QTest::newRow("a total beyond 10^20")
        << 3 << 1 << 65535 << 1 << "1e20" << c << "100000000000000065536.0";
}

void TestOnlineStream::typedBase() {
    QFETCH(int, code);
    QFETCH(int, sign);
    QFETCH(int, numerator);
    QFETCH(int, divisor);
    QFETCH(QString, typed);
    QFETCH(QLocale, locale);
    QFETCH(QString, expected);

    const int channel = code - 1;
    if (channel < Others::kInputs)
        setInput(channel, sign, numerator, divisor);
    Others::OutputParam = 5;

    ChannelTotals totals;
    // Records before the typing are replaced by what the operator typed.
    totals.count(channel);
    totals.count(channel);
    totals.setBase(channel, typed, locale);
    QVERIFY(totals.count(channel));
    QCOMPARE(totals.text(channel, locale), expected);
}

void TestOnlineStream::divisorZeroIsNotCounted() {
    setInput(0, 1, 1, 0);
    setInput(1, 1, 1, 2);
    ChannelTotals totals;
    totals.setBase(0, QStringLiteral("7"), QLocale::c());
    RecordAssembler assembler;
    const std::vector<int> channels = assembler.feed("1\r2\r1\r");
    QCOMPARE(codes(channels), QStringLiteral("121"));
    QVERIFY(!totals.count(channels[0]));
    QVERIFY(totals.count(channels[1]));
    QVERIFY(!totals.count(channels[2]));
    QCOMPARE(totals.text(0, QLocale::c()), QStringLiteral("7.0"));
    QCOMPARE(totals.text(1, QLocale::c()), QStringLiteral("0.5"));
    // Channel numbers outside 0..7 are refused as well.
    QVERIFY(!totals.count(-1));
    QVERIFY(!totals.count(kChannels));
}

void TestOnlineStream::clearStartsFromZero() {
    setInput(0, 1, 1, 4);
    Others::OutputParam = 3;
    ChannelTotals totals;
    totals.setBase(0, QStringLiteral("50"), QLocale::c());
    totals.count(0);
    totals.count(6);
    totals.clear();
    QCOMPARE(totals.text(0, QLocale::c()), QStringLiteral("0.0"));
    QCOMPARE(totals.text(6, QLocale::c()), QString());
    totals.count(0);
    totals.count(6);
    QCOMPARE(totals.text(0, QLocale::c()), QStringLiteral("0.25"));
    QCOMPARE(totals.text(6, QLocale::c()), QStringLiteral("3"));
}

QTEST_GUILESS_MAIN(TestOnlineStream)
#include "test_online_stream.moc"
