// The port dialog's conversions of what the operator typed, and the texts it
// shows for ports and port errors.

#include "support/TestLocale.h"
#include "views/Rozhranie.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestPortDialogInput : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void baudRateFromText_data();
    void baudRateFromText();
    void portEntryPosition_data();
    void portEntryPosition();
    void portErrorMessage_data();
    void portErrorMessage();
    void portDeviceDescription_data();
    void portDeviceDescription();
};

void TestPortDialogInput::baudRateFromText_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("baud"); // -1: refused

    QTest::newRow("plain") << "9600" << 9600;
    QTest::newRow("list entry") << "19200" << 19200;
    QTest::newRow("blanks around") << "  4800 " << 4800;
    QTest::newRow("plus sign") << "+1200" << 1200;
    QTest::newRow("half to even, down") << "2400.5" << 2400;
    QTest::newRow("half to even, up") << "2401.5" << 2402;
    QTest::newRow("fraction rounds") << "9599.7" << 9600;
    QTest::newRow("exponent") << "1.2e3" << 1200;
    QTest::newRow("leading point") << ".9" << 1;
    QTest::newRow("smallest") << "1" << 1;
    QTest::newRow("largest") << "32767" << 32767;
    QTest::newRow("largest by rounding") << "32767.4" << 32767;

    QTest::newRow("letters") << "abc" << -1;
    QTest::newRow("empty") << "" << -1;
    QTest::newRow("blanks only") << "   " << -1;
    QTest::newRow("zero") << "0" << -1;
    QTest::newRow("rounds to zero") << "0.5" << -1;
    QTest::newRow("negative") << "-9600" << -1;
    QTest::newRow("above 16 bits") << "40000" << -1;
    QTest::newRow("just above by rounding") << "32767.5" << -1;
    QTest::newRow("38400 does not fit") << "38400" << -1;
    QTest::newRow("trailing letters") << "9600abc" << -1;
    QTest::newRow("letter O for zero") << "96O0" << -1;
    QTest::newRow("blank inside") << "96 00" << -1;
    QTest::newRow("two points") << "9.6.0" << -1;
    QTest::newRow("comma") << "9,600" << -1;
    QTest::newRow("huge exponent") << "1e400" << -1;
}

void TestPortDialogInput::baudRateFromText() {
    QFETCH(QString, text);
    QFETCH(int, baud);
    const std::optional<int16_t> got = ::baudRateFromText(text);
    if (baud < 0) {
        QVERIFY2(!got, qPrintable(QStringLiteral("accepted as %1").arg(got.value_or(0))));
    } else {
        QVERIFY(got.has_value());
        QCOMPARE(int(*got), baud);
    }
}

void TestPortDialogInput::portEntryPosition_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("position");

    QTest::newRow("first") << "COM1" << 0;
    QTest::newRow("last") << "COM15" << 14;
    QTest::newRow("COM1 is not COM10") << "COM10" << 9;
    QTest::newRow("lower case") << "com7" << 6;
    QTest::newRow("blanks around") << "  COM3 " << 2;
    QTest::newRow("beyond the list") << "COM16" << -1;
    QTest::newRow("port 0") << "COM0" << -1;
    QTest::newRow("number only") << "7" << -1;
    QTest::newRow("prefix of an entry") << "COM" << -1;
    QTest::newRow("device path") << "/dev/ttyS0" << -1;
    QTest::newRow("empty") << "" << -1;
}

void TestPortDialogInput::portEntryPosition() {
    QFETCH(QString, typed);
    QFETCH(int, position);
    QStringList entries;
    for (int n = 1; n <= 15; ++n)
        entries << QStringLiteral("COM%1").arg(n);
    QCOMPARE(::portEntryPosition(entries, typed), position);
}

void TestPortDialogInput::portErrorMessage_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");

    QTest::newRow("8001") << 8001 << "Port is opened";
    QTest::newRow("8002") << 8002 << "Invalid Port Number";
    QTest::newRow("8005") << 8005 << "Port already open";
    QTest::newRow("no permission") << 8010 << "Port Error 8010";
    QTest::newRow("invalid value") << 380 << "Port Error 380";
    QTest::newRow("unknown") << 8099 << "Port Error 8099";
}

void TestPortDialogInput::portErrorMessage() {
    QFETCH(int, code);
    QFETCH(QString, message);
    QCOMPARE(::portErrorMessage(code), message);
}

void TestPortDialogInput::portDeviceDescription_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("expected"); // "%1" stands for the temporary directory

    QTest::newRow("link to a device that is there") << "live link"
                                                    << "%1/com3 -> %1/device (present)";
    QTest::newRow("link to a device that is gone") << "dead link"
                                                   << "%1/com3 -> %1/gone (not present)";
    QTest::newRow("device that is there") << "file"
                                          << "%1/device (present)";
    QTest::newRow("device that is not there") << "missing"
                                              << "%1/ttyUSB0 (not present)";
    QTest::newRow("no device at all") << "none"
                                      << "COM3 maps to no device on this computer";
    // Only opening a Windows port name tells whether the port is there.
    QTest::newRow("Windows port name") << "windows"
                                       << "COM3";
}

void TestPortDialogInput::portDeviceDescription() {
    QFETCH(QString, kind);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString root = dir.path();
    QFile device(root + "/device");
    QVERIFY(device.open(QIODevice::WriteOnly));
    device.close();

    QString path;
    if (kind == "live link") {
        QVERIFY(QFile::link(root + "/device", root + "/com3"));
        path = root + "/com3";
    } else if (kind == "dead link") {
        QVERIFY(QFile::link(root + "/gone", root + "/com3"));
        path = root + "/com3";
    } else if (kind == "file") {
        path = root + "/device";
    } else if (kind == "missing") {
        path = root + "/ttyUSB0";
    } else if (kind == "windows") {
        QCOMPARE(::portDeviceDescription(3, "COM3", Platform::Windows), expected);
        return;
    }
    QCOMPARE(::portDeviceDescription(3, path), expected.arg(root));
}

QTEST_GUILESS_MAIN(TestPortDialogInput)
#include "test_port_dialog_input.moc"
