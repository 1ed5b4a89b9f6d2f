#include "core/Seams.h"
#include "serial/PortMap.h"
#include "serial/QtSerialComm.h"
#include "support/TestPty.h"

#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <cerrno>
#include <sys/ioctl.h>
#include <termios.h>

using comm::CommError;

Q_DECLARE_METATYPE(Platform)

namespace {

int errorCodeOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const CommError& e) {
        return e.code();
    }
    return 0;
}

// The modem line and terminal setting requests the port object makes, as a
// real UART would get them.
QStringList requests;

int recordModemLine(int, unsigned long request, int bit) {
    requests << QStringLiteral("%1 %2").arg(
        bit == TIOCM_RTS ? QStringLiteral("RTS") : QStringLiteral("DTR"),
        request == TIOCMBIS ? QStringLiteral("on") : QStringLiteral("off"));
    return 0;
}

QString describeTerminal(const termios& settings) {
    QString text = QStringLiteral("terminal");
    if (settings.c_iflag & IXON)
        text += QStringLiteral(" IXON");
    if (settings.c_iflag & IXOFF)
        text += QStringLiteral(" IXOFF");
    if (settings.c_cflag & CRTSCTS)
        text += QStringLiteral(" CRTSCTS");
    return text;
}

int recordTerminal(int fd, int action, const termios* settings) {
    requests << describeTerminal(*settings);
    return ::tcsetattr(fd, action, settings);
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
    void modemLinesFollowThePropertiesOnEveryOpen_data();
    void modemLinesFollowThePropertiesOnEveryOpen();
    void refusedTerminalSettingIsAPortError_data();
    void refusedTerminalSettingIsAPortError();
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
    QtSerialComm::modemLineCallForTests = nullptr;
    QtSerialComm::setTerminalCallForTests = nullptr;
    requests.clear();
    seams::setProgramDirectory(QString());
    delete pty_;
    delete dir_;
}

void TestPortObject::portNumbersMapToDevices_data() {
    QTest::addColumn<Platform>("platform");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("device");
    // A device file must exist before the port opens; a Windows port name is
    // looked up by the system alone, as QSerialPort forms \\.\COMn itself.
    QTest::addColumn<bool>("file");
    const auto onLinux = Platform::Linux;
    const auto onWindows = Platform::Windows;
    QTest::newRow("COM1") << onLinux << 1 << "/dev/ttyS0" << true;
    QTest::newRow("COM4") << onLinux << 4 << "/dev/ttyS3" << true;
    QTest::newRow("COM5") << onLinux << 5 << "/dev/ttyUSB0" << true;
    QTest::newRow("COM10") << onLinux << 10 << "/dev/ttyUSB5" << true;
    QTest::newRow("COM11") << onLinux << 11 << "/dev/ttyACM0" << true;
    QTest::newRow("COM15") << onLinux << 15 << "/dev/ttyACM4" << true;
    QTest::newRow("COM0") << onLinux << 0 << "" << false;
    QTest::newRow("COM16") << onLinux << 16 << "" << false;
    QTest::newRow("Windows COM1") << onWindows << 1 << "COM1" << false;
    QTest::newRow("Windows COM10") << onWindows << 10 << "COM10" << false;
    QTest::newRow("Windows COM15") << onWindows << 15 << "COM15" << false;
    QTest::newRow("Windows COM0") << onWindows << 0 << "" << false;
}

void TestPortObject::portNumbersMapToDevices() {
    QFETCH(Platform, platform);
    QFETCH(int, number);
    QFETCH(QString, device);
    QFETCH(bool, file);
    QCOMPARE(deviceForPort(number, dir_->path(), platform), device);
    if (!device.isEmpty())
        QCOMPARE(isDeviceFile(device, platform), file);
}

void TestPortObject::linkWinsInAnyLetterCase() {
    QVERIFY(pty_->linkAs(dir_->path(), "COM23"));
    for (const Platform platform : {Platform::Linux, Platform::Windows}) {
        const QString com23 = deviceForPort(23, dir_->path(), platform);
        QCOMPARE(com23, QDir(dir_->path()).filePath("COM23"));
        QVERIFY(isDeviceFile(com23, platform));
        QCOMPARE(deviceForPort(3, dir_->path(), platform), QDir(dir_->path()).filePath("com3"));
    }
}

