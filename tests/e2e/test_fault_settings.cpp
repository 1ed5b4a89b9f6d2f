// The settings file on a real disk that misbehaves: a file the port dialog
// cannot write, a disk that fills up, a file that is cut short or is not a
// settings file at all, and a folder holding the file under several names.
// The operator is told which file, the file is damaged only where it had to
// be rewritten in place (and the operator is told so), and the program either
// goes on with its old settings or does not start.

#include "FaultRig.h"
#include "protocol/ParameterBlock.h"
#include "resources/Resources.h"
#include "support/Immutable.h"
#include "support/PipeWatchdog.h"
#include "views/Parameter.h"
#include "views/Rozhranie.h"

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
#include <sys/stat.h>
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

// Starts "ktr6ctl read" on the program directory dir; the caller waits.
void startCtlRead(QProcess& ctl, const QString& dir) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KTR6_PROGRAM_DIR"), dir);
    ctl.setProcessEnvironment(env);
    ctl.start(QStringLiteral(KTR6_CTL), {QStringLiteral("read")});
}

} // namespace

class TestFaultSettings : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void settingsFileNotWritable_data();
    void settingsFileNotWritable();
    void settingsFileBroken_data();
    void settingsFileBroken();
    void severalSettingsFilesNamedOnce();
};

void TestFaultSettings::initTestCase() {
    ktr6InitResources();
    QLocale::setDefault(QLocale::c());
    if (linkOnlyPort() == 0)
        QSKIP("every port number of the list maps to a device of this machine");
}

void TestFaultSettings::settingsFileNotWritable_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("damaged");
    // The tests run as root, which ignores permission bits; these stop root
    // as well.
    QTest::newRow("immutable file") << "immutable" << false;
    QTest::newRow("disk full (file size limit)") << "fsize" << false;
    // Only the file may be written, so it is rewritten in place, and the disk
    // fills up half way.
    QTest::newRow("in place, disk full part way") << "immutable folder, fsize" << true;
}

