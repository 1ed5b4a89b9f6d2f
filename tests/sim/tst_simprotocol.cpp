// The relay's wire format: parameter replies, write blocks and request splitting.

#include "Fault.h"
#include "ParamSet.h"
#include "Reply.h"
#include "ReplyReader.h"
#include "RequestDecoder.h"

#include <QRegularExpression>
#include <QTest>

using namespace ktr6sim;

Q_DECLARE_METATYPE(ktr6sim::FieldStyle)

namespace {

ParamSet paramsFrom(const QString& text, int mask, int output) {
    ParamSet params = *parseParamList(text, ParamSet{});
    params.signMask = quint8(mask);
    params.output = quint8(output);
    return params;
}

QByteArray expectedField(int value, FieldStyle style) {
    const QByteArray digits = QByteArray::number(value);
    switch (style) {
    case FieldStyle::Plain:
        return digits;
    case FieldStyle::Zero:
        return digits.rightJustified(3, '0');
    case FieldStyle::Blank:
        return digits.rightJustified(3, ' ');
    }
    return {};
}

// Everything up to the CR LF, with the padding blanks taken off.
QByteArray content(const QByteArray& reply) {
    QByteArray text = reply.left(reply.indexOf('\r'));
    while (text.endsWith(' '))
        text.chop(1);
    return text;
}

} // namespace

class TestSimProtocol : public QObject {
    Q_OBJECT

private slots:
    void replyLayout_data();
    void replyLayout();
    void missingComma_data();
    void missingComma();
    void outputOverflow_data();
    void outputOverflow();
    void badVariant();
    void shortReply_data();
    void shortReply();
    void decodeWriteBlock_data();
    void decodeWriteBlock();
    void decodeWriteBlockRejectsWrongSize();
    void paramList_data();
    void paramList();
    void faultNames_data();
    void faultNames();
    void requestSplitting_data();
    void requestSplitting();
};

void TestSimProtocol::replyLayout_data() {
    QTest::addColumn<FieldStyle>("style");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("output");
    QTest::addColumn<char>("variant");

    const QString ones = QStringLiteral("1/1,1/1,1/1,1/1,1/1,1/1");
    const QString mixed = QStringLiteral("16/1,1/4,1/3,256/65300,1/1,1/1");
    const QString zeros = QStringLiteral("0/0,0/0,0/0,0/0,0/0,0/0");
    const QString max = QStringLiteral("65535/65535,65535/65535,65535/65535,65535/65535,"
                                       "65535/65535,65535/65535");
    QTest::newRow("zero, defaults") << FieldStyle::Zero << ones << 63 << 1 << '6';
    QTest::newRow("zero, mixed, variant 3") << FieldStyle::Zero << mixed << 59 << 5 << '3';
    QTest::newRow("blank, mixed") << FieldStyle::Blank << mixed << 59 << 5 << '6';
    QTest::newRow("blank, output 255 over mask 7") << FieldStyle::Blank << ones << 7 << 255 << '6';
    QTest::newRow("plain, mixed") << FieldStyle::Plain << mixed << 63 << 5 << '3';
    QTest::newRow("plain, output 255 over mask 7") << FieldStyle::Plain << ones << 7 << 255 << '6';
    QTest::newRow("plain, all zero (shortest)") << FieldStyle::Plain << zeros << 0 << 0 << '6';
    QTest::newRow("zero, all maximal") << FieldStyle::Zero << max << 255 << 255 << '3';
}

