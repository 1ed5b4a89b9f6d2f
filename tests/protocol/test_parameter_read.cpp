// The parameter read: its exchange on the line, its retries on the virtual
// clock, its failure path, and the reply parser.

#include "protocol/ParameterBlock.h"
#include "support/FakeRelay.h"
#include "support/ScriptedPort.h"
#include "support/SharedState.h"
#include "support/TestLocale.h"

#include <QTest>

Q_DECLARE_METATYPE(ParameterSet)

namespace {

ParameterSet makeSet(const QString& firmware, std::array<int, 6> num, std::array<int, 6> div,
                     std::array<int, 6> sign, int output) {
    ParameterSet set;
    set.firmwareVersion = firmware;
    for (int i = 0; i < 6; ++i)
        set.table[i] = {sign[i], num[i], div[i]};
    set.output = uint8_t(output);
    return set;
}

const std::array<int, 6> kOnes{1, 1, 1, 1, 1, 1};
const QStringList kOneAttempt{"open", "rts on", "sleep 200", "discard", "out 2A", "sleep 200"};

} // namespace

class ParameterReadTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void acceptedReplyIsOneExchange();
    void shortReplies_data();
    void shortReplies();
    void portUnusable_data();
    void portUnusable();
    void portAlreadyOpenIsLeftOpen();
    void portFailingMidExchangeIsClosed();
    void rejectedReplyChangesNothing_data();
    void rejectedReplyChangesNothing();
    void parse_data();
    void parse();
};

void ParameterReadTest::acceptedReplyIsOneExchange() {
    TestSeams seams;
    RelayParams device;
    device.numerators = {16, 300, 1, 255, 2, 3};
    device.divisors = {1, 65535, 4, 1000, 1, 7};
    device.signMask = 0x2A;
    device.output = 5;
    const QByteArray reply = deviceReply(device, '3');
    seams.port.replies.push_back(reply);
    Others::LastPortError = QStringLiteral("from an earlier read");

    ReadParameterBlock();

    const QStringList expected =
        kOneAttempt + QStringList{QStringLiteral("in %1").arg(reply.size()), "rts off", "close"};
    QCOMPARE(exchangeOnly(seams.port.trace), expected);
    QCOMPARE(seams.nowMs, qint64(400));
    QCOMPARE(seams.port.written, QByteArray("*"));
    QVERIFY(seams.messages.isEmpty());
    QCOMPARE(Others::ReadFailed, Others::False);
    QCOMPARE(Others::LastPortError, QString());
    QCOMPARE(Others::RetryCount, 0);
    const ParameterSet expectedSet =
        makeSet("2x3", device.numerators, device.divisors, {0, 1, 0, 1, 0, 1}, 5);
    QCOMPARE(sharedParameterSet(), expectedSet);
}

void ParameterReadTest::shortReplies_data() {
    QTest::addColumn<QList<int>>("lengths"); // reply length per attempt, -1 for silence
    QTest::addColumn<int>("readFailed");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("virtualMs");

    QTest::newRow("no device") << QList<int>{-1, -1, -1} << -1 << 3 << 2700;
    QTest::newRow("55 chars three times") << QList<int>{55, 55, 55} << -1 << 3 << 2700;
    QTest::newRow("exactly 56 chars") << QList<int>{56} << 0 << 0 << 400;
    QTest::newRow("short then whole") << QList<int>{10, 56} << 0 << 1 << 1300;
    QTest::newRow("whole on the third attempt") << QList<int>{-1, 55, 56} << 0 << 2 << 2200;
    QTest::newRow("short reply, then silence") << QList<int>{55, -1, -1} << -1 << 3 << 2700;
}

