#include "app/Others.h"
#include "serial/SettingsFile.h"
#include "support/ScriptedPort.h"
#include "support/TestLocale.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class TestSettingsFile : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { checkTestLocale(); }
    void init();
    void cleanup();
    void readsEntriesByPosition_data();
    void readsEntriesByPosition();
    void refusesWhatDoesNotFit_data();
    void refusesWhatDoesNotFit();
    void writerProducesExactLines();
    void writerThenReaderRoundTrip();
    void loadConfiguresThePortClosed();
    void missingFileEndsWithMessage();
    void badValueEndsWithMessageAndKeepsFile();
    void fileFoundWithoutRegardToCase();
    void writerReplacesFileWhateverItsCase();
    void failedWriteKeepsOldFile();

private:
    QTemporaryDir* dir_ = nullptr;
};

void TestSettingsFile::init() {
    dir_ = new QTemporaryDir;
    QVERIFY(dir_->isValid());
    seams::setProgramDirectory(dir_->path());
}

void TestSettingsFile::cleanup() {
    seams::setProgramDirectory(QString());
    delete dir_;
    dir_ = nullptr;
}

void TestSettingsFile::readsEntriesByPosition_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("handshake");
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("wait");
    QTest::addColumn<int>("delay");
    const QByteArray rest =
        "Handshaking =  2 \r\nBaudRate =  9600 \r\nWaitTime =  5 \r\nTimeDelay = -7 \r\n";
    QTest::newRow("as written") << "Port=3\r\n" + rest << 3 << 2 << 9600 << 5 << -7;
    QTest::newRow("Port=12") << "Port=12\r\n" + rest << 12 << 2 << 9600 << 5 << -7;
    QTest::newRow("Port=123 takes two characters")
        << "Port=123\r\n" + rest << 12 << 2 << 9600 << 5 << -7;
    QTest::newRow("one blank then 7") << "Port= 7\r\n" + rest << 7 << 2 << 9600 << 5 << -7;
    QTest::newRow("two blanks then 7") << "Port=  7\r\n" + rest << 0 << 2 << 9600 << 5 << -7;
    QTest::newRow("no equals sign") << "Port 5\r\n" + rest << 0 << 2 << 9600 << 5 << -7;
    QTest::newRow("other keys") << QByteArray("P=1\r\nH=1\r\nSpeed = 9600\r\nW=0\r\nT=0\r\n") << 1
                                << 1 << 9600 << 0 << 0;
    QTest::newRow("value only") << QByteArray("Port=1\r\n0\r\n9600\r\n0\r\n0\r\n") << 1 << 0 << 9600
                                << 0 << 0;
    QTest::newRow("no blanks")
        << QByteArray("Port=1\r\nHandshaking=0\r\nBaudRate=9600\r\nWaitTime=0\r\nTimeDelay=0\r\n")
        << 1 << 0 << 9600 << 0 << 0;
    QTest::newRow("2.5 to even") << QByteArray("Port=1\r\nH=2.5\r\nB=9600\r\nW=3.5\r\nT=0\r\n") << 1
                                 << 2 << 9600 << 4 << 0;
    QTest::newRow("decimal point and exponent")
        << QByteArray("Port=1\r\nH=1.0\r\nBaudRate = 9.6e3\r\nW=2.5e1\r\nT=-0.7e1\r\n") << 1 << 1
        << 9600 << 25 << -7;
    QTest::newRow("comma shifts entries")
        << QByteArray("Port=1\r\nH=1,B=2400\r\nB=9600\r\nW=3\r\nT=4\r\n") << 1 << 1 << 2400 << 9600
        << 3;
    QTest::newRow("LF line ends") << QByteArray("Port=4\nH=0\nB=1200\nW=0\nT=0\n") << 4 << 0 << 1200
                                  << 0 << 0;
    QTest::newRow("leading blanks skipped")
        << QByteArray("   Port=4\r\n  H=1\r\nB=1200\r\nW=0\r\nT=0") << 4 << 1 << 1200 << 0 << 0;
    QTest::newRow("text value gives 0")
        << QByteArray("Port=1\r\nH=x\r\nB=9600\r\nW=abc\r\nT=0\r\n") << 1 << 0 << 9600 << 0 << 0;
}

void TestSettingsFile::readsEntriesByPosition() {
    QFETCH(QByteArray, text);
    const SettingsParseResult result = parseSettingsText(text);
    QVERIFY2(result.values, qPrintable(result.problem));
    QTEST(int(result.values->portNumber), "port");
    QTEST(int(result.values->handshakeMode), "handshake");
    QTEST(int(result.values->baudRate), "baud");
    QTEST(int(result.values->waitTime), "wait");
    QTEST(int(result.values->timeDelay), "delay");
}

void TestSettingsFile::refusesWhatDoesNotFit_data() {
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("value");
    QTest::newRow("four entries") << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=0\r\n") << 0 << "";
    QTest::newRow("empty file") << QByteArray() << 0 << "";
    QTest::newRow("baud 32768") << QByteArray("Port=1\r\nH=0\r\nB=32768\r\nW=0\r\nT=0\r\n") << 3
                                << "32768";
    QTest::newRow("baud 0") << QByteArray("Port=1\r\nH=0\r\nB=0\r\nW=0\r\nT=0\r\n") << 3 << "0";
    QTest::newRow("handshake 4") << QByteArray("Port=1\r\nH=4\r\nB=9600\r\nW=0\r\nT=0\r\n") << 2
                                 << "4";
    QTest::newRow("handshake -1") << QByteArray("Port=1\r\nH=-1\r\nB=9600\r\nW=0\r\nT=0\r\n") << 2
                                  << "-1";
    QTest::newRow("wait time beyond 32 bits")
        << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=2147483648\r\nT=0\r\n") << 4 << "2147483648";
    QTest::newRow("time delay beyond 16 bits")
        << QByteArray("Port=1\r\nH=0\r\nB=9600\r\nW=0\r\nT=40000\r\n") << 5 << "40000";
}