void TestSimProtocol::replyLayout() {
    QFETCH(FieldStyle, style);
    QFETCH(QString, text);
    QFETCH(int, mask);
    QFETCH(int, output);
    QFETCH(char, variant);
    const ParamSet params = paramsFrom(text, mask, output);

    const QByteArray reply = formatReply(params, ReplyStyle{style, variant, 56});
    QVERIFY2(reply.size() >= 56, reply.constData());
    QCOMPARE(reply[2], ':');
    QVERIFY(reply.endsWith("\r\n"));

    const std::optional<ReadReply> read = readReply(reply);
    QVERIFY(read);
    QCOMPARE(read->variant, variant);
    for (int input = 1; input <= 6; ++input) {
        QCOMPARE(read->numerator(input), int(params.numerators[input - 1]));
        QCOMPARE(read->divisor(input), int(params.divisors[input - 1]));
    }
    for (int field = 1; field <= 24; ++field)
        QCOMPARE(read->fields[field - 1], expectedField(read->number(field), style));

    QCOMPARE(read->number(25), mask);
    // The PC side takes exactly as many characters as field 25 has, so the output value must
    // fill them: digits, possibly after leading blanks, and nothing of the padding.
    static const QRegularExpression number(QStringLiteral("^ *[0-9]+$"));
    QVERIFY2(number.match(QString::fromLatin1(read->output)).hasMatch(), read->output.constData());
    QCOMPARE(read->output.trimmed().toInt(), output);
    if (style != FieldStyle::Plain)
        QVERIFY(read->output.size() >= 3);
    // Only padding may follow the output value.
    const qsizetype afterOutput = reply.lastIndexOf(',') + 1 + read->output.size();
    QCOMPARE(reply.mid(afterOutput).trimmed(), QByteArray());
}

void TestSimProtocol::missingComma_data() {
    QTest::addColumn<FieldStyle>("style");
    QTest::addColumn<int>("field");
    for (FieldStyle style : {FieldStyle::Plain, FieldStyle::Zero, FieldStyle::Blank}) {
        for (int field : {1, 2, 12, 13, 24, 25}) {
            QTest::addRow("%s, after field %d", qPrintable(fieldStyleName(style)), field)
                << style << field;
        }
    }
}

void TestSimProtocol::missingComma() {
    QFETCH(FieldStyle, style);
    QFETCH(int, field);
    const ParamSet params = paramsFrom(QStringLiteral("16/1,1/4,1/3,256/65300,1/1,1/1"), 63, 5);
    const ReplyStyle replyStyle{style, '6', 56};

    const QByteArray normal = formatReply(params, replyStyle);
    const QByteArray faulty =
        formatReply(params, replyStyle, Fault{FaultKind::MissingComma, field});

    // The comma after field K is the K-th comma of the normal reply.
    qsizetype comma = -1;
    for (int i = 0; i < field; ++i)
        comma = normal.indexOf(',', comma + 1);
    QByteArray expected = normal;
    expected.remove(comma, 1);
    QCOMPARE(content(faulty), content(expected));
    QCOMPARE(faulty.count(','), 24);
    QVERIFY(faulty.size() >= 56);
}

void TestSimProtocol::outputOverflow_data() {
    QTest::addColumn<FieldStyle>("style");
    QTest::addColumn<int>("mask");
    QTest::newRow("plain, mask 1") << FieldStyle::Plain << 1;
    QTest::newRow("plain, mask 63") << FieldStyle::Plain << 63;
    QTest::newRow("zero, mask 63") << FieldStyle::Zero << 63;
    QTest::newRow("blank, mask 7") << FieldStyle::Blank << 7;
}

void TestSimProtocol::outputOverflow() {
    QFETCH(FieldStyle, style);
    QFETCH(int, mask);
    const ParamSet params = paramsFrom(QStringLiteral("1/1,1/1,1/1,1/1,1/1,1/1"), mask, 5);

    const QByteArray reply =
        formatReply(params, ReplyStyle{style, '6', 56}, Fault{FaultKind::Output256, 0});
    const std::optional<ReadReply> read = readReply(reply);
    QVERIFY(read);
    QCOMPARE(read->output, QByteArray("256"));
    QCOMPARE(read->fields[24].size(), 3);
    QCOMPARE(read->number(25), mask);
}

void TestSimProtocol::badVariant() {
    const ParamSet params;
    const ReplyStyle style;
    const QByteArray normal = formatReply(params, style);
    const QByteArray faulty = formatReply(params, style, Fault{FaultKind::BadVariant, 0});
    QVERIFY(QChar(faulty[1]).isLetter());
    QCOMPARE(faulty.size(), normal.size());
    QCOMPARE(faulty.left(1) + faulty.mid(2), normal.left(1) + normal.mid(2));
}

