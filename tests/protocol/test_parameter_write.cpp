// The parameter write: the octets on the wire, its pacing, the refusal of
// values the block cannot carry, the verifying read-back and port failures.

#include "protocol/ParameterBlock.h"
#include "support/FakeRelay.h"
#include "support/ScriptedPort.h"
#include "support/SharedState.h"
#include "support/TestLocale.h"

#include <QTest>
#include <algorithm>

namespace {

EditorFields allOnes() {
    EditorFields fields;
    fields.numerator.fill(QStringLiteral("1"));
    fields.divisor.fill(QStringLiteral("1"));
    fields.output = QStringLiteral("1");
    return fields;
}

// A set with two-octet values, a Minus box and an output other than 1.
EditorFields distinctive() {
    EditorFields fields;
    const int num[6] = {16, 300, 1, 255, 2, 3};
    const int div[6] = {1, 65535, 4, 1000, 1, 7};
    for (int i = 0; i < 6; ++i) {
        fields.numerator[i] = QString::number(num[i]);
        fields.divisor[i] = QString::number(div[i]);
    }
    fields.minus[1] = true;
    fields.output = QStringLiteral("5");
    return fields;
}

Others::ParameterTable distinctiveTable() {
    return {{{1, 16, 1}, {0, 300, 65535}, {1, 1, 4}, {1, 255, 1000}, {1, 2, 1}, {1, 3, 7}}};
}

QStringList readTrace(int replyLength) {
    return {"open",
            "rts on",
            "sleep 200",
            "discard",
            "out 2A",
            "sleep 200",
            QStringLiteral("in %1").arg(replyLength),
            "rts off",
            "close"};
}

enum class Relay { Echo, OtherOutput, NumeratorOff, DivisorOff, SignOff, Silent, Garbled };

} // namespace

Q_DECLARE_METATYPE(Relay)
Q_DECLARE_METATYPE(WriteOutcome::Result)
Q_DECLARE_METATYPE(ReadOutcome::Result)
Q_DECLARE_METATYPE(AfterComma)

class ParameterWriteTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void defaultsGoOutPacedAndVerified();
    void fieldOctets_data();
    void fieldOctets();
    void minusBoxesMakeTheSignMask();
    void refusedValues_data();
    void refusedValues();
    void refusalNamesEveryField();
    void verification_data();
    void verification();
    void portFailure_data();
    void portFailure();
    void portAlreadyOpenIsLeftOpen();
    void outcomesAreReturned_data();
    void outcomesAreReturned();
    void stopTiming_data();
    void stopTiming();
    void readStopsAtItsFirstPause();
};

void ParameterWriteTest::defaultsGoOutPacedAndVerified() {
    TestSeams seams;
    FakeRelay relay(seams.port);

    WriteParameterBlock(allOnes());

    QStringList expected{"open", "rts on", "sleep 200", "out 2C", "sleep 200", "rts off"};
    const QByteArray block = QByteArray::fromHex("010001000100010001000100"
                                                 "010001000100010001000100"
                                                 "3F01");
    for (char octet : block)
        expected << QStringLiteral("out ") +
                        QString::number(uchar(octet), 16).rightJustified(2, '0').toUpper()
                 << "sleep 20";
    expected << "close"
             << "sleep 800" << readTrace(int(deviceReply(relay.stored).size()));
    QCOMPARE(exchangeOnly(seams.port.trace), expected);
    QCOMPARE(seams.port.written, QByteArray(",") + block + "*");
    QCOMPARE(seams.nowMs, qint64(1720 + 400));
    QCOMPARE(relay.blocksStored, 1);
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, QStringLiteral("All Parameter writen "));
    QCOMPARE(seams.messages[0].title, QStringLiteral("Check Parameter"));
    QCOMPARE(seams.messages[0].icon, MsgIcon::Information);
    QCOMPARE(Others::ReadFailed, Others::False);
}

