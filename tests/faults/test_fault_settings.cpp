// The settings file on a real disk that misbehaves: a directory the port
// dialog cannot write to, and a file that is cut short or is not a settings
// file at all. The operator is told which file, the file is never damaged,
// and the program either goes on with its old settings or does not start.

#include "FaultRig.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "serial/ui/Rozhranie.h"
#include "support/Immutable.h"
#include "views/Parameter.h"

#include <QComboBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QRandomGenerator>
#include <QTest>
#include <csignal>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace faults;

namespace {

// Undoes a disk fault however the test ends, before its directory goes.
struct Undo {
    std::function<void()> action;
    void now() {
        if (action)
            action();
        action = nullptr;
    }
    ~Undo() { now(); }
};

// A file of random octets, the same every run.
QByteArray binaryGarbage(qsizetype size) {
    QRandomGenerator generator(0x4b545236);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& c : bytes)
        c = char(generator.bounded(256));
    return bytes;
}

} // namespace

class TestFaultSettings : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void settingsDirectoryNotWritable_data();
    void settingsDirectoryNotWritable();
    void settingsFileBroken_data();
    void settingsFileBroken();
};

void TestFaultSettings::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
    if (linkOnlyPort() == 0)
        QSKIP("every port number of the list maps to a device of this machine");
}

void TestFaultSettings::settingsDirectoryNotWritable_data() {
    QTest::addColumn<QString>("how");
    // The tests run as root, which ignores permission bits; both of these stop
    // root as well.
    QTest::newRow("immutable directory") << "immutable";
    QTest::newRow("disk full (file size limit)") << "fsize";
}

void TestFaultSettings::settingsDirectoryNotWritable() {
    QFETCH(QString, how);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    QVERIFY2(tool.startSim(deviceConfig()), qPrintable(tool.error));
    QVERIFY(tool.startUp());
    const QByteArray settings = tool.settingsBytes();
    const QString dir = tool.dir.path();
    if (how == QLatin1String("immutable") && !(setImmutable(dir, true) && setImmutable(dir, false)))
        QSKIP("this file system or user cannot make a directory immutable");

    Undo undo;
    auto makeUnwritable = [&] {
        if (how == QLatin1String("immutable")) {
            undo.action = [dir] { setImmutable(dir, false); };
            return setImmutable(dir, true);
        }
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        undo.action = [old, oldSignal] {
            ::setrlimit(RLIMIT_FSIZE, &old);
            std::signal(SIGXFSZ, oldSignal);
        };
        rlimit tiny = old;
        tiny.rlim_cur = 16;
        return ::setrlimit(RLIMIT_FSIZE, &tiny) == 0;
    };

    bool operated = false;
    const MenuRun run = choose(*tool.main, tool.main->mnuComPort(), [&](QWidget* window) {
        auto* dialog = qobject_cast<Rozhranie*>(window);
        QVERIFY(dialog);
        QVERIFY(tool.messages.isEmpty());
        dialog->B_Rate()->setEditText(QStringLiteral("4800"));
        dialog->HS_X()->click();
        QVERIFY(makeUnwritable());
        dialog->OKButton()->click();
        undo.now();

        QCOMPARE(tool.messages.size(), 1);
        const RecordedMessage& message = tool.messages[0];
        QCOMPARE(message.icon, MsgIcon::Warning);
        QVERIFY2(message.text.contains(QDir::toNativeSeparators(tool.settingsPath())),
                 qPrintable(message.text));
        QVERIFY2(message.text.contains(QStringLiteral("could not be written")),
                 qPrintable(message.text));
        // The dialog stays, for the operator to free the disk or give up.
        QVERIFY(dialog->isVisible());
        QCOMPARE(tool.settingsBytes(), settings);
        QCOMPARE(QDir(dir).entryList({QStringLiteral("*.INI*"), QStringLiteral("*.ini*")},
                                     QDir::Files | QDir::Hidden | QDir::System),
                 QStringList{QStringLiteral("KTR.INI")});
        QCOMPARE(Others::BaudRate, int16_t(9600));
        QCOMPARE(Others::HandshakeMode, int16_t(0));
        operated = true;
    });
    QVERIFY(run.shown);
    QVERIFY(operated);

    // The program goes on, with the settings it had, and reads the relay.
    QVERIFY(tool.main->isVisible());
    QVERIFY(!tool.port.PortOpen());
    QCOMPARE(tool.port.Settings(), QStringLiteral("9600,N,8,1"));
    QCOMPARE(tool.port.Handshaking(), int16_t(0));
    tool.messages.clear();
    const MenuRun read = choose(*tool.main, tool.main->mnuParam());
    QVERIFY(read.shown);
    QCOMPARE(tool.messageTexts(), QStringList{QStringLiteral("Read Parameter OK")});
    QCOMPARE(tool.settingsBytes(), settings);
}

