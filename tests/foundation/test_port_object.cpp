#include "app/Seams.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"
#include "support/TestPty.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using comm::CommError;

namespace {

int errorCodeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const CommError& e) {
        return e.code();
    }
    return 0;
}

} // namespace

class TestPortObject : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void portNumbersMapToDevices_data();
    void portNumbersMapToDevices();
    void linkWinsInAnyLetterCase();
    void openAndClose();
    void outputAndInputByteForByte();
    void discardDropsWaitingInput();
    void onCommAtThreshold();
    void missingDeviceIs8002();
    void alreadyOpenIs8005();
    void heldByAnotherOpenerIs8005();
    void operationsNeedAnOpenPort();
    void badSettingsRefused();
    void deviceVanishingIsReportedOnce();

private:
    QTemporaryDir* dir_ = nullptr;
    TestPty* pty_ = nullptr;
};

void TestPortObject::init() {
    dir_ = new QTemporaryDir;
    pty_ = new TestPty;
    QVERIFY(pty_->ok());
    QVERIFY(pty_->linkAs(dir_->path(), "com3"));
    seams::setProgramDirectory(dir_->path());
}

void TestPortObject::cleanup() {
    seams::setProgramDirectory(QString());
    delete pty_;
    delete dir_;
}

void TestPortObject::portNumbersMapToDevices_data() {
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("device");
    QTest::newRow("COM1") << 1 << "/dev/ttyS0";
    QTest::newRow("COM4") << 4 << "/dev/ttyS3";
    QTest::newRow("COM5") << 5 << "/dev/ttyUSB0";
    QTest::newRow("COM10") << 10 << "/dev/ttyUSB5";
    QTest::newRow("COM11") << 11 << "/dev/ttyACM0";
    QTest::newRow("COM15") << 15 << "/dev/ttyACM4";
    QTest::newRow("COM0") << 0 << "";
    QTest::newRow("COM16") << 16 << "";
}

void TestPortObject::portNumbersMapToDevices() {
    QFETCH(int, number);
    QFETCH(QString, device);
    QCOMPARE(deviceForPort(number, dir_->path()), device);
}

void TestPortObject::linkWinsInAnyLetterCase() {
    QVERIFY(pty_->linkAs(dir_->path(), "COM23"));
    QCOMPARE(deviceForPort(23, dir_->path()), QDir(dir_->path()).filePath("COM23"));
    QCOMPARE(deviceForPort(3, dir_->path()), QDir(dir_->path()).filePath("com3"));
}

void TestPortObject::openAndClose() {
    QtSerialComm port;
    port.CommPort(3);
    port.Settings("9600,N,8,1");
    port.DTREnable(false);
    QVERIFY(!port.PortOpen());
    port.PortOpen(true);
    QVERIFY(port.PortOpen());
    // A pseudo-terminal has no modem lines: RTS is silently ignored.
    port.RTSEnable(true);
    port.RTSEnable(false);
    QCOMPARE(errorCodeOf([&] { port.CommPort(4); }), int(comm::kPortIsOpen));
    port.PortOpen(false);
    QVERIFY(!port.PortOpen());
    port.PortOpen(false); // closing a closed port is harmless
}

void TestPortObject::outputAndInputByteForByte() {
    QtSerialComm port;
    port.CommPort(3);
    port.PortOpen(true);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    port.Output(all);
    QCOMPARE(pty_->receive(256, 2000), all);

    QVERIFY(pty_->send(all));
    QByteArray got;
    for (int i = 0; i < 100 && got.size() < 256; ++i) {
        QTest::qWait(5);
        got += port.Input();
    }
    QCOMPARE(got, all);
    QCOMPARE(port.Input(), QByteArray());
}

void TestPortObject::discardDropsWaitingInput() {
    QtSerialComm port;
    port.CommPort(3);
    port.PortOpen(true);
    QVERIFY(pty_->send("stale bytes"));
    QTest::qWait(50);
    port.InBufferCount(0);
    QVERIFY(pty_->send("K6"));
    QTest::qWait(50);
    QCOMPARE(port.Input(), QByteArray("K6"));
}