void ParameterWriteTest::fieldOctets_data() {
    QTest::addColumn<int>("column"); // ParamTable column, or -1 for the output box
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("octets");
    QTest::addColumn<int>("stored");

    const int num = Others::kNumeratorColumn;
    const int div = Others::kDivisorColumn;
    QTest::newRow("numerator 300") << num << 0 << "300" << QByteArray("\x2C\x01", 2) << 300;
    QTest::newRow("numerator 255 stays one octet")
        << num << 5 << "255" << QByteArray("\xFF\x00", 2) << 255;
    QTest::newRow("divisor 65535") << div << 2 << "65535" << QByteArray("\xFF\xFF", 2) << 65535;
    QTest::newRow("divisor 256") << div << 3 << "256" << QByteArray("\x00\x01", 2) << 256;
    QTest::newRow("divisor 0") << div << 1 << "0" << QByteArray("\x00\x00", 2) << 0;
    QTest::newRow("numerator with a leading blank")
        << num << 1 << " 12" << QByteArray("\x0C\x00", 2) << 12;
    QTest::newRow("divisor with blanks and a tab around")
        << div << 0 << "\t 9  " << QByteArray("\x09\x00", 2) << 9;
    QTest::newRow("numerator +.5e1") << num << 5 << "+.5e1" << QByteArray("\x05\x00", 2) << 5;
    QTest::newRow("2.5 rounds to 2") << num << 2 << "2.5" << QByteArray("\x02\x00", 2) << 2;
    QTest::newRow("3.5 rounds to 4") << num << 3 << "3.5" << QByteArray("\x04\x00", 2) << 4;
    QTest::newRow("exponent 1e3") << div << 4 << "1e3" << QByteArray("\xE8\x03", 2) << 1000;
    QTest::newRow("65535.4 still fits")
        << div << 5 << "65535.4" << QByteArray("\xFF\xFF", 2) << 65535;
    QTest::newRow("-0.4 rounds to 0") << num << 0 << "-0.4" << QByteArray("\x00\x00", 2) << 0;
    QTest::newRow("output 255") << -1 << 0 << "255" << QByteArray("\xFF") << 255;
    QTest::newRow("output 0") << -1 << 0 << "0" << QByteArray("\x00", 1) << 0;
    QTest::newRow("output 7.5 rounds to 8") << -1 << 0 << "7.5" << QByteArray("\x08") << 8;
}

void ParameterWriteTest::fieldOctets() {
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QByteArray, octets);
    QFETCH(int, stored);

    TestSeams seams;
    FakeRelay relay(seams.port);
    EditorFields fields = allOnes();
    int wireOffset = 26; // "," then the block: output at block offset 25
    if (column == Others::kNumeratorColumn) {
        fields.numerator[row] = text;
        wireOffset = 1 + 2 * row;
    } else if (column == Others::kDivisorColumn) {
        fields.divisor[row] = text;
        wireOffset = 13 + 2 * row;
    } else {
        fields.output = text;
    }

    WriteParameterBlock(fields);

    QCOMPARE(seams.port.written.size(), 28); // ",", 26 octets, then the read-back's "*"
    QCOMPARE(seams.port.written.mid(wireOffset, octets.size()).toHex(), octets.toHex());
    // Every other octet still carries the default 1.
    QByteArray rest = seams.port.written.mid(1, 26);
    rest.remove(wireOffset - 1, octets.size());
    QCOMPARE(int(std::count(rest.begin(), rest.end(), '\x01')), 12);
    if (column < 0) {
        QCOMPARE(relay.stored.output, stored);
        QCOMPARE(int(Others::OutputParam), stored);
    } else {
        QCOMPARE(Others::ParamTable[row][column], stored);
    }
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].title, kWriteVerifiedTitle);
}

void ParameterWriteTest::minusBoxesMakeTheSignMask() {
    TestSeams seams;
    FakeRelay relay(seams.port);
    relay.silent = true; // keep the table the write stored
    EditorFields fields = allOnes();
    fields.minus[0] = true;
    fields.minus[2] = true;

    WriteParameterBlock(fields);

    QCOMPARE(uchar(seams.port.written.at(25)), uchar(0x3A));
    QCOMPARE(relay.stored.signMask, 0x3A);
    const int expectedFlags[6] = {0, 1, 0, 1, 1, 1};
    for (int i = 0; i < 6; ++i)
        QCOMPARE(Others::ParamTable[i][Others::kSignColumn], expectedFlags[i]);
}