void TestPortObject::modemLinesFollowThePropertiesOnEveryOpen_data() {
    QTest::addColumn<int>("handshaking");
    QTest::addColumn<bool>("rts");
    QTest::addColumn<bool>("dtr");
    QTest::addColumn<QStringList>("afterOpen");

    QTest::newRow("no handshaking")
        << int(comm::kHandshakeNone) << false << false << QStringList{"DTR off", "RTS off"};
    QTest::newRow("XON/XOFF") << int(comm::kHandshakeXonXoff) << false << false
                              << QStringList{"DTR off", "RTS off"};
    QTest::newRow("RTSEnable on") << int(comm::kHandshakeNone) << true << false
                                  << QStringList{"DTR off", "RTS on"};
    QTest::newRow("DTREnable on") << int(comm::kHandshakeXonXoff) << false << true
                                  << QStringList{"DTR on", "RTS off"};
    // Under RTS/CTS the driver drives RTS; a request would be refused.
    QTest::newRow("RTS/CTS") << int(comm::kHandshakeRtsCts) << false << false
                             << QStringList{"DTR off"};
    QTest::newRow("RTS/CTS and XON/XOFF") << int(comm::kHandshakeRtsCtsXonXoff) << true << false
                                          << QStringList{"terminal IXON IXOFF CRTSCTS", "DTR off"};
}

void TestPortObject::modemLinesFollowThePropertiesOnEveryOpen() {
    QFETCH(int, handshaking);
    QFETCH(bool, rts);
    QFETCH(bool, dtr);
    QFETCH(QStringList, afterOpen);
    QtSerialComm::modemLineCallForTests = recordModemLine;
    QtSerialComm::setTerminalCallForTests = recordTerminal;
    QtSerialComm port;
    port.CommPort(3);
    port.Handshaking(int16_t(handshaking));
    port.DTREnable(dtr);
    port.RTSEnable(rts);
    QVERIFY(requests.isEmpty()); // nothing reaches a closed port
    for (int open = 1; open <= 2; ++open) {
        port.PortOpen(true);
        QCOMPARE(requests, afterOpen);
        requests.clear();
        // Whatever the lines were while open, the next open starts afresh.
        port.RTSEnable(!rts);
        port.RTSEnable(rts);
        port.PortOpen(false);
        requests.clear();
    }
    // Leaving RTS/CTS while open hands RTS back to its property.
    port.PortOpen(true);
    requests.clear();
    port.Handshaking(comm::kHandshakeNone);
    QCOMPARE(requests, QStringList{rts ? "RTS on" : "RTS off"});
}

void TestPortObject::refusedTerminalSettingIsAPortError_data() {
    QTest::addColumn<bool>("fails");       // tcsetattr returns -1
    QTest::addColumn<uint>("inputLost");   // or 0, having left out these c_iflag bits
    QTest::addColumn<uint>("controlLost"); // and these c_cflag bits
    QTest::addColumn<bool>("whileOpen");

    QTest::newRow("refused at open") << true << 0u << 0u << false;
    QTest::newRow("refused while open") << true << 0u << 0u << true;
    QTest::newRow("XOFF not taken") << false << uint(IXOFF) << 0u << false;
    QTest::newRow("XON not taken, while open") << false << uint(IXON) << 0u << true;
    QTest::newRow("RTS/CTS lost") << false << 0u << uint(CRTSCTS) << false;
}

void TestPortObject::refusedTerminalSettingIsAPortError() {
    QFETCH(bool, fails);
    QFETCH(uint, inputLost);
    QFETCH(uint, controlLost);
    QFETCH(bool, whileOpen);
    QtSerialComm::setTerminalCallForTests = [=](int fd, int action, const termios* settings) {
        if (fails) {
            errno = EIO;
            return -1;
        }
        termios taken = *settings;
        taken.c_iflag &= ~tcflag_t(inputLost);
        taken.c_cflag &= ~tcflag_t(controlLost);
        return ::tcsetattr(fd, action, &taken);
    };
    QtSerialComm port;
    port.CommPort(3);
    if (whileOpen) {
        port.PortOpen(true);
        QCOMPARE(errorCodeOf([&] { port.Handshaking(comm::kHandshakeRtsCtsXonXoff); }),
                 int(comm::kSettingsRefused));
    } else {
        port.Handshaking(comm::kHandshakeRtsCtsXonXoff);
        QCOMPARE(errorCodeOf([&] { port.PortOpen(true); }), int(comm::kSettingsRefused));
        QVERIFY(!port.PortOpen()); // a half-configured port is not left open
    }
    // A driver that takes the whole setting opens the same port.
    QtSerialComm::setTerminalCallForTests = nullptr;
    port.PortOpen(false);
    port.Handshaking(comm::kHandshakeRtsCtsXonXoff);
    port.PortOpen(true);
    QVERIFY(port.PortOpen());
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