void ParameterReadTest::shortReplies() {
    QFETCH(QList<int>, lengths);
    QFETCH(int, readFailed);
    QFETCH(int, retries);
    QFETCH(int, virtualMs);

    TestSeams seams;
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();
    // Fields one character wide make a whole reply of 54 characters; CR LF
    // brings it to 56.
    RelayParams device;
    device.numerators = {7, 7, 7, 7, 7, 7};
    device.signMask = 7;
    const QByteArray whole = deviceReply(device, '6', 1);
    QCOMPARE(whole.size(), 56);
    for (int length : lengths)
        seams.port.replies.push_back(length < 0 ? QByteArray() : whole.left(length));

    ReadParameterBlock();

    QCOMPARE(int(Others::ReadFailed), readFailed);
    QCOMPARE(int(Others::RetryCount), retries);
    QCOMPARE(seams.nowMs, qint64(virtualMs));
    // Three short replies fail the read as a port error does: with the
    // "ERROR" box, once. A whole reply after short ones is no failure.
    if (readFailed) {
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].text, kPortErrorText);
        QCOMPARE(seams.messages[0].title, kPortErrorTitle);
        QCOMPARE(seams.messages[0].icon, MsgIcon::Critical);
    } else {
        QVERIFY(seams.messages.isEmpty());
    }
    const int attempts = std::min(int(lengths.size()), 3);
    QCOMPARE(seams.port.trace.count("out 2A"), attempts);
    QCOMPARE(seams.port.trace.count("close"), attempts);
    QVERIFY(!seams.port.PortOpen());
    QVERIFY(!seams.port.rts());
    if (readFailed)
        QCOMPARE(sharedParameterSet(), before);
    else
        QCOMPARE(sharedParameterSet(),
                 makeSet("6", device.numerators, kOnes, {1, 1, 1, 0, 0, 0}, 1));
}

void ParameterReadTest::portUnusable_data() {
    QTest::addColumn<int>("openError");
    QTest::newRow("no such port") << int(comm::kInvalidPortNumber);
    QTest::newRow("held by another program") << int(comm::kPortAlreadyOpen);
    QTest::newRow("no permission") << int(comm::kNoPermission);
}

void ParameterReadTest::portUnusable() {
    QFETCH(int, openError);
    TestSeams seams;
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();
    seams.port.openError = openError;
    seams.port.replies.push_back(deviceReply({}));

    ReadParameterBlock();

    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(Others::LastPortError, QStringLiteral("scripted open failure"));
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, kPortErrorText);
    QCOMPARE(seams.messages[0].title, QStringLiteral("ERROR"));
    QCOMPARE(seams.messages[0].icon, MsgIcon::Critical);
    QVERIFY2(seams.port.trace.isEmpty(), qPrintable(seams.port.trace.join(", ")));
    QCOMPARE(seams.nowMs, qint64(0));
    QCOMPARE(sharedParameterSet(), before);
}

void ParameterReadTest::portAlreadyOpenIsLeftOpen() {
    TestSeams seams;
    seams.port.PortOpen(true);
    seams.port.trace.clear();
    seams.port.replies.push_back(deviceReply({}));

    ReadParameterBlock();

    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, kPortErrorText);
    QVERIFY(seams.port.written.isEmpty());
    QVERIFY2(seams.port.PortOpen(), "a port someone else opened is not ours to close");
    QVERIFY(seams.port.trace.isEmpty());
}

void ParameterReadTest::portFailingMidExchangeIsClosed() {
    TestSeams seams;
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();
    seams.port.outputError = comm::kDeviceError;

    ReadParameterBlock();

    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(exchangeOnly(seams.port.trace),
             (QStringList{"open", "rts on", "sleep 200", "discard", "rts off", "close"}));
    QCOMPARE(sharedParameterSet(), before);

    // The port is usable again: the next read succeeds.
    seams.port.outputError.reset();
    seams.port.replies.push_back(deviceReply({}));
    ReadParameterBlock();
    QCOMPARE(Others::ReadFailed, Others::False);
    QCOMPARE(sharedParameterSet(), makeSet("6", kOnes, kOnes, kOnes, 1));
}