void TestSimProtocol::shortReply_data() {
    QTest::addColumn<int>("length");
    QTest::newRow("nothing") << 0;
    QTest::newRow("default 20") << 20;
    QTest::newRow("one below the minimum") << 55;
}

void TestSimProtocol::shortReply() {
    QFETCH(int, length);
    const ParamSet params;
    const QByteArray normal = formatReply(params, ReplyStyle{});
    const QByteArray faulty = formatReply(params, ReplyStyle{}, Fault{FaultKind::Short, length});
    QCOMPARE(faulty.size(), length);
    QVERIFY(normal.startsWith(faulty));
}

void TestSimProtocol::decodeWriteBlock_data() {
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<QList<int>>("numerators");
    QTest::addColumn<QList<int>>("divisors");
    QTest::addColumn<int>("mask");
    QTest::addColumn<int>("output");

    QByteArray block(26, '\0');
    block[0] = '\x2c';
    block[1] = '\x01';
    QTest::newRow("2C 01 is 300 (IN 1 numerator)")
        << block << QList<int>{300, 0, 0, 0, 0, 0} << QList<int>{0, 0, 0, 0, 0, 0} << 0 << 0;

    block.fill('\0');
    block[22] = '\xff';
    block[23] = '\xff';
    block[24] = '\x3f';
    block[25] = '\xff';
    QTest::newRow("FF FF is 65535 (IN 6 divisor)")
        << block << QList<int>{0, 0, 0, 0, 0, 0} << QList<int>{0, 0, 0, 0, 0, 65535} << 63 << 255;

    // Every octet different, so a swapped pair or an off-by-one position shows.
    for (int i = 0; i < 26; ++i)
        block[i] = char(i + 1);
    QList<int> nums;
    QList<int> divs;
    for (int i = 0; i < 6; ++i) {
        nums << (2 * i + 1) + 256 * (2 * i + 2);
        divs << (13 + 2 * i) + 256 * (14 + 2 * i);
    }
    QTest::newRow("octets 1..26") << block << nums << divs << 25 << 26;
}

void TestSimProtocol::decodeWriteBlock() {
    QFETCH(QByteArray, block);
    QFETCH(QList<int>, numerators);
    QFETCH(QList<int>, divisors);
    QFETCH(int, mask);
    QFETCH(int, output);

    const std::optional<ParamSet> params = ktr6sim::decodeWriteBlock(block);
    QVERIFY(params);
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(int(params->numerators[i]), numerators[i]);
        QCOMPARE(int(params->divisors[i]), divisors[i]);
    }
    QCOMPARE(int(params->signMask), mask);
    QCOMPARE(int(params->output), output);
}

void TestSimProtocol::decodeWriteBlockRejectsWrongSize() {
    for (int size : {0, 25, 27})
        QVERIFY2(!ktr6sim::decodeWriteBlock(QByteArray(size, '\1')),
                 qPrintable(QString::number(size)));
}

void TestSimProtocol::paramList_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QList<int>>("numerators");
    QTest::addColumn<QList<int>>("divisors");
    QTest::addColumn<int>("mask");

    QTest::newRow("mixed with a negative input")
        << "16/1,1/4,-1/3,256/65300,1/1,1/1" << true << QList<int>{16, 1, 1, 256, 1, 1}
        << QList<int>{1, 4, 3, 65300, 1, 1} << 0b111011;
    QTest::newRow("divisor defaults to 1, blanks and + allowed")
        << " 5, +7/2,-0/0,65535,1,-1" << true << QList<int>{5, 7, 0, 65535, 1, 1}
        << QList<int>{1, 2, 0, 1, 1, 1} << 0b011011;
    QTest::newRow("five entries") << "1/1,1/1,1/1,1/1,1/1" << false << QList<int>{} << QList<int>{}
                                  << 0;
    QTest::newRow("seven entries") << "1,1,1,1,1,1,1" << false << QList<int>{} << QList<int>{} << 0;
    QTest::newRow("numerator too big")
        << "65536/1,1,1,1,1,1" << false << QList<int>{} << QList<int>{} << 0;
    QTest::newRow("not a number") << "1/x,1,1,1,1,1" << false << QList<int>{} << QList<int>{} << 0;
}