void ParameterWriteTest::refusedValues_data() {
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("row");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("message");

    const int num = Others::kNumeratorColumn;
    const int div = Others::kDivisorColumn;
    QTest::newRow("numerator 65536")
        << num << 0 << "65536"
        << R"(Numerator of IN 1: "65536" is outside 0..65535; nothing was sent.)";
    QTest::newRow("divisor 70000")
        << div << 2 << "70000"
        << R"(Divisor of IN 3: "70000" is outside 0..65535; nothing was sent.)";
    QTest::newRow("divisor -1")
        << div << 5 << "-1"
        << R"(Divisor of IN 6: "-1" is outside 0..65535; nothing was sent.)";
    QTest::newRow("65535.5 rounds to 65536")
        << num << 3 << "65535.5"
        << R"(Numerator of IN 4: "65535.5" is outside 0..65535; nothing was sent.)";
    QTest::newRow("numerator too large for a double")
        << num << 1 << "1e999"
        << R"(Numerator of IN 2: "1e999" is outside 0..65535; nothing was sent.)";
    QTest::newRow("%1 in the text")
        << num << 0 << "99999%1"
        << R"(Numerator of IN 1: "99999%1" is not a number; nothing was sent.)";
    QTest::newRow("output 256") << -1 << 0 << "256"
                                << R"(Output: "256" is outside 0..255; nothing was sent.)";
    QTest::newRow("output 255.5 rounds to 256")
        << -1 << 0 << "255.5"
        << R"(Output: "255.5" is outside 0..255; nothing was sent.)";
    QTest::newRow("output -0.6") << -1 << 0 << "-0.6"
                                 << R"(Output: "-0.6" is outside 0..255; nothing was sent.)";
    // Text that is not wholly one number is refused the same way: read as
    // far as it goes it would send 0 or the leading digits.
    QTest::newRow("numerator abc")
        << num << 4 << "abc"
        << R"(Numerator of IN 5: "abc" is not a number; nothing was sent.)";
    QTest::newRow("numerator 12abc")
        << num << 0 << "12abc"
        << R"(Numerator of IN 1: "12abc" is not a number; nothing was sent.)";
    QTest::newRow("divisor 1 2") << div << 1 << "1 2"
                                 << R"(Divisor of IN 2: "1 2" is not a number; nothing was sent.)";
    QTest::newRow("divisor empty") << div << 3 << ""
                                   << R"(Divisor of IN 4: "" is not a number; nothing was sent.)";
    QTest::newRow("numerator exponent without digits")
        << num << 2 << "1e"
        << R"(Numerator of IN 3: "1e" is not a number; nothing was sent.)";
    QTest::newRow("numerator sign only")
        << num << 3 << "-"
        << R"(Numerator of IN 4: "-" is not a number; nothing was sent.)";
    QTest::newRow("numerator decimal comma")
        << num << 1 << "2,5"
        << R"(Numerator of IN 2: "2,5" is not a number; nothing was sent.)";
    QTest::newRow("output 7x") << -1 << 0 << "7x"
                               << R"(Output: "7x" is not a number; nothing was sent.)";
}

void ParameterWriteTest::refusedValues() {
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(QString, text);
    QFETCH(QString, message);

    TestSeams seams;
    FakeRelay relay(seams.port);
    prefillSharedParameterSet();
    Others::ReadFailed = Others::True;
    const Others::ParameterTable before = Others::ParamTable;
    EditorFields fields = allOnes();
    if (column == Others::kNumeratorColumn)
        fields.numerator[row] = text;
    else if (column == Others::kDivisorColumn)
        fields.divisor[row] = text;
    else
        fields.output = text;

    WriteParameterBlock(fields);

    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, message);
    QCOMPARE(seams.messages[0].icon, MsgIcon::Warning);
    QCOMPARE(seams.messages[0].title, kAppTitle);
    QVERIFY2(seams.port.trace.isEmpty(), qPrintable(seams.port.trace.join(", ")));
    QVERIFY(seams.port.written.isEmpty());
    QCOMPARE(seams.nowMs, qint64(0));
    QCOMPARE(Others::ParamTable, before);
    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(relay.blocksStored, 0);
}