void TestFaultSettings::settingsFileBroken_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("problem"); // empty: any problem, as long as it is told

    QTest::newRow("cut in the middle of line 3")
        << QByteArray("Port=1\r\nHandshaking =  0 \r\nBaudRa")
        << QStringLiteral("the file has 3 of its 5 entries");
    QTest::newRow("cut in the middle of line 1")
        << QByteArray("Por") << QStringLiteral("the file has 1 of its 5 entries");
    QTest::newRow("empty") << QByteArray() << QStringLiteral("the file has 0 of its 5 entries");
    QTest::newRow("zero octets") << QByteArray(4096, '\0')
                                 << QStringLiteral("the file has 1 of its 5 entries");
    QTest::newRow("binary garbage") << binaryGarbage(4096) << QString();
    QTest::newRow("a line of 60000 characters")
        << QByteArray("Port=1\r\nHandshaking =  0 \r\nBaudRate = ") + QByteArray(60000, 'x') +
               QByteArray("\r\nWaitTime =  0 \r\nTimeDelay =  0 \r\n")
        << QStringLiteral("the baud rate");
}

void TestFaultSettings::settingsFileBroken() {
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    {
        QFile file(tool.settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
    }
    const QString shownPath = QDir::toNativeSeparators(tool.settingsPath());

    QVERIFY(!tool.startUp());
    QCOMPARE(tool.messages.size(), 1);
    const RecordedMessage& message = tool.messages[0];
    QCOMPARE(message.title, QStringLiteral("Error"));
    QCOMPARE(message.icon, MsgIcon::Warning);
    QVERIFY2(message.text.startsWith(QStringLiteral("File ") + shownPath),
             qPrintable(message.text));
    QVERIFY2(message.text.contains(problem), qPrintable(message.text));
    QVERIFY2(message.text.endsWith(QStringLiteral("Correct or delete the file and start again.\n")),
             qPrintable(message.text));
    // Whatever the file holds, the box stays a few readable lines.
    QVERIFY2(message.text.size() < shownPath.size() + 300,
             qPrintable(QStringLiteral("%1 characters").arg(message.text.size())));
    for (const QChar c : message.text)
        QVERIFY2(c == QLatin1Char('\n') || c.isPrint(),
                 qPrintable(QStringLiteral("character U+%1 in the message")
                                .arg(c.unicode(), 4, 16, QLatin1Char('0'))));
    QVERIFY(!tool.main->isVisible());
    QCOMPARE(tool.settingsBytes(), content);
    // Nothing of the broken file reached the shared settings or the port.
    QCOMPARE(Others::PortNumber, int16_t(0));
    QCOMPARE(Others::BaudRate, int16_t(0));
    QVERIFY(!tool.port.PortOpen());

    // The command-line companion refuses the same file the same way, and ends.
    QProcess ctl;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), tool.dir.path());
    ctl.setProcessEnvironment(env);
    ctl.start(QStringLiteral(KTR6_CTL), {QStringLiteral("read")});
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(ctl.readAllStandardError());
    QVERIFY2(err.contains(shownPath), qPrintable(err));
    QVERIFY(ctl.readAllStandardOutput().isEmpty());
    QCOMPARE(tool.settingsBytes(), content);
}

QTEST_MAIN(TestFaultSettings)
#include "test_fault_settings.moc"