void TestSettingsFile::refusesWhatDoesNotFit() {
    QFETCH(QByteArray, text);
    QFETCH(int, line);
    QFETCH(QString, value);
    const SettingsParseResult result = parseSettingsText(text);
    QVERIFY(!result.values);
    QCOMPARE(result.line, line);
    QCOMPARE(result.valueText, value);
    QVERIFY(!result.problem.isEmpty());
}

void TestSettingsFile::writerProducesExactLines() {
    QCOMPARE(formatSettingsText({3, 2, 9600, 0, 0}),
             QByteArray("Port=3\r\nHandshaking =  2 \r\nBaudRate =  9600 \r\nWaitTime =  0 "
                        "\r\nTimeDelay =  0 \r\n"));
    QCOMPARE(formatSettingsText({15, 0, 19200, -5, -7}),
             QByteArray("Port=15\r\nHandshaking =  0 \r\nBaudRate =  19200 \r\nWaitTime = -5 "
                        "\r\nTimeDelay = -7 \r\n"));
}

void TestSettingsFile::writerThenReaderRoundTrip() {
    TestSeams seams;
    const PortSettingsValues written{11, 3, 32767, 2147483647, -32768};
    QString error;
    QVERIFY2(writePortSettings(written, &error), qPrintable(error));
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, written.portNumber);
    QCOMPARE(Others::HandshakeMode, written.handshakeMode);
    QCOMPARE(Others::BaudRate, written.baudRate);
    QCOMPARE(Others::WaitTime, written.waitTime);
    QCOMPARE(Others::TimeDelay, written.timeDelay);
    QVERIFY(seams.messages.isEmpty());
}

void TestSettingsFile::loadConfiguresThePortClosed() {
    TestSeams seams;
    writeFile(QDir(dir_->path()).filePath("KTR.INI"), formatSettingsText({7, 2, 4800, 0, 0}));
    QVERIFY(LoadPortSettings());
    QCOMPARE(seams.port.trace, QStringList({"commport 7", "handshaking 2", "settings 4800,N,8,1",
                                            "inputmode 0", "dtr off"}));
    QVERIFY(!seams.port.PortOpen());
}

void TestSettingsFile::missingFileEndsWithMessage() {
    TestSeams seams;
    QVERIFY(!LoadPortSettings());
    QCOMPARE(seams.messages.size(), 1);
    const QString path = QDir::toNativeSeparators(QDir(dir_->path()).absoluteFilePath("Ktr.INI"));
    QCOMPARE(seams.messages[0].text, "File " + path + " not found !\n");
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QCOMPARE(seams.messages[0].icon, MsgIcon::Warning);
    QVERIFY(seams.port.trace.isEmpty());
    QVERIFY(!QFile::exists(QDir(dir_->path()).filePath("Ktr.INI")));
}

void TestSettingsFile::badValueEndsWithMessageAndKeepsFile() {
    TestSeams seams;
    const QString path = QDir(dir_->path()).filePath("KTR.INI");
    const QByteArray bad("Port=1\r\nHandshaking =  0 \r\nBaudRate =  40000 \r\nWaitTime =  0 "
                         "\r\nTimeDelay =  0 \r\n");
    writeFile(path, bad);
    QVERIFY(!LoadPortSettings());
    QCOMPARE(seams.messages.size(), 1);
    const QString text = seams.messages[0].text;
    QVERIFY2(text.contains(QDir::toNativeSeparators(path)), qPrintable(text));
    QVERIFY2(text.contains("line 3"), qPrintable(text));
    QVERIFY2(text.contains("40000"), qPrintable(text));
    QCOMPARE(seams.messages[0].title, QStringLiteral("Error"));
    QCOMPARE(readAll(path), bad);
    QCOMPARE(Others::BaudRate, int16_t(0));
}

void TestSettingsFile::fileFoundWithoutRegardToCase() {
    TestSeams seams;
    writeFile(QDir(dir_->path()).filePath("kTr.iNi"), formatSettingsText({2, 0, 1200, 0, 0}));
    QVERIFY(LoadPortSettings());
    QCOMPARE(Others::PortNumber, int16_t(2));
}

void TestSettingsFile::writerReplacesFileWhateverItsCase() {
    TestSeams seams;
    const QString lower = QDir(dir_->path()).filePath("ktr.ini");
    writeFile(lower, formatSettingsText({2, 0, 1200, 0, 0}));
    QString error;
    QVERIFY(writePortSettings({5, 1, 2400, 0, 0}, &error));
    QCOMPARE(QDir(dir_->path()).entryList(QDir::Files), QStringList({"ktr.ini"}));
    QCOMPARE(readAll(lower), formatSettingsText({5, 1, 2400, 0, 0}));
}

void TestSettingsFile::failedWriteKeepsOldFile() {
    TestSeams seams;
    const QString path = QDir(dir_->path()).filePath("KTR.INI");
    const QByteArray old = formatSettingsText({2, 0, 1200, 0, 0});
    writeFile(path, old);
    // A program directory that does not exist cannot take the new file.
    seams::setProgramDirectory(QDir(dir_->path()).filePath("gone"));
    QString error;
    QVERIFY(!writePortSettings({5, 1, 2400, 0, 0}, &error));
    QVERIFY2(error.contains("KTR.INI"), qPrintable(error));
    QCOMPARE(readAll(path), old);
}

QTEST_GUILESS_MAIN(TestSettingsFile)
#include "test_settings_file.moc"