void ParameterWriteTest::refusalNamesEveryField() {
    EditorFields fields = allOnes();
    fields.numerator[4] = QStringLiteral("-3");
    fields.output = QStringLiteral("300");
    QString error;
    QVERIFY(!encodeWriteBlock(fields, &error).has_value());
    QCOMPARE(error, QStringLiteral("Numerator of IN 5: \"-3\" is outside 0..65535\n"
                                   "Output: \"300\" is outside 0..255; nothing was sent."));
}

void ParameterWriteTest::verification_data() {
    QTest::addColumn<Relay>("relayKind");
    QTest::addColumn<QString>("title"); // of the one message, empty for none
    QTest::addColumn<int>("readFailed");
    QTest::addColumn<qint64>("virtualMs");
    QTest::addColumn<bool>("tableIsEditors");

    QTest::newRow("device keeps what was sent")
        << Relay::Echo << "Check Parameter" << 0 << qint64(2120) << true;
    QTest::newRow("other output value is not compared")
        << Relay::OtherOutput << "Check Parameter" << 0 << qint64(2120) << true;
    QTest::newRow("numerator of IN 1 differs")
        << Relay::NumeratorOff << "ERROR" << 0 << qint64(2120) << false;
    QTest::newRow("divisor of IN 6 differs")
        << Relay::DivisorOff << "ERROR" << 0 << qint64(2120) << false;
    QTest::newRow("sign of IN 5 differs")
        << Relay::SignOff << "ERROR" << 0 << qint64(2120) << false;
    // Sent, but unverified: the operator must not take that for a success.
    QTest::newRow("read-back silent")
        << Relay::Silent << "ERROR" << -1 << qint64(1720 + 2700) << true;
    QTest::newRow("read-back garbled") << Relay::Garbled << "ERROR" << -1 << qint64(2120) << true;
}

void ParameterWriteTest::verification() {
    QFETCH(Relay, relayKind);
    QFETCH(QString, title);
    QFETCH(int, readFailed);
    QFETCH(qint64, virtualMs);
    QFETCH(bool, tableIsEditors);

    TestSeams seams;
    FakeRelay relay(seams.port);
    switch (relayKind) {
    case Relay::OtherOutput:
        relay.corrupt = [](RelayParams& p) { p.output = 99; };
        break;
    case Relay::NumeratorOff:
        relay.corrupt = [](RelayParams& p) { p.numerators[0] += 1; };
        break;
    case Relay::DivisorOff:
        relay.corrupt = [](RelayParams& p) { p.divisors[5] = 8; };
        break;
    case Relay::SignOff:
        relay.corrupt = [](RelayParams& p) { p.signMask ^= 1 << 4; };
        break;
    case Relay::Silent:
        relay.silent = true;
        break;
    case Relay::Garbled:
        relay.variant = 'X';
        break;
    case Relay::Echo:
        break;
    }

    WriteParameterBlock(distinctive());

    QCOMPARE(relay.blocksStored, 1);
    QCOMPARE(int(Others::ReadFailed), readFailed);
    QCOMPARE(seams.nowMs, virtualMs);
    if (title.isEmpty()) {
        QVERIFY(seams.messages.isEmpty());
    } else {
        QCOMPARE(seams.messages.size(), 1);
        QCOMPARE(seams.messages[0].title, title);
        QCOMPARE(seams.messages[0].text,
                 title == kPortErrorTitle ? kPortErrorText : kWriteVerifiedText);
        QCOMPARE(seams.messages[0].icon,
                 title == kPortErrorTitle ? MsgIcon::Critical : MsgIcon::Information);
    }
    QCOMPARE(Others::ParamTable == distinctiveTable(), tableIsEditors);
    if (relayKind == Relay::OtherOutput)
        QCOMPARE(int(Others::OutputParam), 99);
}

void ParameterWriteTest::portFailure_data() {
    QTest::addColumn<int>("openError");
    QTest::addColumn<int>("failingOutput"); // index of the Output call that fails, -1 none
    QTest::addColumn<QStringList>("trace");

    QTest::newRow("no such port") << int(comm::kInvalidPortNumber) << -1 << QStringList{};
    QTest::newRow("port held elsewhere") << int(comm::kPortAlreadyOpen) << -1 << QStringList{};
    QTest::newRow("command character fails")
        << 0 << 0 << QStringList{"open", "rts on", "sleep 200", "rts off", "close"};
    QTest::newRow("third block octet fails")
        << 0 << 3
        << QStringList{"open",   "rts on",   "sleep 200", "out 2C",   "sleep 200", "rts off",
                       "out 10", "sleep 20", "out 00",    "sleep 20", "close"};
}

