// The parameter read and write through QSerialPort over a pty, against the
// simulated relay, with the real pauses.

#include "E2eRig.h"
#include "core/Others.h"
#include "protocol/ParameterBlock.h"
#include "serial/QtSerialComm.h"
#include "support/SharedState.h"
#include "support/TestLocale.h"

#include <QTest>

using ktr6sim::FaultKind;

Q_DECLARE_METATYPE(ktr6sim::Fault)

namespace {

struct Message {
    QString text;
    QString title;
};

// The port object and message recorder bound for one test; sleeps are real.
class LiveSeams {
public:
    explicit LiveSeams(const QString& programDir) {
        Others::resetAll();
        seams::setProgramDirectory(programDir);
        seams::bindPort(&port);
        seams::bindSleep({});
        seams::bindMessage([this](const QString& text, const QString& title, MsgIcon) {
            messages.append({text, title});
        });
        loaded = LoadPortSettings();
    }
    ~LiveSeams() {
        seams::bindPort(nullptr);
        seams::bindMessage({});
        seams::setProgramDirectory({});
    }
    QtSerialComm port;
    QList<Message> messages;
    bool loaded = false;
};

ktr6sim::ParamSet deviceSet() {
    ktr6sim::ParamSet p;
    p.numerators = {16, 1, 300, 255, 2, 1};
    p.divisors = {1, 4, 65535, 1000, 3, 1};
    p.signMask = 0x3D; // IN 2 counts negative
    p.output = 5;
    return p;
}

Others::ParameterTable deviceTable() {
    return {{{1, 16, 1}, {0, 1, 4}, {1, 300, 65535}, {1, 255, 1000}, {1, 2, 3}, {1, 1, 1}}};
}

// Typed as an operator may: halves go to the even neighbour, whatever the
// machine's decimal separator.
EditorFields editorFields() {
    EditorFields fields;
    const char* num[6] = {"20", "3.5", "1", "5.12e2", "7", "65535"};
    const char* div[6] = {"1", "2.5", "300", "1", "9.4", "256"};
    for (int i = 0; i < 6; ++i) {
        fields.numerator[i] = QLatin1String(num[i]);
        fields.divisor[i] = QLatin1String(div[i]);
    }
    fields.minus[0] = true;
    fields.minus[4] = true;
    fields.output = QStringLiteral("4.2e1");
    return fields;
}

ktr6sim::ParamSet editorAsDevice() {
    ktr6sim::ParamSet p;
    p.numerators = {20, 4, 1, 512, 7, 65535};
    p.divisors = {1, 2, 300, 1, 9, 256};
    p.signMask = 0x2E;
    p.output = 42;
    return p;
}

} // namespace

class E2eParameterBlockTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void readOverThePty();
    void writeAndVerify();
    void noAcceptableReplyShowsTheBoxOnce_data();
    void noAcceptableReplyShowsTheBoxOnce();
    void deviceStoresSomethingElse();
    void hangUpDuringRead();
};

void E2eParameterBlockTest::readOverThePty() {
    ktr6sim::SimConfig config;
    config.params = deviceSet();
    config.reply.variant = '3';
    config.reply.fields = ktr6sim::FieldStyle::Blank;
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    LiveSeams live(rig.dir.path());
    QVERIFY(live.loaded);

    QElapsedTimer timer;
    timer.start();
    ReadParameterBlock();
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(Others::ReadFailed, Others::False);
    QVERIFY(live.messages.isEmpty());
    QCOMPARE(Others::FirmwareVersion, QStringLiteral("2x3"));
    QCOMPARE(Others::ParamTable, deviceTable());
    QCOMPARE(int(Others::OutputParam), 5);
    QVERIFY(!live.port.PortOpen());
    QCOMPARE(rig.sim->receivedBytes(), QByteArray("*"));
    qInfo("one read over the pty: %lld ms (fixed pauses 400 ms)", elapsed);
    QVERIFY2(elapsed >= 400 && elapsed < 1000, qPrintable(QString::number(elapsed)));
}