void TestFaultSettings::settingsFileNotWritable() {
    QFETCH(QString, how);
    QFETCH(bool, damaged);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    QVERIFY2(tool.startSim(deviceConfig()), qPrintable(tool.error));
    QVERIFY(tool.startUp());
    const QByteArray settings = tool.settingsBytes();
    const QString dir = tool.dir.path();
    const QString immutable = how == QLatin1String("immutable") ? tool.settingsPath() : dir;
    if (how.startsWith(QLatin1String("immutable")) &&
        !(setImmutable(immutable, true) && setImmutable(immutable, false)))
        QSKIP("this file system or user cannot make a file immutable");

    Undo undo;
    Undo undoLimit;
    auto makeUnwritable = [&] {
        if (how.startsWith(QLatin1String("immutable"))) {
            undo.action = [immutable] { setImmutable(immutable, false); };
            if (!setImmutable(immutable, true))
                return false;
        }
        if (!how.endsWith(QLatin1String("fsize")))
            return true;
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        undoLimit.action = [old, oldSignal] {
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
        undoLimit.now();
        undo.now();

        QCOMPARE(tool.messages.size(), 1);
        const RecordedMessage& message = tool.messages[0];
        QCOMPARE(message.icon, MsgIcon::Warning);
        QVERIFY2(message.text.contains(QDir::toNativeSeparators(tool.settingsPath())),
                 qPrintable(message.text));
        QVERIFY2(message.text.contains(QStringLiteral("could not be written")),
                 qPrintable(message.text));
        QCOMPARE(message.text.contains(QStringLiteral("may be damaged")), damaged);
        // The dialog stays, for the operator to free the disk or give up.
        QVERIFY(dialog->isVisible());
        if (!damaged)
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
    if (!damaged)
        QCOMPARE(tool.settingsBytes(), settings);
}

void TestFaultSettings::settingsFileBroken_data() {
    QTest::addColumn<QByteArray>("content"); // "<pipe>", "<directory>": that in its place
    QTest::addColumn<QString>("problem");    // empty: any problem, as long as it is told

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
    // Neither may keep either program waiting.
    QTest::newRow("a named pipe") << QByteArray("<pipe>") << QStringLiteral("named pipe");
    QTest::newRow("a directory") << QByteArray("<directory>") << QStringLiteral("directory");
}

void TestFaultSettings::settingsFileBroken() {
    QFETCH(QByteArray, content);
    QFETCH(QString, problem);
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    const QByteArray path = QFile::encodeName(tool.settingsPath());
    const bool notAFile = content.startsWith('<');
    if (notAFile) {
        QVERIFY(QFile::remove(tool.settingsPath()));
        QVERIFY(content == "<pipe>" ? ::mkfifo(path.constData(), 0644) == 0
                                    : ::mkdir(path.constData(), 0755) == 0);
    } else {
        QFile file(tool.settingsPath());
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        QCOMPARE(file.write(content), content.size());
    }
    const QString shownPath = QDir::toNativeSeparators(tool.settingsPath());
    // A program that opens the pipe waits for a writer; the watchdog lets it
    // go, and the test fails instead of hanging.
    {
        const PipeWatchdog watchdog(tool.settingsPath(), std::chrono::seconds(3));
        QVERIFY(!tool.startUp());
        QVERIFY2(!watchdog.fired(), "the program waited on the pipe");
    }
    // The file as it was, without opening a pipe.
    const auto unchanged = [&] {
        struct stat st {};
        if (!notAFile)
            return tool.settingsBytes() == content;
        return ::lstat(path.constData(), &st) == 0 &&
               (content == "<pipe>" ? S_ISFIFO(st.st_mode) : S_ISDIR(st.st_mode));
    };
    QCOMPARE(tool.messages.size(), 1);
    const RecordedMessage& message = tool.messages[0];
    QCOMPARE(message.title, QStringLiteral("Error"));
    QCOMPARE(message.icon, MsgIcon::Warning);
    QVERIFY2(message.text.startsWith(QStringLiteral("File ") + shownPath),
             qPrintable(message.text));
    QVERIFY2(message.text.contains(problem), qPrintable(message.text));
    // The operator learns what to put there: deleting the file would leave a
    // program that cannot start.
    QVERIFY2(message.text.contains(QStringLiteral("Port=1\nHandshaking =  0 \nBaudRate =  9600 \n"
                                                  "WaitTime =  0 \nTimeDelay =  0 \n")),
             qPrintable(message.text));
    QVERIFY2(!message.text.contains(QStringLiteral("delete")), qPrintable(message.text));
    // Whatever the file holds, the box stays a few readable lines.
    QVERIFY2(message.text.size() < shownPath.size() + defaultSettingsFilePath().size() + 400,
             qPrintable(QStringLiteral("%1 characters").arg(message.text.size())));
    for (const QChar c : message.text)
        QVERIFY2(c == QLatin1Char('\n') || c.isPrint(),
                 qPrintable(QStringLiteral("character U+%1 in the message")
                                .arg(c.unicode(), 4, 16, QLatin1Char('0'))));
    QVERIFY(!tool.main->isVisible());
    QVERIFY(unchanged());
    // Nothing of the broken file reached the shared settings or the port.
    QCOMPARE(Others::PortNumber, int16_t(0));
    QCOMPARE(Others::BaudRate, int16_t(0));
    QVERIFY(!tool.port.PortOpen());

    // The command-line companion refuses the same file the same way, and ends.
    QProcess ctl;
    startCtlRead(ctl, tool.dir.path());
    QVERIFY(ctl.waitForFinished(10000));
    QCOMPARE(ctl.exitStatus(), QProcess::NormalExit);
    QCOMPARE(ctl.exitCode(), 1);
    const QString err = QString::fromLocal8Bit(ctl.readAllStandardError());
    QVERIFY2(err.contains(shownPath), qPrintable(err));
    QVERIFY(ctl.readAllStandardOutput().isEmpty());
    QVERIFY(unchanged());
}

void TestFaultSettings::severalSettingsFilesNamedOnce() {
    LiveTool tool;
    QVERIFY(tool.settingsWritten);
    QVERIFY2(tool.startSim(deviceConfig()), qPrintable(tool.error));
    // A file copied from another machine, in the reader's letter case.
    const QString copy = tool.dir.filePath(QStringLiteral("Ktr.INI"));
    const QByteArray copied = formatSettingsText({tool.portNumber, 2, 1200, 0, 0});
    {
        QFile file(copy);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(copied), copied.size());
    }
    QList<bool> shownWithWindow;
    seams::bindMessage([&](const QString& text, const QString& title, MsgIcon icon) {
        tool.messages.append({text, title, icon});
        shownWithWindow.append(tool.main && tool.main->isVisible());
    });

    // Once, before the main window, naming the file in use.
    QVERIFY(tool.startUp());
    QCOMPARE(tool.messages.size(), 1);
    QCOMPARE(shownWithWindow, QList<bool>{false});
    const QString notice = tool.messages[0].text;
    QVERIFY2(notice.contains(QDir::toNativeSeparators(tool.settingsPath())), qPrintable(notice));
    QVERIFY2(notice.contains(QStringLiteral("Ktr.INI")), qPrintable(notice));
    QCOMPARE(Others::BaudRate, int16_t(9600));

    // The operator's change goes to the file the program reads.
    const MenuRun run = choose(*tool.main, tool.main->mnuComPort(), [&](QWidget* window) {
        auto* dialog = qobject_cast<Rozhranie*>(window);
        QVERIFY(dialog);
        dialog->B_Rate()->setEditText(QStringLiteral("4800"));
        dialog->OKButton()->click();
    });
    QVERIFY(run.shown);
    QCOMPARE(tool.messages.size(), 1);
    QCOMPARE(Others::BaudRate, int16_t(4800));
    QCOMPARE(tool.settingsBytes(), formatSettingsText({tool.portNumber, 0, 4800, 0, 0}));
    QFile copyFile(copy);
    QVERIFY(copyFile.open(QIODevice::ReadOnly));
    QCOMPARE(copyFile.readAll(), copied);

    // The command-line companion says so in one line on stderr, and reads
    // the relay through the same file.
    QProcess ctl;
    startCtlRead(ctl, tool.dir.path());
    QVERIFY(ctl.waitForFinished(10000));
    const QString err = QString::fromLocal8Bit(ctl.readAllStandardError());
    QCOMPARE(ctl.exitCode(), 0);
    QCOMPARE(err.count(QStringLiteral("ktr6ctl: ") + notice + QLatin1Char('\n')), 1);
    QCOMPARE(err.count(QStringLiteral("Ktr.INI")), 1);
}

QTEST_MAIN(TestFaultSettings)
#include "test_fault_settings.moc"