void ParameterReadTest::rejectedReplyChangesNothing_data() {
    QTest::addColumn<QByteArray>("reply");
    const QList<QByteArray> fields = defaultFields();
    auto with = [&](int k, const QByteArray& text) {
        QList<QByteArray> changed = fields;
        changed[k - 1] = text;
        return changed;
    };

    QTest::newRow("variant a letter") << replyFromFields(fields, "001", 'X');
    QTest::newRow("variant a blank") << replyFromFields(fields, "001", ' ');
    for (int k : {1, 2, 13, 24, 25}) {
        QTest::addRow("comma missing after field %d", k) << replyFromFields(fields, "001", '6', k);
    }
    QTest::newRow("sign mask 40000") << replyFromFields(with(25, "40000"), "00001");
    QTest::newRow("sign mask -32769") << replyFromFields(with(25, "-32769"), "000001");
    // A garbled sign mask must not read as 0 and turn every input negative.
    QTest::newRow("sign mask empty") << replyFromFields(with(25, ""), "9");
    QTest::newRow("sign mask blanks only") << replyFromFields(with(25, "   "), "001");
    QTest::newRow("sign mask letters") << replyFromFields(with(25, "xx"), "01");
    QTest::newRow("sign mask trailing letter") << replyFromFields(with(25, "5x"), "01");
    QTest::newRow("sign mask letter between digits") << replyFromFields(with(25, "6x3"), "001");
    QTest::newRow("sign mask exponent without digits") << replyFromFields(with(25, "63e"), "001");
    QTest::newRow("sign mask sign only") << replyFromFields(with(25, "-"), "1");
    QTest::newRow("sign mask 32767.5 rounds beyond")
        << replyFromFields(with(25, "32767.5"), "0000001");
    QTest::newRow("output 256") << replyFromFields(fields, "256");
    QTest::newRow("output 255.5 rounds to 256") << replyFromFields(with(25, "00063"), "255.5");
    QTest::newRow("output -1") << replyFromFields(with(25, "0063"), "-1.0");
    QTest::newRow("pair beyond 32 bits") << replyFromFields(with(2, "8388608"), "001");
    QTest::newRow("low beyond 32 bits") << replyFromFields(with(1, "2147483648"), "001");
    QTest::newRow("pair of infinity") << replyFromFields(with(4, "1e999"), "001");
}

void ParameterReadTest::rejectedReplyChangesNothing() {
    QFETCH(QByteArray, reply);
    QVERIFY(reply.size() >= kReplyMinLength);
    TestSeams seams;
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();
    seams.port.replies.push_back(reply);

    ReadParameterBlock();

    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].title, kPortErrorTitle);
    QCOMPARE(seams.messages[0].icon, MsgIcon::Critical);
    QCOMPARE(sharedParameterSet(), before);
    // A rejected reply is not retried: one request, port closed behind it.
    QCOMPARE(seams.port.written, QByteArray("*"));
    QCOMPARE(seams.port.trace.last(), QStringLiteral("close"));
    QVERIFY(!seams.port.PortOpen());
}