void E2eParameterBlockTest::writeAndVerify() {
    SimRig rig;
    QVERIFY2(rig.started, qPrintable(rig.error));
    LiveSeams live(rig.dir.path());
    QVERIFY(live.loaded);

    QElapsedTimer timer;
    timer.start();
    WriteParameterBlock(editorFields());
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(live.messages.size(), 1);
    QCOMPARE(live.messages[0].text, kWriteVerifiedText);
    QCOMPARE(live.messages[0].title, kWriteVerifiedTitle);
    QCOMPARE(rig.sim->storedParams(), editorAsDevice());
    QCOMPARE(int(Others::OutputParam), 42);
    QCOMPARE(rig.sim->receivedBytes().size(), 28); // ",", the block, the read-back's "*"
    QVERIFY(!live.port.PortOpen());
    qInfo("one write with its read-back: %lld ms (fixed pauses 1720 + 400 ms)", elapsed);
    QVERIFY2(elapsed >= 2120 && elapsed < 3200, qPrintable(QString::number(elapsed)));
}

void E2eParameterBlockTest::noAcceptableReplyShowsTheBoxOnce_data() {
    QTest::addColumn<ktr6sim::Fault>("fault");
    QTest::newRow("device silent") << ktr6sim::Fault{FaultKind::Silence, 0};
    QTest::newRow("reply after the window") << ktr6sim::Fault{FaultKind::Late, 300};
}

void E2eParameterBlockTest::noAcceptableReplyShowsTheBoxOnce() {
    QFETCH(ktr6sim::Fault, fault);
    ktr6sim::SimConfig config;
    config.fault = fault;
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    LiveSeams live(rig.dir.path());
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();

    QElapsedTimer timer;
    timer.start();
    ReadParameterBlock();
    const qint64 elapsed = timer.elapsed();

    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(int(Others::RetryCount), 3);
    QCOMPARE(live.messages.size(), 1);
    QCOMPARE(live.messages[0].text, kPortErrorText);
    QCOMPARE(live.messages[0].title, kPortErrorTitle);
    QCOMPARE(sharedParameterSet(), before);
    QCOMPARE(rig.sim->receivedBytes(), QByteArray("***"));
    QVERIFY2(elapsed >= 2700 && elapsed < 3700, qPrintable(QString::number(elapsed)));
}

void E2eParameterBlockTest::deviceStoresSomethingElse() {
    ktr6sim::SimConfig config;
    config.fault = {FaultKind::StoreDifferent, 0};
    SimRig rig(config);
    QVERIFY2(rig.started, qPrintable(rig.error));
    LiveSeams live(rig.dir.path());

    WriteParameterBlock(editorFields());

    QCOMPARE(Others::ReadFailed, Others::False);
    QCOMPARE(live.messages.size(), 1);
    QCOMPARE(live.messages[0].title, kPortErrorTitle);
    QCOMPARE(live.messages[0].text, kPortErrorText);
    // The table now holds what the device reported, not what was sent.
    QCOMPARE(Others::ParamTable[0][Others::kNumeratorColumn], 21);
}

void E2eParameterBlockTest::hangUpDuringRead() {
    ktr6sim::SimConfig config;
    config.fault = {FaultKind::Hangup, 0};
    SimRig rig(config, kLinkOnlyPort);
    QVERIFY2(rig.started, qPrintable(rig.error));
    LiveSeams live(rig.dir.path());
    prefillSharedParameterSet();
    const ParameterSet before = sharedParameterSet();

    ReadParameterBlock();

    // The reply is read from a line that is gone: the failure path, at once.
    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(Others::RetryCount, int16_t(0));
    QCOMPARE(live.messages.size(), 1);
    QCOMPARE(live.messages[0].text, kPortErrorText);
    QCOMPARE(sharedParameterSet(), before);
    QVERIFY2(!live.port.PortOpen(), "a port whose device vanished must not stay open");

    // The device stays away: the next read fails at the open, with the box.
    live.messages.clear();
    ReadParameterBlock();
    QCOMPARE(Others::ReadFailed, Others::True);
    QCOMPARE(live.messages.size(), 1);
    QCOMPARE(live.messages[0].text, kPortErrorText);
    QVERIFY(!live.port.PortOpen());
}

QTEST_GUILESS_MAIN(E2eParameterBlockTest)
#include "test_e2e_parameter_block.moc"