void ParameterWriteTest::portFailure() {
    QFETCH(int, openError);
    QFETCH(int, failingOutput);
    QFETCH(QStringList, trace);

    TestSeams seams;
    FakeRelay relay(seams.port);
    if (openError)
        seams.port.openError = openError;
    int outputs = 0;
    auto relayInput = seams.port.onOutput;
    seams.port.onOutput = [&](const QByteArray& text) {
        relayInput(text);
        if (++outputs == failingOutput)
            seams.port.outputError = comm::kDeviceError;
    };
    if (failingOutput == 0)
        seams.port.outputError = comm::kDeviceError;

    WriteParameterBlock(distinctive());

    QCOMPARE(exchangeOnly(seams.port.trace), trace);
    QVERIFY(!seams.port.PortOpen());
    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].title, kPortErrorTitle);
    QCOMPARE(seams.messages[0].text, kPortErrorText);
    QCOMPARE(seams.messages[0].icon, MsgIcon::Critical);
    QCOMPARE(relay.blocksStored, 0);
    QCOMPARE(Others::ParamTable, distinctiveTable());
}

void ParameterWriteTest::portAlreadyOpenIsLeftOpen() {
    TestSeams seams;
    seams.port.PortOpen(true);
    seams.port.trace.clear();

    WriteParameterBlock(allOnes());

    QVERIFY(seams.port.PortOpen());
    QVERIFY(seams.port.written.isEmpty());
    QCOMPARE(seams.messages.size(), 1);
    QCOMPARE(seams.messages[0].text, kPortErrorText);
    QCOMPARE(Others::ReadFailed, Others::True);
}

QTEST_GUILESS_MAIN(ParameterWriteTest)
#include "test_parameter_write.moc"

void ParameterWriteTest::outcomesAreReturned_data() {
    QTest::addColumn<Relay>("relayKind");
    QTest::addColumn<int>("openError");
    QTest::addColumn<WriteOutcome::Result>("result");
    QTest::addColumn<ReadOutcome::Result>("readBack");

    using W = WriteOutcome::Result;
    using R = ReadOutcome::Result;
    QTest::newRow("verified") << Relay::Echo << 0 << W::Verified << R::Read;
    QTest::newRow("output not compared") << Relay::OtherOutput << 0 << W::Verified << R::Read;
    QTest::newRow("differs") << Relay::DivisorOff << 0 << W::Differs << R::Read;
    QTest::newRow("read-back silent") << Relay::Silent << 0 << W::ReadBackFailed << R::NoReply;
    QTest::newRow("read-back garbled") << Relay::Garbled << 0 << W::ReadBackFailed << R::BadReply;
    QTest::newRow("port refused") << Relay::Echo << int(comm::kPortAlreadyOpen) << W::PortError
                                  << R::NoReply;
}

// The exchange itself hands back what happened and leaves the shared state
// and the message boxes to its callers.
void ParameterWriteTest::outcomesAreReturned() {
    QFETCH(Relay, relayKind);
    QFETCH(int, openError);
    QFETCH(WriteOutcome::Result, result);
    QFETCH(ReadOutcome::Result, readBack);
    TestSeams seams;
    FakeRelay relay(seams.port);
    if (relayKind == Relay::OtherOutput)
        relay.corrupt = [](RelayParams& p) { p.output = 99; };
    if (relayKind == Relay::DivisorOff)
        relay.corrupt = [](RelayParams& p) { p.divisors[5] = 8; };
    relay.silent = relayKind == Relay::Silent;
    if (relayKind == Relay::Garbled)
        relay.variant = 'X';
    if (openError)
        seams.port.openError = openError;
    prefillSharedParameterSet();
    const ParameterSet shared = sharedParameterSet();

    const WriteOutcome outcome = writeParameterSet(distinctive(), seams.port, Sleep);

    QCOMPARE(outcome.result, result);
    QCOMPARE(outcome.blockSent, openError == 0);
    QCOMPARE(outcome.written, distinctiveTable());
    QCOMPARE(outcome.portError.isEmpty(), openError == 0);
    if (openError == 0)
        QCOMPARE(outcome.readBack.result, readBack);
    QCOMPARE(outcome.readBack.set.has_value(),
             readBack == ReadOutcome::Result::Read && openError == 0);
    QCOMPARE(sharedParameterSet(), shared);
    QCOMPARE(Others::ReadFailed, Others::False);
    QVERIFY(seams.messages.isEmpty());
    QVERIFY(!seams.port.PortOpen());
}