void TestPortObject::onCommAtThreshold() {
    QtSerialComm port;
    port.CommPort(3);
    port.PortOpen(true);
    port.RThreshold(2);
    QSignalSpy spy(&port, &MSComm::OnComm);
    QVERIFY(pty_->send("1"));
    QTest::qWait(100);
    QCOMPARE(spy.count(), 0); // one character is below the threshold
    QVERIFY(pty_->send("\r"));
    QVERIFY(spy.wait(2000));
    QCOMPARE(port.CommEvent(), int16_t(comm::kEvReceive));
    QCOMPARE(port.Input(), QByteArray("1\r"));
}

void TestPortObject::missingDeviceIs8002() {
    QtSerialComm port;
    port.CommPort(9); // /dev/ttyUSB4: not on a test machine
    QCOMPARE(errorCodeOf([&] { port.PortOpen(true); }), int(comm::kInvalidPortNumber));
    port.CommPort(0);
    QCOMPARE(errorCodeOf([&] { port.PortOpen(true); }), int(comm::kInvalidPortNumber));
    // A link whose device has gone is just as invalid.
    pty_->hangUp();
    port.CommPort(3);
    QCOMPARE(errorCodeOf([&] { port.PortOpen(true); }), int(comm::kInvalidPortNumber));
    QVERIFY(!port.PortOpen());
}

void TestPortObject::alreadyOpenIs8005() {
    QtSerialComm port;
    port.CommPort(3);
    port.PortOpen(true);
    QCOMPARE(errorCodeOf([&] { port.PortOpen(true); }), int(comm::kPortAlreadyOpen));
    QVERIFY(port.PortOpen());
}

void TestPortObject::heldByAnotherOpenerIs8005() {
    QtSerialComm holder;
    holder.CommPort(3);
    holder.PortOpen(true);
    QtSerialComm second;
    second.CommPort(3);
    QCOMPARE(errorCodeOf([&] { second.PortOpen(true); }), int(comm::kPortAlreadyOpen));
    holder.PortOpen(false);
    second.PortOpen(true);
    QVERIFY(second.PortOpen());
}

void TestPortObject::operationsNeedAnOpenPort() {
    QtSerialComm port;
    QCOMPARE(errorCodeOf([&] { port.Output("*"); }), int(comm::kPortNotOpen));
    QCOMPARE(errorCodeOf([&] { port.Input(); }), int(comm::kPortNotOpen));
    QCOMPARE(errorCodeOf([&] { port.InBufferCount(0); }), int(comm::kPortNotOpen));
}

void TestPortObject::badSettingsRefused() {
    QtSerialComm port;
    QCOMPARE(errorCodeOf([&] { port.Settings("fast"); }), int(comm::kInvalidPropertyValue));
    QCOMPARE(errorCodeOf([&] { port.Settings("0,N,8,1"); }), int(comm::kInvalidPropertyValue));
    QCOMPARE(errorCodeOf([&] { port.Handshaking(4); }), int(comm::kInvalidPropertyValue));
    QCOMPARE(port.Settings(), QStringLiteral("9600,N,8,1"));
    port.Settings("19200,N,8,1");
    QCOMPARE(port.Settings(), QStringLiteral("19200,N,8,1"));
}

void TestPortObject::deviceVanishingIsReportedOnce() {
    QtSerialComm port;
    port.CommPort(3);
    port.PortOpen(true);
    port.RThreshold(2);
    QSignalSpy spy(&port, &MSComm::OnComm);
    pty_->hangUp();
    QTRY_VERIFY_WITH_TIMEOUT(!spy.isEmpty(), 3000);
    QCOMPARE(port.CommEvent(), int16_t(comm::kErDeviceLost));
    QVERIFY(!port.PortOpen());
    QTest::qWait(200);
    QCOMPARE(spy.count(), 1);
}

QTEST_GUILESS_MAIN(TestPortObject)
#include "test_port_object.moc"