void ParameterReadTest::parse_data() {
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<ParameterSet>("expected");
    const QList<QByteArray> fields = defaultFields();
    auto with = [&](std::initializer_list<std::pair<int, QByteArray>> changes) {
        QList<QByteArray> changed = fields;
        for (const auto& [k, text] : changes)
            changed[k - 1] = text;
        return changed;
    };

    QTest::newRow("variant 6") << replyFromFields(fields, "001", '6')
                               << makeSet("6", kOnes, kOnes, kOnes, 1);
    QTest::newRow("variant 3 shows as 2x3")
        << replyFromFields(fields, "001", '3') << makeSet("2x3", kOnes, kOnes, kOnes, 1);
    QTest::newRow("low 16 high 1 is 272") << replyFromFields(with({{1, "16"}, {2, "1"}}), "001")
                                          << makeSet("6", {272, 1, 1, 1, 1, 1}, kOnes, kOnes, 1);
    QTest::newRow("divisor 65535 of IN 6")
        << replyFromFields(with({{23, "255"}, {24, "255"}}), "001")
        << makeSet("6", kOnes, {1, 1, 1, 1, 1, 65535}, kOnes, 1);
    QTest::newRow("sign mask 5") << replyFromFields(with({{25, "005"}}), "001")
                                 << makeSet("6", kOnes, kOnes, {1, 0, 1, 0, 0, 0}, 1);
    QTest::newRow("sign mask 63") << replyFromFields(with({{25, "063"}}), "001")
                                  << makeSet("6", kOnes, kOnes, kOnes, 1);
    QTest::newRow("sign bits 6 and 7 ignored") << replyFromFields(with({{25, "192"}}), "001")
                                               << makeSet("6", kOnes, kOnes, {0, 0, 0, 0, 0, 0}, 1);
    QTest::newRow("negative sign mask -1")
        << replyFromFields(with({{25, "-01"}}), "001") << makeSet("6", kOnes, kOnes, kOnes, 1);
    QTest::newRow("one-char sign field reads one output char")
        << replyFromFields(with({{25, "5"}}), "12")
        << makeSet("6", kOnes, kOnes, {1, 0, 1, 0, 0, 0}, 1);
    QTest::newRow("output read over the sign width only")
        << replyFromFields(with({{25, "063"}}), "0123") << makeSet("6", kOnes, kOnes, kOnes, 12);
    QTest::newRow("sign mask with blanks around")
        << replyFromFields(with({{25, " 5\t"}}), "001")
        << makeSet("6", kOnes, kOnes, {1, 0, 1, 0, 0, 0}, 1);
    QTest::newRow("sign mask with point and exponent")
        << replyFromFields(with({{25, "+1.6e1"}}), "000001")
        << makeSet("6", kOnes, kOnes, {0, 0, 0, 0, 1, 0}, 1);
    QTest::newRow("sign mask half to even") << replyFromFields(with({{25, "62.5"}}), "0001")
                                            << makeSet("6", kOnes, kOnes, {0, 1, 1, 1, 1, 1}, 1);
    QTest::newRow("empty field reads 0")
        << replyFromFields(with({{3, ""}, {13, ""}}), "001")
        << makeSet("6", {1, 0, 1, 1, 1, 1}, {0, 1, 1, 1, 1, 1}, kOnes, 1);
    QTest::newRow("blank and zero padding")
        << replyFromFields(with({{1, "  16"}, {2, "001"}, {5, " 2 "}, {7, "\t9\n"}}), "  5")
        << makeSet("6", {272, 1, 2, 9, 1, 1}, kOnes, kOnes, 5);
    // The low field is rounded, then low + 256 x high is rounded as a whole.
    QTest::newRow("pair halves: low rounded, then the sum")
        << replyFromFields(with({{1, "2.5"},
                                 {2, "0.5"},
                                 {3, "3.5"},
                                 {4, "1.5"},
                                 {5, "1"},
                                 {6, "0.001953125"},
                                 {7, "0"},
                                 {8, "0.005859375"},
                                 {9, "0.4"},
                                 {10, "-0.5"}}),
                           "2.5")
        << makeSet("6", {130, 4 + 384, 2, 2, -128, 1}, kOnes, kOnes, 2);
    QTest::newRow("decimal point and exponent")
        << replyFromFields(with({{1, "1.6e1"}, {2, "0.1e1"}, {13, ".5e1"}}), "2.5")
        << makeSet("6", {272, 1, 1, 1, 1, 1}, {5, 1, 1, 1, 1, 1}, kOnes, 2);
    QTest::newRow("text after a number is ignored")
        << replyFromFields(with({{1, "12ab"}}), "7x9")
        << makeSet("6", {12, 1, 1, 1, 1, 1}, kOnes, kOnes, 7);
    QTest::newRow("largest pair in 32 bits")
        << replyFromFields(with({{1, "255"}, {2, "8388607"}}), "001")
        << makeSet("6", {2147483647, 1, 1, 1, 1, 1}, kOnes, kOnes, 1);
}

void ParameterReadTest::parse() {
    QFETCH(QByteArray, reply);
    QFETCH(ParameterSet, expected);
    const auto parsed = parseParameterReply(reply);
    QVERIFY2(parsed.has_value(), reply.constData());
    QCOMPARE(parsed->firmwareVersion, expected.firmwareVersion);
    QCOMPARE(parsed->table, expected.table);
    QCOMPARE(int(parsed->output), int(expected.output));
}

QTEST_GUILESS_MAIN(ParameterReadTest)
#include "test_parameter_read.moc"