void ParameterWriteTest::stopTiming_data() {
    QTest::addColumn<int>("stopAt"); // the pause that asks for the stop
    QTest::addColumn<AfterComma>("afterComma");
    QTest::addColumn<WriteOutcome::Result>("result");
    QTest::addColumn<int>("blocks");     // blocks the device stored
    QTest::addColumn<int>("reads");      // read-back requests sent
    QTest::addColumn<int>("heldPauses"); // pauses that ran held

    // Pause 0 comes before the ",", pause 1 right after it, pauses 2..27
    // after each octet, pause 28 is the device's store time, and the
    // read-back's pauses follow.
    using W = WriteOutcome::Result;
    const auto stop = AfterComma::StopAfterBlock;
    const auto finish = AfterComma::FinishReadBack;
    const int block = 1 + kWriteBlockSize;
    QTest::newRow("before the \",\": nothing sent") << 0 << stop << W::Stopped << 0 << 0 << 0;
    QTest::newRow("before the \",\", finishing: nothing sent")
        << 0 << finish << W::Stopped << 0 << 0 << 0;
    QTest::newRow("after the \",\": the whole block") << 1 << stop << W::Stopped << 1 << 0 << block;
    QTest::newRow("in the block, finishing: verified")
        << 10 << finish << W::Verified << 1 << 1 << block + 3;
    QTest::newRow("in the read-back: cut short") << 30 << stop << W::Stopped << 1 << 1 << block;
    QTest::newRow("in the read-back, finishing: verified")
        << 30 << finish << W::Verified << 1 << 1 << block + 3;
}

// A stop asked for before the "," ends the write with nothing sent and the
// port left closed; once the "," has gone the block goes out whole, and a
// write that finishes also reads back to the end.
void ParameterWriteTest::stopTiming() {
    QFETCH(int, stopAt);
    QFETCH(AfterComma, afterComma);
    QFETCH(WriteOutcome::Result, result);
    QFETCH(int, blocks);
    QFETCH(int, reads);
    QFETCH(int, heldPauses);
    TestSeams seams;
    FakeRelay relay(seams.port);
    StopRequest stop;
    int pauses = 0;
    int held = 0;
    const Pause pause = [&](int ms) {
        if (pauses++ == stopAt)
            stop.request();
        held += stop.held() ? 1 : 0;
        Sleep(ms);
    };

    const WriteOutcome write =
        writeParameterSet(distinctive(), seams.port, pause, &stop, afterComma);

    QCOMPARE(write.result, result);
    QCOMPARE(write.blockSent, blocks == 1);
    QCOMPARE(relay.blocksStored, blocks);
    QCOMPARE(seams.port.trace.contains(QStringLiteral("out 2C")), blocks == 1);
    QCOMPARE(seams.port.trace.count(QStringLiteral("out 2A")), reads);
    QCOMPARE(held, heldPauses);
    QVERIFY(!stop.held());
    QVERIFY(!seams.port.PortOpen());
    QVERIFY(!seams.port.rts());
    QVERIFY(seams.messages.isEmpty());
}

// A read stops at its first pause with RTS dropped and the port closed.
void ParameterWriteTest::readStopsAtItsFirstPause() {
    TestSeams seams;
    FakeRelay relay(seams.port);
    StopRequest stop;
    stop.request();
    const ReadOutcome read = readParameterSet(seams.port, Sleep, &stop);
    QCOMPARE(read.result, ReadOutcome::Result::Stopped);
    QCOMPARE(seams.port.trace, QStringList({"open", "rts on", "sleep 200", "rts off", "close"}));
}