void TestSimProtocol::paramList() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QList<int>, numerators);
    QFETCH(QList<int>, divisors);
    QFETCH(int, mask);

    QString error;
    const std::optional<ParamSet> params = parseParamList(text, ParamSet{}, &error);
    QCOMPARE(bool(params), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    for (int i = 0; i < 6; ++i) {
        QCOMPARE(int(params->numerators[i]), numerators[i]);
        QCOMPARE(int(params->divisors[i]), divisors[i]);
    }
    QCOMPARE(int(params->signMask), mask);
    QCOMPARE(parseParamList(formatParamList(*params), ParamSet{}), params);
}

void TestSimProtocol::faultNames_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("arg");

    QTest::newRow("late default") << "late" << true << int(FaultKind::Late) << 300;
    QTest::newRow("short=56 is not short") << "short=56" << false << 0 << 0;
    QTest::newRow("missing-comma=25")
        << "missing-comma=25" << true << int(FaultKind::MissingComma) << 25;
    QTest::newRow("missing-comma=26") << "missing-comma=26" << false << 0 << 0;
    QTest::newRow("missing-comma needs K") << "missing-comma" << false << 0 << 0;
    QTest::newRow("bad-variant takes no arg") << "bad-variant=1" << false << 0 << 0;
    QTest::newRow("hangup after bytes") << "hangup=10" << true << int(FaultKind::Hangup) << 10;
    QTest::newRow("garbage default") << "garbage" << true << int(FaultKind::Garbage) << 65536;
    QTest::newRow("unknown") << "smoke" << false << 0 << 0;
}

void TestSimProtocol::faultNames() {
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(int, kind);
    QFETCH(int, arg);

    QString error;
    const std::optional<Fault> fault = parseFault(text, &error);
    QCOMPARE(bool(fault), valid);
    if (!valid) {
        QVERIFY(!error.isEmpty());
        return;
    }
    QCOMPARE(int(fault->kind), kind);
    QCOMPARE(fault->arg, arg);
    QCOMPARE(parseFault(faultToString(*fault)), fault);
}

void TestSimProtocol::requestSplitting_data() {
    QTest::addColumn<QList<QByteArray>>("chunks");
    QTest::addColumn<QStringList>("requests"); // "read" or the written block in hex

    QByteArray block(26, '\0');
    block[0] = '*';
    block[1] = ',';
    block[25] = '*';
    QList<QByteArray> oneByOne{","};
    for (char c : block)
        oneByOne << QByteArray(1, c);
    oneByOne << "*";
    const QString hex = QString::fromLatin1(block.toHex());

    QTest::newRow("a read") << QList<QByteArray>{"*"} << QStringList{"read"};
    QTest::newRow("noise around a read") << QList<QByteArray>{"ab\r1", "*x"} << QStringList{"read"};
    QTest::newRow("two reads in one chunk")
        << QList<QByteArray>{"**"} << QStringList{"read", "read"};
    QTest::newRow("block octet by octet, * and , inside") << oneByOne << QStringList{hex, "read"};
    QTest::newRow("block in one chunk with reads around")
        << QList<QByteArray>{"*," + block + "*"} << QStringList{"read", hex, "read"};
    QTest::newRow("unfinished block swallows *")
        << QList<QByteArray>{",", QByteArray(10, 'x'), "*"} << QStringList{};
}

void TestSimProtocol::requestSplitting() {
    QFETCH(QList<QByteArray>, chunks);
    QFETCH(QStringList, requests);

    RequestDecoder decoder;
    QStringList seen;
    for (const QByteArray& chunk : chunks) {
        for (const RequestDecoder::Request& request : decoder.feed(chunk)) {
            seen << (request.type == RequestDecoder::Request::Type::Read
                         ? QStringLiteral("read")
                         : QString::fromLatin1(request.block.toHex()));
        }
    }
    QCOMPARE(seen, requests);
}

QTEST_GUILESS_MAIN(TestSimProtocol)
#include "tst_simprotocol.moc"
